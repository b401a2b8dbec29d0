#include "internal.h"

#include <cstring>
#include <map>
#include <memory>

namespace {

struct Value {
    DWORD type = REG_NONE;
    std::vector<std::uint8_t> data;
};

// A key lives on in the handles open to it after it is deleted, as on Windows.
struct Key {
    std::map<WString, Value> values; // upper-cased names
    bool deleted = false;
};

// A pending RegNotifyChangeKeyValue registration: it signals its event once, then is gone.
struct Watch {
    std::uintptr_t handle;
    std::shared_ptr<Key> key;
    DWORD filter;
    HANDLE event;
    std::thread::id thread; // the caller's, unless thread agnostic
};

struct Registry {
    // Upper-cased paths below HKEY_LOCAL_MACHINE; "" is the root, "SOFTWARE" is always there.
    std::map<WString, std::shared_ptr<Key>> keys;
    sim::detail::HandleTable<std::shared_ptr<Key>> open{0x1000};
    std::vector<Watch> watches;
};

Registry theRegistry;

std::string KeyName(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    return sim::detail::Ptr(key);
}

WString Parent(const WString& path) {
    const std::size_t slash = path.rfind(u'\\');
    return slash == WString::npos ? WString() : path.substr(0, slash);
}

// Signals and ends the registrations that match; the caller holds the world's lock.
template <typename Match> void Signal(Match match) {
    auto& w = theRegistry.watches;
    for (auto it = w.begin(); it != w.end();) {
        if (!match(*it)) {
            ++it;
            continue;
        }
        sim::detail::SignalEvent(it->event);
        it = w.erase(it);
    }
}

void Changed(const std::shared_ptr<Key>& key, DWORD filter) {
    Signal([&](const Watch& w) { return w.key == key && (w.filter & filter) != 0; });
}

// The key, and every missing key above it, as RegCreateKeyExW and reg add make them: each new
// key is a new subkey of its parent.
std::shared_ptr<Key> Create(const WString& path) {
    auto& keys = theRegistry.keys;
    auto it = keys.find(path);
    if (it != keys.end())
        return it->second;
    if (path.empty())
        return keys[path] = std::make_shared<Key>();
    std::shared_ptr<Key> parent = Create(Parent(path));
    std::shared_ptr<Key> key = keys[path] = std::make_shared<Key>();
    Changed(parent, REG_NOTIFY_CHANGE_NAME);
    return key;
}

// The key and its subkeys, each after its own subkeys, as RegDeleteTree and reg delete go.
// Windows does not report a key's deletion to the key's own registrations (they stay pending,
// and end only with their handles), only as a subkey deleted to its parent's.
void Delete(const WString& path) {
    auto& keys = theRegistry.keys;
    const WString below = path + WSTR("\\");
    std::vector<WString> doomed;
    for (const auto& [name, key] : keys) {
        if (name == path || name.compare(0, below.size(), below) == 0)
            doomed.insert(doomed.begin(), name);
    }
    for (const WString& name : doomed) {
        keys.at(name)->deleted = true;
        keys.erase(name);
        Changed(keys.at(Parent(name)), REG_NOTIFY_CHANGE_NAME);
    }
}

std::shared_ptr<Key> OpenKey(HKEY handle) {
    std::shared_ptr<Key>* key = theRegistry.open.Find(handle);
    return key == nullptr ? nullptr : *key;
}

// A thread's registrations that are not thread agnostic signal when the thread ends.
struct ThreadEnd {
    ~ThreadEnd() {
        const std::thread::id me = std::this_thread::get_id();
        std::lock_guard<std::recursive_mutex> guard(sim::detail::WorldLock());
        Signal([me](const Watch& w) { return w.thread == me; });
    }
};

} // namespace

using namespace sim::detail;

void sim::detail::ResetRegistry() {
    theRegistry = Registry{};
    Create(WSTR("SOFTWARE"));
}

void sim::CreateRegKey(const WString& key) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Create(Upper(key));
}

void sim::SetRegValue(const WString& key, const WString& name, DWORD type,
                      const std::vector<std::uint8_t>& data) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    std::shared_ptr<Key> k = Create(Upper(key));
    k->values[Upper(name)] = Value{type, data};
    Changed(k, REG_NOTIFY_CHANGE_LAST_SET);
}

void sim::SetRegDword(const WString& key, const WString& name, DWORD value) {
    std::vector<std::uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    SetRegValue(key, name, REG_DWORD, data);
}

void sim::DeleteRegValue(const WString& key, const WString& name) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    auto it = theRegistry.keys.find(Upper(key));
    if (it != theRegistry.keys.end() && it->second->values.erase(Upper(name)) == 1)
        Changed(it->second, REG_NOTIFY_CHANGE_LAST_SET);
}

void sim::DeleteRegTree(const WString& key) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    if (theRegistry.keys.count(Upper(key)) == 1)
        Delete(Upper(key));
}

bool sim::RegKeyExists(const WString& key) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theRegistry.keys.count(Upper(key)) == 1;
}

HKEY sim::detail::OpenRegKeyQuietly(const WString& path) {
    return theRegistry.open.Add<HKEY>(Create(Upper(path)));
}

std::size_t sim::OpenRegKeys() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theRegistry.open.Size();
}

std::size_t sim::PendingRegNotifications() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theRegistry.watches.size();
}

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    if (auto code = Call("RegOpenKeyExW", KeyName(key), Quote(subKey), options, Hex(access)))
        return static_cast<LSTATUS>(*code);
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Registry& r = theRegistry;
    if (key != HKEY_LOCAL_MACHINE || subKey == nullptr)
        return ERROR_INVALID_HANDLE;
    auto it = r.keys.find(Upper(subKey));
    if (it == r.keys.end())
        return ERROR_FILE_NOT_FOUND;
    *result = r.open.Add<HKEY>(it->second);
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                        REGSAM access, LPSECURITY_ATTRIBUTES attributes, PHKEY result,
                        LPDWORD disposition) {
    if (auto code = Call("RegCreateKeyExW", KeyName(key), Quote(subKey), reserved, Quote(keyClass),
                         options, Hex(access), Out(attributes, "&attributes"), Out(result, "&key"),
                         Out(disposition, "&disposition")))
        return static_cast<LSTATUS>(*code);
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    if (key != HKEY_LOCAL_MACHINE || subKey == nullptr || result == nullptr)
        return ERROR_INVALID_HANDLE;
    const bool existed = theRegistry.keys.count(Upper(subKey)) == 1;
    *result = theRegistry.open.Add<HKEY>(Create(Upper(subKey)));
    if (disposition != nullptr)
        *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    if (auto code = Call("RegDeleteKeyW", KeyName(key), Quote(subKey)))
        return static_cast<LSTATUS>(*code);
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Registry& r = theRegistry;
    if (key != HKEY_LOCAL_MACHINE || subKey == nullptr)
        return ERROR_INVALID_HANDLE;
    const WString path = Upper(subKey);
    auto it = r.keys.find(path);
    if (path.empty() || it == r.keys.end())
        return ERROR_FILE_NOT_FOUND;
    // A key that has subkeys is not deleted; its values go with it.
    ++it;
    if (it != r.keys.end() && it->first.compare(0, path.size() + 1, path + WSTR("\\")) == 0)
        return ERROR_ACCESS_DENIED;
    Delete(path);
    return ERROR_SUCCESS;
}

LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classSize, LPDWORD reserved,
                         LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                         LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                         LPDWORD securityDescriptorSize, PFILETIME lastWriteTime) {
    if (auto code =
            Call("RegQueryInfoKeyW", KeyName(key), Out(keyClass, "&class"), Out(classSize, "&size"),
                 Ptr(reserved), Out(subKeys, "&subKeys"), Out(maxSubKeyLength, "&length"),
                 Out(maxClassLength, "&length"), Out(values, "&values"),
                 Out(maxValueNameLength, "&length"), Out(maxValueLength, "&length"),
                 Out(securityDescriptorSize, "&size"), Out(lastWriteTime, "&time")))
        return static_cast<LSTATUS>(*code);
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    std::shared_ptr<Key> k = OpenKey(key);
    if (k == nullptr)
        return ERROR_INVALID_HANDLE;
    if (k->deleted)
        return ERROR_KEY_DELETED;
    // Only the counts are simulated.
    if (keyClass != nullptr || classSize != nullptr || reserved != nullptr ||
        maxSubKeyLength != nullptr || maxClassLength != nullptr || maxValueNameLength != nullptr ||
        maxValueLength != nullptr || securityDescriptorSize != nullptr || lastWriteTime != nullptr)
        Abort("RegQueryInfoKeyW: only the numbers of subkeys and values are simulated");
    if (subKeys != nullptr) {
        *subKeys = 0;
        for (const auto& [path, child] : theRegistry.keys)
            *subKeys += !path.empty() && theRegistry.keys.at(Parent(path)) == k;
    }
    if (values != nullptr)
        *values = static_cast<DWORD>(k->values.size());
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize) {
    if (auto code = Call("RegQueryValueExW", KeyName(key), Quote(valueName), Ptr(reserved),
                         Out(type, "&type"), Out(data, "&data"),
                         dataSize == nullptr ? std::string("NULL") : std::to_string(*dataSize)))
        return static_cast<LSTATUS>(*code);
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    std::shared_ptr<Key> k = OpenKey(key);
    if (k == nullptr)
        return ERROR_INVALID_HANDLE;
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr))
        return ERROR_INVALID_PARAMETER;
    if (k->deleted)
        return ERROR_KEY_DELETED;
    auto& values = k->values;
    auto value = values.find(Upper(valueName == nullptr ? WString() : WString(valueName)));
    if (value == values.end())
        return ERROR_FILE_NOT_FOUND;
    if (type != nullptr)
        *type = value->second.type;
    auto size = static_cast<DWORD>(value->second.data.size());
    if (data != nullptr && *dataSize < size) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr && size > 0)
        std::memcpy(data, value->second.data.data(), size);
    if (dataSize != nullptr)
        *dataSize = size;
    return ERROR_SUCCESS;
}

// One change reported once, by the event; the next change needs a new registration.
LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD filter, HANDLE event,
                                BOOL asynchronous) {
    if (auto code = Call("RegNotifyChangeKeyValue", KeyName(key), watchSubtree ? "TRUE" : "FALSE",
                         Hex(filter), Ptr(event), asynchronous ? "TRUE" : "FALSE"))
        return static_cast<LSTATUS>(*code);
    if (watchSubtree || !asynchronous)
        Abort("RegNotifyChangeKeyValue: only asynchronous watches of one key are simulated");
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    std::shared_ptr<Key> k = OpenKey(key);
    if (k == nullptr)
        return ERROR_INVALID_HANDLE;
    constexpr DWORD kKnown = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                             REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY |
                             REG_NOTIFY_THREAD_AGNOSTIC;
    if ((filter & ~kKnown) != 0 || (filter & ~REG_NOTIFY_THREAD_AGNOSTIC) == 0 ||
        !EventExists(event))
        return ERROR_INVALID_PARAMETER;
    if (k->deleted)
        return ERROR_KEY_DELETED;
    std::thread::id thread;
    if ((filter & REG_NOTIFY_THREAD_AGNOSTIC) == 0) {
        thread_local ThreadEnd end;
        (void)end;
        thread = std::this_thread::get_id();
    }
    theRegistry.watches.push_back(
        Watch{reinterpret_cast<std::uintptr_t>(key), k, filter, event, thread});
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
    if (auto code = Call("RegCloseKey", KeyName(key)))
        return static_cast<LSTATUS>(*code);
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    if (!theRegistry.open.Close(key))
        return ERROR_INVALID_HANDLE;
    // Closing the key signals its registrations.
    Signal([key](const Watch& w) { return w.handle == reinterpret_cast<std::uintptr_t>(key); });
    return ERROR_SUCCESS;
}
