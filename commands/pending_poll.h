#pragma once

#include "platform/text.h"

// How long to sleep before the next status query of a service in a pending state: a tenth
// of its wait hint, but never less than a second and never more than ten.
DWORD PendingPollDelay(DWORD waitHint);
