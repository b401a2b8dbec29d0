// The administrator's switch of the diagnostic log, read by the log and by the check program.
#pragma once

#include "platform/text.h"

// Whether the DWORD value "Enabled" under HKLM\SOFTWARE\Corvane\Tessarine\KVR\Log is there
// and not 0.
bool SwitchedOn();
