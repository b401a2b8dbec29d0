// Follows the added reader descriptions while the service runs: a change of the value, or of
// its key, signals an event, on which the service main reads the value again.
#pragma once

#include "platform/text.h"

// Signalled on a change; null while nothing is watched.
extern HANDLE ReaderDescriptionsChanged;

// Starts the watch, then reads the value and logs what it gives, as at every start.
void StartReaderDescriptionsWatch();

// After the event: watches anew and reads the value again. True when descriptions were taken
// that were not in use before, so that a pass should look for their readers.
bool FollowReaderDescriptions();

// Ends the watch; nothing signals the event afterwards.
void EndReaderDescriptionsWatch();
