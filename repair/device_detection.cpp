#include "device_detection.h"

#include "log/log.h"
#include "reader_prefixes.h"
#include "repair_pass.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

HCMNOTIFICATION NotificationHandle = nullptr;

namespace {

// The filter's size on 64-bit Windows: four 32-bit fields and a 200-character instance ID.
constexpr DWORD kFilterSize = 416;
static_assert(sizeof(CM_NOTIFY_FILTER) == kFilterSize, "64-bit notification filter");

constexpr std::size_t kInstanceIdOffset = offsetof(CM_NOTIFY_EVENT_DATA, u);
static_assert(kInstanceIdOffset == 8, "the instance ID follows FilterType and Reserved");

} // namespace

void RegisterDeviceDetection() {
    CM_NOTIFY_FILTER filter;
    std::memset(&filter, 0, sizeof filter);
    filter.cbSize = kFilterSize;
    filter.Flags = CM_NOTIFY_FILTER_FLAG_ALL_DEVICE_INSTANCES;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE;

    // The handle is kept only from a registration that succeeded, so that unregistration
    // never acts on whatever a failed call may have left behind.
    HCMNOTIFICATION handle = nullptr;
    CONFIGRET result = CM_Register_Notification(&filter, nullptr, OnDeviceEvent, &handle);
    if (result != CR_SUCCESS) {
        LogMessage("Failed to register device detection. Error: %lu\n", result);
        return;
    }
    NotificationHandle = handle;
    LogMessage("Notification detection with 0x%.16llX\n",
               static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handle)));
}

DWORD CALLBACK OnDeviceEvent(HCMNOTIFICATION notification, PVOID context, CM_NOTIFY_ACTION action,
                             PCM_NOTIFY_EVENT_DATA eventData, DWORD eventDataSize) {
    (void)notification;
    (void)context;
    if (action != CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED)
        return ERROR_SUCCESS;
    // The instance ID is read no further than the data the platform handed over, even when
    // its terminator is missing.
    if (eventData == nullptr || eventDataSize < kInstanceIdOffset + sizeof(WCHAR))
        return ERROR_SUCCESS;
    const WCHAR* id = eventData->u.DeviceInstance.InstanceId;
    const std::size_t available = (eventDataSize - kInstanceIdOffset) / sizeof(WCHAR);
    const WString instanceId(id, BoundedWideLength(id, available));

    if (!IsWatchedReaderInstance(instanceId.c_str()))
        return ERROR_SUCCESS;
    LogMessage("Device detected!\n");
    ApplyCcidDriverFix();
    return ERROR_SUCCESS;
}

void UnregisterDeviceDetection() {
    if (NotificationHandle == nullptr)
        return;
    CM_Unregister_Notification(NotificationHandle);
}
