// Test-only stand-in for the two Plug and Play notification calls that Wine 8 lacks.
// Registration succeeds and hands out a handle; no events are delivered.
#include "platform_api.h"

namespace {
int registrations[64];
long used = 0;
} // namespace

extern "C" CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                                     PCM_NOTIFY_CALLBACK callback,
                                                     PHCMNOTIFICATION notify) {
    (void)context;
    if (filter == nullptr || callback == nullptr || notify == nullptr ||
        filter->cbSize != sizeof(CM_NOTIFY_FILTER))
        return CR_INVALID_DATA;
    long slot = InterlockedIncrement(&used) - 1;
    if (slot >= 64)
        return CR_OUT_OF_MEMORY;
    *notify = reinterpret_cast<HCMNOTIFICATION>(&registrations[slot]);
    return CR_SUCCESS;
}

extern "C" CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION notify) {
    return notify == nullptr ? CR_INVALID_DATA : CR_SUCCESS;
}
