// The status the service reports to the service control manager, and the handler through
// which the manager asks it to stop.
#pragma once

#include "platform/text.h"

// The one status record of the process; its fields keep their last values between reports.
extern SERVICE_STATUS ServiceStatus;
// Every report goes through it; null until the handler is registered, never closed.
extern SERVICE_STATUS_HANDLE ServiceStatusHandle;
// The check point of the next pending report; starts at 1 and only ever goes up.
extern DWORD CheckPointCounter;
// Set by the handler on the stop control, waited on by the service main; null until created.
extern HANDLE StopEvent;

// The one way the service reports: the accepted controls and the check point follow from the
// state.
void ReportServiceStatus(DWORD currentState, DWORD win32ExitCode, DWORD waitHint);
// Running, with no control accepted yet: frees the manager's start lock while the service
// still has work to finish before it can be stopped.
void ReportRunningWithoutControls();

// Answers the stop control only; every other control is left to the manager's last status.
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                   LPVOID context);
