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
    std::map<std::uintptr_t, WString> open;
    std::uintptr_t nextHandle = 0x1000;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

std::string KeyName(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    return sim::detail::Ptr(key);
}

} // namespace

using sim::detail::Call;
using sim::detail::Upper;
using sim::detail::WorldLock;

void sim::detail::ResetRegistry() {
    TheRegistry() = Registry{};
}

void sim::CreateRegKey(const WString& key) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    TheRegistry().keys[Upper(key)];
}

void sim::SetRegValue(const WString& key, const WString& name, DWORD type,
                      const std::vector<std::uint8_t>& data) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    TheRegistry().keys[Upper(key)][Upper(name)] = Value{type, data};
}

void sim::SetRegDword(const WString& key, const WString& name, DWORD value) {
    std::vector<std::uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    SetRegValue(key, name, REG_DWORD, data);
}

HKEY sim::detail::OpenRegKeyQuietly(const WString& path) {
    Registry& r = TheRegistry();
    std::uintptr_t handle = r.nextHandle++;
    r.open[handle] = Upper(path);
    r.keys[Upper(path)];
    return reinterpret_cast<HKEY>(handle);
}

std::size_t sim::OpenRegKeys() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return TheRegistry().open.size();
}

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    DWORD code = 0;
    if (Call("RegOpenKeyExW", &code, KeyName(key), sim::detail::Quote(subKey), options,
             sim::detail::Hex(access)))
        return static_cast<LSTATUS>(code);
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Registry& r = TheRegistry();
    if (key != HKEY_LOCAL_MACHINE || subKey == nullptr)
        return ERROR_INVALID_HANDLE;
    WString path = Upper(subKey);
    if (r.keys.find(path) == r.keys.end())
        return ERROR_FILE_NOT_FOUND;
    std::uintptr_t handle = r.nextHandle++;
    r.open[handle] = path;
    *result = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize) {
    DWORD code = 0;
    if (Call("RegQueryValueExW", &code, KeyName(key), sim::detail::Quote(valueName),
             sim::detail::Ptr(reserved), type == nullptr ? "NULL" : "&type",
             data == nullptr ? "NULL" : "&data",
             dataSize == nullptr ? std::string("NULL") : std::to_string(*dataSize)))
        return static_cast<LSTATUS>(code);
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Registry& r = TheRegistry();
    auto open = r.open.find(reinterpret_cast<std::uintptr_t>(key));
    if (open == r.open.end())
        return ERROR_INVALID_HANDLE;
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr))
        return ERROR_INVALID_PARAMETER;
    auto& values = r.keys[open->second];
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
    DWORD code = 0;
    if (Call("RegCloseKey", &code, KeyName(key)))
        return static_cast<LSTATUS>(code);
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return TheRegistry().open.erase(reinterpret_cast<std::uintptr_t>(key)) == 1
               ? ERROR_SUCCESS
               : ERROR_INVALID_HANDLE;
}
