// The administrator's check: whether the service is installed and running as packaged, and
// whether every present reader of a watched vendor is on the CCID driver package. It reads
// and changes nothing, and answers on standard output, one fact a line.
#pragma once

#include "platform/text.h"

// The exit statuses, as detection tools read them.
constexpr int CheckCompliant = 0;
constexpr int CheckNotCompliant = 1;
constexpr int CheckCannotTell = 2;
// Compliant once the machine restarts: the code Windows Installer gives for the same.
constexpr int CheckCompliantAfterRestart = 3010;

int CheckMain(int argc, WCHAR* argv[]);
