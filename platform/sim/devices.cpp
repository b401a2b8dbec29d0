#include "devices.h"
#include "internal.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string_view>

namespace {

using WView = std::basic_string_view<WCHAR>;

// Hardware IDs match without regard to the case of ASCII letters, as Plug and Play IDs do.
struct FoldLess {
    using is_transparent = void;
    static WCHAR Fold(WCHAR c) { return sim::detail::FoldAscii(c); }
    bool operator()(WView a, WView b) const {
        std::size_t n = a.size() < b.size() ? a.size() : b.size();
        for (std::size_t i = 0; i < n; ++i) {
            if (Fold(a[i]) != Fold(b[i]))
                return Fold(a[i]) < Fold(b[i]);
        }
        return a.size() < b.size();
    }
};

const WCHAR kDefaultPackageDescription[] = WSTR("USB Smart Card Reader (CCID)");

struct DeviceState {
    sim::Device device;
    const WString* installed = nullptr; // description of the package installed on it
    unsigned installs = 0;
    WString installedInf; // the name of the installed package's INF in a driver key
};

struct DeviceInfoSet {
    std::vector<std::size_t> members; // indices into Devices::all
};

struct Devices {
    std::vector<DeviceState> all;
    // Every hardware ID of every device, to the devices that carry it.
    std::map<WString, std::vector<std::size_t>, FoldLess> byHardwareId;
    std::map<WString, WString, std::less<>> packages;
    WString defaultPackage = kDefaultPackageDescription;
    sim::detail::HandleTable<DeviceInfoSet> sets{0x3000};
    std::vector<std::string> unseenUi;
    bool journal = true;
};

Devices theDevices;

// Where UpdateDriverForPlugAndPlayDevicesW can be held by a test.
sim::detail::Gate updateGate("driver updates are held");

using namespace sim::detail;

// Whether device calls are journalled and checked for faults. Tested before the journal's
// arguments are built, so that a call costs no formatting while the journal is off.
bool Journalling() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theDevices.journal;
}

std::string GuidText(const GUID* guid) {
    if (guid == nullptr)
        return "NULL";
    char text[64];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  guid->Data1, guid->Data2, guid->Data3, guid->Data4[0], guid->Data4[1],
                  guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5], guid->Data4[6],
                  guid->Data4[7]);
    return text;
}

std::string RecordText(const SP_DEVINFO_DATA* data, bool withDevInst) {
    if (data == nullptr)
        return "NULL";
    std::string text = "{cbSize=" + std::to_string(data->cbSize);
    if (withDevInst)
        text += ", DevInst=" + std::to_string(data->DevInst);
    return text + "}";
}

std::string PropertyName(DWORD property) {
    switch (property) {
    case SPDRP_DEVICEDESC:
        return "SPDRP_DEVICEDESC";
    case SPDRP_HARDWAREID:
        return "SPDRP_HARDWAREID";
    default:
        return std::to_string(property);
    }
}

// The strings of a REG_MULTI_SZ value, up to the empty one or the end of the bytes.
std::vector<WString> SplitMultiSz(const std::vector<std::uint8_t>& bytes) {
    std::vector<WString> ids;
    WString current;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        WCHAR c = static_cast<WCHAR>(bytes[i] | (bytes[i + 1] << 8));
        if (c != 0) {
            current += c;
            continue;
        }
        if (current.empty())
            return ids;
        ids.push_back(current);
        current.clear();
    }
    if (!current.empty())
        ids.push_back(current);
    return ids;
}

DeviceState* FindDevice(DWORD devInst) {
    Devices& d = theDevices;
    if (devInst == 0 || devInst > d.all.size())
        Abort("no device with instance number " + std::to_string(devInst));
    return &d.all[devInst - 1];
}

const WString& CurrentDescription(const DeviceState& state) {
    return state.installed != nullptr ? *state.installed : state.device.description;
}

// The device that a device record names in a set, or null.
DeviceState* DeviceOfRecord(HDEVINFO set, const SP_DEVINFO_DATA* data) {
    Devices& d = theDevices;
    const DeviceInfoSet* members = d.sets.Find(set);
    if (members == nullptr || data == nullptr || data->Reserved >= members->members.size())
        return nullptr;
    std::size_t index = members->members[data->Reserved];
    if (data->DevInst != index + 1)
        return nullptr;
    return &d.all[index];
}

bool Facts(std::size_t index, sim::detail::DeviceFacts* facts) {
    const DeviceState& state = theDevices.all[index];
    facts->devInst = static_cast<DWORD>(index + 1);
    facts->instanceId = state.device.instanceId;
    if (facts->instanceId.empty()) {
        std::vector<WString> ids = SplitMultiSz(state.device.hardwareIds);
        facts->instanceId = (ids.empty() ? WString() : ids[0]) + u'\\' +
                            Utf8ToUtf16(std::to_string(facts->devInst));
    }
    facts->infName = state.installed != nullptr ? state.installedInf : state.device.infName;
    facts->restartPending = state.installed != nullptr && state.device.restartNeeded;
    facts->problem = state.device.problem;
    return true;
}

} // namespace

bool sim::detail::DeviceOfSet(HDEVINFO set, const SP_DEVINFO_DATA* data, DeviceFacts* facts) {
    DeviceState* state = DeviceOfRecord(set, data);
    return state != nullptr &&
           Facts(static_cast<std::size_t>(state - theDevices.all.data()), facts);
}

bool sim::detail::DeviceOfInstance(DWORD devInst, DeviceFacts* facts) {
    return devInst != 0 && devInst <= theDevices.all.size() && Facts(devInst - 1, facts);
}

void sim::detail::ResetDevices() {
    theDevices = Devices{};
    updateGate.Reset();
}

std::vector<std::uint8_t> sim::MultiSz(std::initializer_list<WString> ids) {
    std::vector<std::uint8_t> bytes;
    for (const WString& id : ids) {
        std::vector<std::uint8_t> one = WideBytes(id);
        bytes.insert(bytes.end(), one.begin(), one.end());
        bytes.push_back(0);
        bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::vector<std::uint8_t> sim::WideBytes(const WString& text) {
    std::vector<std::uint8_t> bytes;
    for (WCHAR c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

DWORD sim::AddDevice(const Device& device) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Devices& d = theDevices;
    std::size_t index = d.all.size();
    d.all.push_back(DeviceState{device, nullptr, 0, WString()});
    if (device.hasHardwareIds) {
        for (const WString& id : SplitMultiSz(device.hardwareIds)) {
            std::vector<std::size_t>& carriers = d.byHardwareId[id];
            if (carriers.empty() || carriers.back() != index)
                carriers.push_back(index);
        }
    }
    return static_cast<DWORD>(index + 1);
}

DWORD sim::AddReader(std::initializer_list<WString> hardwareIds, const WString& description) {
    Device device;
    device.hardwareIds = MultiSz(hardwareIds);
    device.description = description;
    return AddDevice(device);
}

DWORD sim::AddUnboundReader(const WString& instanceId, std::initializer_list<WString> hardwareIds) {
    Device device;
    device.instanceId = instanceId;
    device.classGuid = GUID{};
    device.hardwareIds = MultiSz(hardwareIds);
    device.hasDescription = false;
    return AddDevice(device);
}

void sim::BindDriver(DWORD devInst, const WString& description) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    sim::Device& device = FindDevice(devInst)->device;
    device.classGuid = GUID_DEVCLASS_SMARTCARDREADER;
    device.hasDescription = true;
    device.description = description;
}

void sim::SetRestartNeeded(DWORD devInst, bool needed) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    FindDevice(devInst)->device.restartNeeded = needed;
}

void sim::SetDevicePresent(DWORD devInst, bool present) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    FindDevice(devInst)->device.present = present;
}

void sim::RemoveDevices() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Devices& d = theDevices;
    if (d.sets.Size() != 0)
        Abort("RemoveDevices() while a device information set is open");
    d.all.clear();
    d.byHardwareId.clear();
}

WString sim::DeviceDescription(DWORD devInst) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return CurrentDescription(*FindDevice(devInst));
}

std::vector<std::string> sim::UnseenUi() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theDevices.unseenUi;
}

unsigned sim::DriverInstalls(DWORD devInst) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return FindDevice(devInst)->installs;
}

void sim::RevertDriverUpdates() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    for (DeviceState& state : theDevices.all) {
        state.installed = nullptr;
        state.installedInf.clear();
    }
}

void sim::SetPackageDescription(const WString& infPath, const WString& description) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theDevices.packages[infPath] = description;
}

std::size_t sim::OpenDeviceInfoSets() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theDevices.sets.Size();
}

void sim::SetDeviceJournal(bool on) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theDevices.journal = on;
}

void sim::HoldDriverUpdates() {
    updateGate.Hold();
}

void sim::ReleaseDriverUpdates() {
    updateGate.Release();
}

void sim::WaitForHeldUpdates(std::size_t count) {
    updateGate.WaitForHeld(count);
}

HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags) {
    if (Journalling() && Faulted("SetupDiGetClassDevsW", GuidText(classGuid), Quote(enumerator),
                                 Ptr(parent), Hex(flags)))
        return INVALID_HANDLE_VALUE;
    constexpr DWORD kAllClasses = 0x00000004u;
    if (classGuid == nullptr && (flags & kAllClasses) == 0)
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (enumerator != nullptr)
        Abort("SetupDiGetClassDevsW: an enumerator is not simulated");
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Devices& d = theDevices;
    DeviceInfoSet set;
    set.members.reserve(d.all.size());
    for (std::size_t i = 0; i < d.all.size(); ++i) {
        const sim::Device& device = d.all[i].device;
        if ((flags & kAllClasses) == 0 && !(device.classGuid == *classGuid))
            continue;
        if ((flags & DIGCF_PRESENT) != 0 && !device.present)
            continue;
        set.members.push_back(i);
    }
    return d.sets.Add<HDEVINFO>(std::move(set));
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
    if (Journalling() && Faulted("SetupDiEnumDeviceInfo", Ptr(set), index, RecordText(data, false)))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Devices& d = theDevices;
    const DeviceInfoSet* it = d.sets.Find(set);
    if (it == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    const std::vector<std::size_t>& members = it->members;
    if (index >= members.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    data->ClassGuid = d.all[members[index]].device.classGuid;
    data->DevInst = static_cast<DWORD>(members[index] + 1);
    data->Reserved = index;
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                       PDWORD regType, PBYTE buffer, DWORD bufferSize,
                                       PDWORD requiredSize) {
    if (Journalling() &&
        Faulted("SetupDiGetDeviceRegistryPropertyW", Ptr(set), RecordText(data, true),
                PropertyName(property), Out(regType, "&type"), Out(buffer, "&buffer"), bufferSize,
                Out(requiredSize, "&size")))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    if (theDevices.sets.Find(set) == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    const DeviceState* state = DeviceOfRecord(set, data);
    if (state == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA))
        return Fail(ERROR_INVALID_PARAMETER);
    const void* value = nullptr;
    DWORD size = 0;
    DWORD type = REG_NONE;
    if (property == SPDRP_HARDWAREID && state->device.hasHardwareIds) {
        value = state->device.hardwareIds.data();
        size = static_cast<DWORD>(state->device.hardwareIds.size());
        type = REG_MULTI_SZ;
    } else if (property == SPDRP_DEVICEDESC && state->device.hasDescription &&
               state->installed == nullptr && !state->device.descriptionBytes.empty()) {
        value = state->device.descriptionBytes.data();
        size = static_cast<DWORD>(state->device.descriptionBytes.size());
        type = REG_SZ;
    } else if (property == SPDRP_DEVICEDESC && state->device.hasDescription) {
        const WString& text = CurrentDescription(*state);
        value = text.c_str();
        size = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
        type = REG_SZ;
    } else {
        return Fail(ERROR_INVALID_DATA);
    }
    if (requiredSize != nullptr)
        *requiredSize = size;
    if (regType != nullptr)
        *regType = type;
    if (buffer == nullptr || bufferSize < size)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (size != 0)
        std::memcpy(buffer, value, size);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (Journalling() && Faulted("SetupDiDestroyDeviceInfoList", Ptr(set)))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theDevices.sets.Close(set) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL UpdateDriverForPlugAndPlayDevicesW(HWND parent, LPCWSTR hardwareId, LPCWSTR fullInfPath,
                                        DWORD installFlags, PBOOL rebootRequired) {
    if (Journalling() &&
        Faulted("UpdateDriverForPlugAndPlayDevicesW", Ptr(parent), Quote(hardwareId),
                Quote(fullInfPath), Hex(installFlags), Out(rebootRequired, "&reboot")))
        return FALSE;
    updateGate.Pass();
    constexpr DWORD kKnownFlags = INSTALLFLAG_FORCE | 0x00000002u | INSTALLFLAG_NONINTERACTIVE;
    if (hardwareId == nullptr || *hardwareId == 0 || fullInfPath == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if ((installFlags & ~kKnownFlags) != 0)
        return Fail(ERROR_INVALID_FLAGS);
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Devices& d = theDevices;
    auto carriers = d.byHardwareId.find(WView(hardwareId));
    bool anyPresent = false;
    if (carriers != d.byHardwareId.end()) {
        for (std::size_t i : carriers->second)
            anyPresent = anyPresent || d.all[i].device.present;
    }
    if (!anyPresent)
        return Fail(ERROR_NO_SUCH_DEVINST);
    // The inbox driver that a reader comes up with ranks above any package from the store,
    // so only a forced installation replaces it.
    if ((installFlags & INSTALLFLAG_FORCE) == 0)
        return Fail(ERROR_NO_MORE_ITEMS);
    std::string inf;
    if (!ToHost(fullInfPath, &inf) || !std::filesystem::is_regular_file(inf))
        return Fail(ERROR_FILE_NOT_FOUND);
    auto package = d.packages.find(WView(fullInfPath));
    const WString* description = package == d.packages.end() ? &d.defaultPackage : &package->second;
    bool restart = false;
    for (std::size_t i : carriers->second) {
        DeviceState& state = d.all[i];
        if (!state.device.present)
            continue;
        state.installed = description;
        state.installedInf = sim::detail::InstalledInfName(fullInfPath);
        ++state.installs;
        restart = restart || state.device.restartNeeded;
        // A started device is restarted to load the new driver; one in use waits for the
        // restart of the machine instead.
        if (!state.device.restartNeeded && !state.device.instanceId.empty())
            sim::PostDeviceInstanceEvent(CM_NOTIFY_ACTION_DEVICEINSTANCESTARTED,
                                         state.device.instanceId);
    }
    // Without a place to report it, Windows prompts for the restart itself: in session 0 for a
    // service, where the prompt waits for an answer no one gives. INSTALLFLAG_NONINTERACTIVE
    // makes the attempt to show it a failure instead, the driver installed all the same.
    if (rebootRequired != nullptr)
        *rebootRequired = restart ? TRUE : FALSE;
    else if (restart && (installFlags & INSTALLFLAG_NONINTERACTIVE) != 0)
        return Fail(ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION);
    else if (restart)
        d.unseenUi.push_back("blocked on a restart prompt");
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
