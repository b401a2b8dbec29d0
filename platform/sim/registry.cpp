#include "internal.h"

#include <cstring>
#include <map>

namespace {

struct Value {
    DWORD type = REG_NONE;
    std::vector<std::uint8_t> data;
};

struct Registry {
    std::map<WString, std::map<WString, Value>> keys; // upper-cased paths and names
    sim::detail::HandleTable<WString> open{0x1000};
};

Registry theRegistry;

std::string KeyName(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    return sim::detail::Ptr(key);
}

} // namespace

using namespace sim::detail;

void sim::detail::ResetRegistry() {
    theRegistry = Registry{};
}

void sim::CreateRegKey(const WString& key) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theRegistry.keys[Upper(key)];
}

void sim::SetRegValue(const WString& key, const WString& name, DWORD type,
                      const std::vector<std::uint8_t>& data) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theRegistry.keys[Upper(key)][Upper(name)] = Value{type, data};
}

void sim::SetRegDword(const WString& key, const WString& name, DWORD value) {
    std::vector<std::uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    SetRegValue(key, name, REG_DWORD, data);
}

HKEY sim::detail::OpenRegKeyQuietly(const WString& path) {
    theRegistry.keys[Upper(path)];
    return theRegistry.open.Add<HKEY>(Upper(path));
}

std::size_t sim::OpenRegKeys() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theRegistry.open.Size();
}

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    if (auto code = Call("RegOpenKeyExW", KeyName(key), Quote(subKey), options, Hex(access)))
        return static_cast<LSTATUS>(*code);
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Registry& r = theRegistry;
    if (key != HKEY_LOCAL_MACHINE || subKey == nullptr)
        return ERROR_INVALID_HANDLE;
    WString path = Upper(subKey);
    if (r.keys.find(path) == r.keys.end())
        return ERROR_FILE_NOT_FOUND;
    *result = r.open.Add<HKEY>(path);
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize) {
    if (auto code = Call("RegQueryValueExW", KeyName(key), Quote(valueName), Ptr(reserved),
                         Out(type, "&type"), Out(data, "&data"),
                         dataSize == nullptr ? std::string("NULL") : std::to_string(*dataSize)))
        return static_cast<LSTATUS>(*code);
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Registry& r = theRegistry;
    const WString* open = r.open.Find(key);
    if (open == nullptr)
        return ERROR_INVALID_HANDLE;
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr))
        return ERROR_INVALID_PARAMETER;
    auto& values = r.keys[*open];
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

LSTATUS RegCloseKey(HKEY key) {
    if (auto code = Call("RegCloseKey", KeyName(key)))
        return static_cast<LSTATUS>(*code);
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theRegistry.open.Close(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
