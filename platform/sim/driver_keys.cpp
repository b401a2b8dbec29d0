// A device's instance ID, driver key and node status, and the INF files of the system's INF
// folder that driver keys name.
#include "devices.h"
#include "internal.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

namespace {

using sim::detail::Call;
using sim::detail::Fail;
using sim::detail::Faulted;
using sim::detail::Hex;
using sim::detail::Out;
using sim::detail::Ptr;
using sim::detail::Quote;
using sim::detail::Upper;
using sim::detail::WorldLock;

const WCHAR kInfFolder[] = WSTR("C:\\Windows\\INF\\");

struct InfFolder {
    std::map<WString, WString> originals; // upper-cased published name to the original name
    std::map<WString, WString> published; // upper-cased store path to the published name
    std::map<WString, WString> providers; // upper-cased INF name to its package's provider
};

InfFolder theInfFolder;

WString FileNameOf(const WString& path) {
    std::size_t slash = path.find_last_of(u'\\');
    return slash == WString::npos ? path : path.substr(slash + 1);
}

// What the INF folder holds: the INF of every installed driver, under the name its driver
// key gives, and every package published there.
bool InInfFolder(const WString& name) {
    if (theInfFolder.originals.count(Upper(name)) != 0)
        return true;
    sim::detail::DeviceFacts facts;
    for (DWORD devInst = 1; sim::detail::DeviceOfInstance(devInst, &facts); ++devInst) {
        if (Upper(facts.infName) == Upper(name))
            return true;
    }
    return false;
}

std::string RecordText(const SP_DEVINFO_DATA* data) {
    return data == nullptr ? "NULL" : "{DevInst=" + std::to_string(data->DevInst) + "}";
}

} // namespace

void sim::PublishInf(const WString& publishedName, const WString& storePath) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theInfFolder.originals[Upper(publishedName)] = FileNameOf(storePath);
    theInfFolder.published[Upper(storePath)] = publishedName;
}

void sim::SetInfProvider(const WString& infName, const WString& provider) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theInfFolder.providers[Upper(infName)] = provider;
}

WString sim::detail::InstalledInfName(const WString& fullInfPath) {
    auto it = theInfFolder.published.find(Upper(fullInfPath));
    return it == theInfFolder.published.end() ? FileNameOf(fullInfPath) : it->second;
}

void sim::detail::ResetInfFolder() {
    theInfFolder = InfFolder{};
}

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA data, PWSTR buffer,
                                 DWORD bufferSize, PDWORD requiredSize) {
    if (Faulted("SetupDiGetDeviceInstanceIdW", Ptr(set), RecordText(data), Out(buffer, "&buffer"),
                bufferSize, Out(requiredSize, "&size")))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    sim::detail::DeviceFacts facts;
    if (!sim::detail::DeviceOfSet(set, data, &facts) || data->cbSize != sizeof(SP_DEVINFO_DATA))
        return Fail(ERROR_INVALID_PARAMETER);
    const DWORD needed = static_cast<DWORD>(facts.instanceId.size() + 1);
    if (requiredSize != nullptr)
        *requiredSize = needed;
    if (buffer == nullptr || bufferSize < needed)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, facts.instanceId.c_str(), needed * sizeof(WCHAR));
    return TRUE;
}

// The driver key holds what Windows wrote when it installed the device's driver, among it the
// INF's name and its package's provider; the key of a device without a driver does not exist.
HKEY SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD scope, DWORD profile,
                          DWORD keyType, REGSAM access) {
    const HKEY invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    if (Faulted("SetupDiOpenDevRegKey", Ptr(set), RecordText(data), scope, profile, keyType,
                Hex(access)))
        return invalid;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    sim::detail::DeviceFacts facts;
    if (!sim::detail::DeviceOfSet(set, data, &facts) || data->cbSize != sizeof(SP_DEVINFO_DATA))
        return Fail(ERROR_INVALID_PARAMETER, invalid);
    // No hardware keys or profiles here.
    if (scope != DICS_FLAG_GLOBAL || keyType != DIREG_DRV)
        return Fail(ERROR_INVALID_FLAGS, invalid);
    if (facts.infName.empty())
        return Fail(ERROR_KEY_DOES_NOT_EXIST, invalid);
    char number[8];
    std::snprintf(number, sizeof number, "%04u", facts.devInst - 1);
    const WString key = WSTR("SYSTEM\\CurrentControlSet\\Control\\Class\\") + Utf8ToUtf16(number);
    std::vector<std::uint8_t> value = sim::WideBytes(facts.infName);
    value.insert(value.end(), {0, 0});
    sim::SetRegValue(key, WSTR("InfPath"), REG_SZ, value);
    auto provider = theInfFolder.providers.find(Upper(facts.infName));
    value = sim::WideBytes(provider == theInfFolder.providers.end() ? WString() : provider->second);
    value.insert(value.end(), {0, 0});
    sim::SetRegValue(key, WSTR("ProviderName"), REG_SZ, value);
    return sim::detail::OpenRegKeyQuietly(key);
}

BOOL SetupGetInfInformationW(LPCVOID infSpec, DWORD searchControl, PSP_INF_INFORMATION buffer,
                             DWORD bufferSize, PDWORD requiredSize) {
    const auto* name = static_cast<const WCHAR*>(infSpec);
    if (Faulted("SetupGetInfInformationW", Quote(name), searchControl, Out(buffer, "&buffer"),
                bufferSize, Out(requiredSize, "&size")))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    // Only a file name is simulated, searched for in %windir%\inf alone: Windows looks in
    // %windir%\system32 next, where no INF is put here.
    if (name == nullptr || searchControl != INFINFO_DEFAULT_SEARCH ||
        WString(name).find(u'\\') != WString::npos)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!InInfFolder(name))
        return Fail(ERROR_FILE_NOT_FOUND);
    const WString path = WString(kInfFolder) + name;
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_INF_INFORMATION, VersionData) + (path.size() + 1) * 2);
    if (requiredSize != nullptr)
        *requiredSize = needed;
    // Without a buffer the call only gives the size it needs.
    if (buffer == nullptr && bufferSize == 0)
        return TRUE;
    if (buffer == nullptr || bufferSize < needed)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    buffer->InfStyle = INF_STYLE_WIN4;
    buffer->InfCount = 1;
    std::memcpy(buffer->VersionData, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

BOOL SetupQueryInfOriginalFileInformationW(PSP_INF_INFORMATION information, UINT index,
                                           PSP_ALTPLATFORM_INFO platform,
                                           PSP_ORIGINAL_FILE_INFO_W original) {
    if (Faulted("SetupQueryInfOriginalFileInformationW", Out(information, "&information"), index,
                Ptr(platform),
                original == nullptr ? std::string("NULL")
                                    : "{cbSize=" + std::to_string(original->cbSize) + "}"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    if (information == nullptr || original == nullptr || index >= information->InfCount)
        return Fail(ERROR_INVALID_PARAMETER);
    if (original->cbSize != sizeof(SP_ORIGINAL_FILE_INFO_W))
        return Fail(ERROR_INVALID_USER_BUFFER);
    WString path(reinterpret_cast<const WCHAR*>(information->VersionData));
    WString name = FileNameOf(path);
    auto published = theInfFolder.originals.find(Upper(name));
    if (published != theInfFolder.originals.end())
        name = published->second;
    if (name.size() >= MAX_PATH)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(original->OriginalInfName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    original->OriginalCatalogName[0] = 0;
    return TRUE;
}

// A device waits for a restart once a driver was installed on it that needed one; a node with
// a problem of its own shows that one.
CONFIGRET CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devInst, ULONG flags) {
    // It reports through its result, not the last error.
    if (const std::optional<DWORD> code = Call("CM_Get_DevNode_Status", Out(status, "&status"),
                                               Out(problem, "&problem"), devInst, flags))
        return *code;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    if (status == nullptr || problem == nullptr)
        return CR_INVALID_POINTER;
    if (flags != 0)
        return CR_INVALID_FLAG;
    sim::detail::DeviceFacts facts;
    if (!sim::detail::DeviceOfInstance(devInst, &facts))
        return CR_INVALID_DEVNODE;
    const ULONG code = facts.problem != 0     ? facts.problem
                       : facts.restartPending ? CM_PROB_NEED_RESTART
                                              : 0;
    *status = code == 0                      ? DN_DRIVER_LOADED | DN_STARTED
              : code == CM_PROB_NEED_RESTART ? DN_DRIVER_LOADED | DN_HAS_PROBLEM
                                             : DN_HAS_PROBLEM;
    *problem = code;
    return CR_SUCCESS;
}
