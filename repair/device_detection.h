// Runs a repair pass whenever a device of a watched vendor is enumerated while the service
// runs, and once more when that device then starts.
#pragma once

#include "platform/text.h"

// The registration of OnDeviceEvent; null until a registration succeeds.
extern HCMNOTIFICATION NotificationHandle;

// Forgets every start awaited from earlier announcements.
void RegisterDeviceDetection();

// Called by the Plug and Play manager on threads of its own.
DWORD CALLBACK OnDeviceEvent(HCMNOTIFICATION notification, PVOID context, CM_NOTIFY_ACTION action,
                             PCM_NOTIFY_EVENT_DATA eventData, DWORD eventDataSize);

// Returns once no callback is running any more; none starts afterwards.
void UnregisterDeviceDetection();
