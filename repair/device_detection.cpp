#include "device_detection.h"

#include "log/log.h"
#include "reader_prefixes.h"
#include "repair_pass.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>

HCMNOTIFICATION NotificationHandle = nullptr;

namespace {

// The filter's size on 64-bit Windows: four 32-bit fields and a 200-character instance ID.
constexpr DWORD kFilterSize = 416;
static_assert(sizeof(CM_NOTIFY_FILTER) == kFilterSize, "64-bit notification filter");

constexpr std::size_t kInstanceIdOffset = offsetof(CM_NOTIFY_EVENT_DATA, u);
static_assert(kInstanceIdOffset == 8, "the instance ID follows FilterType and Reserved");

// Watched instances announced as enumerated and not started since. Windows announces a reader
// that it has never seen when it creates its device node, before it installs a driver, and
// only that installation makes the reader one that a pass can find; its start is the moment
// to look again. Only the start that follows an announcement counts, once, so the restart that
// a repair itself causes never leads to another pass. Bounded: a flood of announcements drops
// the oldest.
constexpr std::size_t kAwaitedStartsLimit = 64;
std::deque<WString> AwaitedStarts;
SRWLOCK AwaitedStartsLock = SRWLOCK_INIT;

std::deque<WString>::iterator FindAwaited(const WString& instanceId) {
    auto it = AwaitedStarts.begin();
    while (it != AwaitedStarts.end() &&
           !(it->size() == instanceId.size() &&
             EqualIgnoringAsciiCase(it->c_str(), instanceId.c_str(), instanceId.size())))
        ++it;
    return it;
}

void AwaitStart(const WString& instanceId) {
    AcquireSRWLockExclusive(&AwaitedStartsLock);
    auto it = FindAwaited(instanceId);
    if (it != AwaitedStarts.end())
        AwaitedStarts.erase(it);
    else if (AwaitedStarts.size() == kAwaitedStartsLimit)
        AwaitedStarts.pop_front();
    AwaitedStarts.push_back(instanceId);
    ReleaseSRWLockExclusive(&AwaitedStartsLock);
}

// Whether a start of this instance was awaited; it is not awaited any more afterwards.
bool TakeAwaitedStart(const WString& instanceId) {
    AcquireSRWLockExclusive(&AwaitedStartsLock);
    auto it = FindAwaited(instanceId);
    const bool awaited = it != AwaitedStarts.end();
    if (awaited)
        AwaitedStarts.erase(it);
    ReleaseSRWLockExclusive(&AwaitedStartsLock);
    return awaited;
}

} // namespace

void RegisterDeviceDetection() {
    AcquireSRWLockExclusive(&AwaitedStartsLock);
    AwaitedStarts.clear();
    ReleaseSRWLockExclusive(&AwaitedStartsLock);

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
    if (action != CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED &&
        action != CM_NOTIFY_ACTION_DEVICEINSTANCESTARTED)
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
    if (action == CM_NOTIFY_ACTION_DEVICEINSTANCESTARTED) {
        if (!TakeAwaitedStart(instanceId))
            return ERROR_SUCCESS;
        LogMessage("Device started!\n");
        ApplyCcidDriverFix();
        return ERROR_SUCCESS;
    }
    AwaitStart(instanceId);
    LogMessage("Device detected!\n");
    ApplyCcidDriverFix();
    return ERROR_SUCCESS;
}

void UnregisterDeviceDetection() {
    if (NotificationHandle == nullptr)
        return;
    CM_Unregister_Notification(NotificationHandle);
}
