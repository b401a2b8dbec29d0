#include "service_status.h"

SERVICE_STATUS ServiceStatus = {};
SERVICE_STATUS_HANDLE ServiceStatusHandle = nullptr;
DWORD CheckPointCounter = 1;
HANDLE StopEvent = nullptr;

namespace {

// The handler's second stop report and the service main's stopped report can be made at the
// same moment; each must reach the manager as the fields of one report. Never held while the
// service waits, repairs or ends its device notifications.
SRWLOCK StatusLock = SRWLOCK_INIT;

// Fills the record and gives the report it now holds; the caller holds StatusLock.
SERVICE_STATUS Fill(DWORD currentState, DWORD win32ExitCode, DWORD waitHint,
                    DWORD controlsAccepted) {
    ServiceStatus.dwCurrentState = currentState;
    ServiceStatus.dwWin32ExitCode = win32ExitCode;
    ServiceStatus.dwWaitHint = waitHint;
    ServiceStatus.dwControlsAccepted = controlsAccepted;
    if (currentState == SERVICE_RUNNING || currentState == SERVICE_STOPPED) {
        ServiceStatus.dwCheckPoint = 0;
    } else {
        ServiceStatus.dwCheckPoint = CheckPointCounter;
        ++CheckPointCounter;
    }
    return ServiceStatus;
}

DWORD ControlsFor(DWORD currentState) {
    return currentState == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
}

// The report is sent from a copy taken under the lock, and after the lock is let go: a call
// into the manager is no place to hold a lock that the handler may be waiting for (under
// Wine, the stopped report waits until the control in hand is answered).
void Send(DWORD currentState, DWORD win32ExitCode, DWORD waitHint, DWORD controlsAccepted) {
    AcquireSRWLockExclusive(&StatusLock);
    SERVICE_STATUS report = Fill(currentState, win32ExitCode, waitHint, controlsAccepted);
    ReleaseSRWLockExclusive(&StatusLock);
    // A report that does not arrive is not made again: the next change of state reports anew.
    SetServiceStatus(ServiceStatusHandle, &report);
}

} // namespace

void ReportServiceStatus(DWORD currentState, DWORD win32ExitCode, DWORD waitHint) {
    Send(currentState, win32ExitCode, waitHint, ControlsFor(currentState));
}

void ReportRunningWithoutControls() {
    Send(SERVICE_RUNNING, NO_ERROR, 0, 0);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                   LPVOID context) {
    (void)eventType;
    (void)eventData;
    (void)context;
    if (control != SERVICE_CONTROL_STOP)
        return NO_ERROR;
    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 0);
    SetEvent(StopEvent);
    // Once the service main has recorded stopped, the status handle may be gone: nothing more
    // is sent. Otherwise reading the state, filling and sending are one step under the lock,
    // so the stopped report, filled under the same lock, can only come after this one.
    AcquireSRWLockExclusive(&StatusLock);
    const DWORD state = ServiceStatus.dwCurrentState;
    if (state != SERVICE_STOPPED) {
        SERVICE_STATUS report = Fill(state, NO_ERROR, 0, ControlsFor(state));
        SetServiceStatus(ServiceStatusHandle, &report);
    }
    ReleaseSRWLockExclusive(&StatusLock);
    return NO_ERROR;
}
