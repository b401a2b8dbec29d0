#include "commands.h"
#include "pending_poll.h"
#include "service_handle.h"
#include "status_query.h"

#include "log/log.h"

namespace {

enum class WaitEnd { QueryFailed, TimedOut, LeftPending };

// Follows the service while it reports the pending state, from the status in hand. The
// service may take as long as it likes while it raises its check point; it has only its
// latest wait hint after the last rise (or after the wait began) otherwise.
WaitEnd WaitWhilePending(SC_HANDLE service, DWORD pending, SERVICE_STATUS_PROCESS* status,
                         DWORD* error) {
    DWORD startTick = GetTickCount();
    DWORD lastCheckPoint = status->dwCheckPoint;
    while (status->dwCurrentState == pending) {
        Sleep(PendingPollDelay(status->dwWaitHint));
        if (!QueryStatus(service, status)) {
            *error = GetLastError();
            return WaitEnd::QueryFailed;
        }
        if (status->dwCheckPoint > lastCheckPoint) {
            startTick = GetTickCount();
            lastCheckPoint = status->dwCheckPoint;
        } else if (GetTickCount() - startTick > status->dwWaitHint &&
                   status->dwCurrentState == pending) {
            // A service that has left the pending state is past waiting for, however late
            // it got there: a finished stop reports hint 0, and must not read as a timeout.
            return WaitEnd::TimedOut;
        }
    }
    return WaitEnd::LeftPending;
}

void ReportStart(const SERVICE_STATUS_PROCESS& status) {
    if (status.dwCurrentState == SERVICE_RUNNING) {
        LogMessage("Service started successfully.\n");
        return;
    }
    LogMessage("Service not started. \n");
    LogMessage("  Current State: %d\n", status.dwCurrentState);
    LogMessage("  Exit Code: %d\n", status.dwWin32ExitCode);
    LogMessage("  Check Point: %d\n", status.dwCheckPoint);
    LogMessage("  Wait Hint: %d\n", status.dwWaitHint);
}

} // namespace

void StartServiceCommand() {
    ScHandle manager;
    ScHandle service;
    SERVICE_STATUS_PROCESS status{};
    if (!OpenOwnServiceAndQuery(SERVICE_ALL_ACCESS, manager, service, &status))
        return;
    if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING) {
        LogMessage("Cannot start the service because it is already running\n");
        return;
    }

    DWORD error = 0;
    switch (WaitWhilePending(service.get(), SERVICE_STOP_PENDING, &status, &error)) {
    case WaitEnd::QueryFailed:
        LogMessage("QueryServiceStatusEx failed (%d)\n", error);
        return;
    case WaitEnd::TimedOut:
        LogMessage("Timeout waiting for service to stop\n");
        return;
    case WaitEnd::LeftPending:
        break;
    }

    // Whatever state the pending stop ended in, the control manager decides on the start.
    if (!StartServiceW(service.get(), 0, nullptr)) {
        LogMessage("StartService failed (%d)\n", GetLastError());
        return;
    }
    LogMessage("Service start pending...\n");
    if (!QueryStatus(service.get(), &status)) {
        LogMessage("QueryServiceStatusEx failed (%d)\n", GetLastError());
        return;
    }
    // A failed query leaves the status as the last good one had it, and that is reported.
    if (WaitWhilePending(service.get(), SERVICE_START_PENDING, &status, &error) ==
        WaitEnd::QueryFailed)
        LogMessage("QueryServiceStatusEx failed (%d)\n", error);
    ReportStart(status);
}
