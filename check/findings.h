// What the check has found so far, and the report it writes.
#pragma once

#include "platform/text.h"

struct Findings {
    WString report; // one fact a line
    // Whether the manager told whether the service is installed and, if so, running.
    bool serviceKnown = false;
    bool installed = false;
    bool running = false;
    unsigned needFixing = 0;
    unsigned restartPending = 0;
    unsigned untold = 0; // readers whose line says "cannot tell"
    // The first query about the whole machine that failed, as "<call> failed (<code>)";
    // empty while none has.
    WString failure;
};

void AddLine(Findings& findings, const WString& line);
// "<call> failed (<code>)".
WString FailureText(const WCHAR* call, DWORD code);
// Records a failed query about the whole machine: the result then names it.
void QueryFailed(Findings& findings, const WCHAR* call, DWORD code);
WString Decimal(DWORD value);
// Whether the whole of a equals the whole of b, letter case of ASCII letters aside.
bool SameIgnoringAsciiCase(const WString& a, const WString& b);

// The service's state and registration against the packaged one.
void CheckService(Findings& findings);
// One line for every present device of a watched vendor; packageName is the file name of the
// CCID package's INF, empty when the package was not found.
void CheckReaders(Findings& findings, const WString& packageName);
