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
SERVICE_STATUS Fill(DWORD currentState, DWORD win32ExitCode, DWORD waitHint) {
    ServiceStatus.dwCurrentState = currentState;
    ServiceStatus.dwWin32ExitCode = win32ExitCode;
    ServiceStatus.dwWaitHint = waitHint;
    ServiceStatus.dwControlsAccepted =
        currentState == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    if (currentState == SERVICE_RUNNING || currentState == SERVICE_STOPPED) {
        ServiceStatus.dwCheckPoint = 0;
    } else {
        ServiceStatus.dwCheckPoint = CheckPointCounter;
        ++CheckPointCounter;
    }
    return ServiceStatus;
}

} // namespace

// The report is sent from a copy taken under the lock, and after the lock is let go: a
// manager may answer a report only once the control in hand is answered (under Wine, stops
// timed out with 1053 while the stopped report was sent under the lock), and the handler
// that answers the control may be waiting for the lock.
void ReportServiceStatus(DWORD currentState, DWORD win32ExitCode, DWORD waitHint) {
    AcquireSRWLockExclusive(&StatusLock);
    SERVICE_STATUS report = Fill(currentState, win32ExitCode, waitHint);
    ReleaseSRWLockExclusive(&StatusLock);
    // A report that does not arrive is not made again: the next change of state reports anew.
    SetServiceStatus(ServiceStatusHandle, &report);
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
    // The service main may have recorded stopped already; then that state is repeated rather
    // than taken back. Reading the state, filling and sending are one step under the lock, so
    // a stopped report recorded after this one also reaches the manager after it.
    AcquireSRWLockExclusive(&StatusLock);
    SERVICE_STATUS report = Fill(ServiceStatus.dwCurrentState, NO_ERROR, 0);
    SetServiceStatus(ServiceStatusHandle, &report);
    ReleaseSRWLockExclusive(&StatusLock);
    return NO_ERROR;
}
