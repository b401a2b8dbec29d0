#include "commands.h"
#include "pending_poll.h"
#include "service_handle.h"
#include "status_query.h"

#include "log/log.h"

namespace {

// One budget for the whole command, from its first action on.
constexpr DWORD StopBudget = 30000;

constexpr DWORD StopAccess = SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS;

bool BudgetExceeded(DWORD startTick) {
    return GetTickCount() - startTick > StopBudget;
}

// A wait hint is the service's own guess and may be anything up to 49 days; one sleep never
// runs further than the first tick past the budget, where the next test ends the wait.
DWORD CappedSleep(DWORD waitHint, DWORD startTick) {
    const DWORD elapsed = GetTickCount() - startTick;
    const DWORD left = elapsed > StopBudget ? 0 : StopBudget - elapsed + 1;
    return waitHint < left ? waitHint : left;
}

} // namespace

void StopServiceCommand() {
    const DWORD startTick = GetTickCount();
    ScHandle manager;
    ScHandle service;
    SERVICE_STATUS_PROCESS status{};
    if (!OpenOwnServiceAndQuery(StopAccess, manager, service, &status))
        return;
    if (status.dwCurrentState == SERVICE_STOPPED) {
        LogMessage("Service is already stopped.\n");
        return;
    }

    // A stop already under way is followed, not asked for again.
    while (status.dwCurrentState == SERVICE_STOP_PENDING) {
        LogMessage("Service stop pending...\n");
        Sleep(PendingPollDelay(status.dwWaitHint));
        if (!QueryStatus(service.get(), &status)) {
            LogMessage("QueryServiceStatusEx failed (%d)\n", GetLastError());
            return;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            LogMessage("Service stopped successfully.\n");
            return;
        }
        if (BudgetExceeded(startTick)) {
            LogMessage("Service stop timed out.\n");
            return;
        }
    }

    // The status record begins with the fields of the one ControlService fills, so the stop
    // wait goes on from what the control returned.
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, AsServiceStatus(&status))) {
        LogMessage("ControlService failed (%d)\n", GetLastError());
        return;
    }

    // The hint is slept as it is: this system's own service answers with 0 and stops at once.
    while (status.dwCurrentState != SERVICE_STOPPED) {
        Sleep(CappedSleep(status.dwWaitHint, startTick));
        if (!QueryStatus(service.get(), &status)) {
            LogMessage("QueryServiceStatusEx failed (%d)\n", GetLastError());
            return;
        }
        if (status.dwCurrentState == SERVICE_STOPPED)
            break;
        if (BudgetExceeded(startTick)) {
            LogMessage("Wait timed out\n");
            return;
        }
    }
    LogMessage("Service stopped successfully\n");
}
