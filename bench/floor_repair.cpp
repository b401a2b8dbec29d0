// The floor for plug-to-repair latency: the device calls a repair needs and nothing else.
// It takes device events as the service does and, for each enumerated instance, lists the
// smart card readers and updates those on the UMDF2 driver with the given INF; no driver
// store search, no prefix list, no log. Exits after the given number of repairs.
// Usage: floor_repair.exe INF_PATH COUNT
#include <windows.h>
#include <cfgmgr32.h>
#include <initguid.h>
#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>

#include <cwchar>

extern "C" {
CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK,
                                          PHCMNOTIFICATION);
CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION);
}

namespace {

const WCHAR* infPath = nullptr;
LONG repairsLeft = 0;
HANDLE done = nullptr;

void Repair() {
    HDEVINFO set =
        SetupDiGetClassDevsW(&GUID_DEVCLASS_SMARTCARDREADER, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    BYTE ids[1024] = {};
    BYTE description[1024] = {};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr, ids,
                                               sizeof ids, nullptr) ||
            !SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DEVICEDESC, nullptr, description,
                                               sizeof description, nullptr))
            continue;
        const WCHAR* id = reinterpret_cast<const WCHAR*>(ids);
        if (_wcsicmp(reinterpret_cast<const WCHAR*>(description),
                     L"Microsoft Usbccid Smartcard Reader (UMDF2)") == 0 &&
            _wcsnicmp(id, L"USB\\VID_F0C", 11) == 0) {
            BOOL restart = FALSE;
            UpdateDriverForPlugAndPlayDevicesW(
                nullptr, id, infPath, INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE, &restart);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

DWORD CALLBACK OnEvent(HCMNOTIFICATION, PVOID, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA,
                       DWORD) {
    if (action != CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED)
        return 0;
    Repair();
    if (InterlockedDecrement(&repairsLeft) == 0)
        SetEvent(done);
    return 0;
}

} // namespace

int wmain(int argc, WCHAR* argv[]) {
    if (argc != 3)
        return 2;
    infPath = argv[1];
    repairsLeft = _wtol(argv[2]);
    done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // A first pass before any event, as the service makes one when it starts, so that both
    // meet the events with the device libraries loaded.
    Repair();
    CM_NOTIFY_FILTER filter = {};
    filter.cbSize = sizeof filter;
    filter.Flags = CM_NOTIFY_FILTER_FLAG_ALL_DEVICE_INSTANCES;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE;
    HCMNOTIFICATION notification = nullptr;
    if (CM_Register_Notification(&filter, nullptr, OnEvent, &notification) != CR_SUCCESS)
        return 1;
    WaitForSingleObject(done, INFINITE);
    CM_Unregister_Notification(notification);
    return 0;
}
