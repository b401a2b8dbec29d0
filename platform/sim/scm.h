// The simulated service control manager as the tests see it: registered services with their
// configuration and a scripted status over virtual time, the caller's elevation, and the path
// of the running executable.
#pragma once

#include "world.h"

#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace sim {

// What a service reports from `at` milliseconds after its timeline came in force on. The
// steps of a timeline ascend by `at`; the first one also holds before its own tick.
struct StatusStep {
    DWORD at = 0;
    DWORD state = SERVICE_STOPPED;
    DWORD checkPoint = 0;
    DWORD waitHint = 0;
    DWORD exitCode = NO_ERROR;
    DWORD controlsAccepted = SERVICE_ACCEPT_STOP;
};
using Timeline = std::vector<StatusStep>;

// How a scripted service behaves: `now` is in force from the tick the script is given on;
// an accepted start request switches to `onStart`, an accepted stop control to `onStop`,
// each counted from the tick of the request (in unsigned 32-bit arithmetic, so a wrap of
// the tick count does no harm).
struct ServiceScript {
    Timeline now = {{0, SERVICE_STOPPED}};
    Timeline onStart = {{0, SERVICE_RUNNING}};
    Timeline onStop = {{0, SERVICE_STOPPED}};
};

// Registers a service as if it had been installed before, binary path "C:\Service.exe".
// A service that CreateServiceW registers plays the default script.
void AddService(const WString& name, const ServiceScript& script = {});

// Binds the service of this name, registered now or later, to a service process that runs
// in this process instead of a script: an accepted start request runs processMain on a
// thread of its own as the manager would start the executable, with the process marked as
// started by the manager, and returns once the process has connected (its dispatcher runs),
// without waiting for the service's first report; a process that can do no more without
// connecting fails the start with ERROR_SERVICE_REQUEST_TIMEOUT after 30 s of virtual time.
// Queries show the process's latest report (before the first, what the manager records
// itself: start-pending, no controls, check point 0, wait hint 2000; stopped before a start,
// and with ERROR_PROCESS_ABORTED when the process ended without reporting stopped); a stop
// control goes to the process's dispatcher, and ControlService returns once the handler has,
// or with ERROR_SERVICE_REQUEST_TIMEOUT after 30 s when the process can do no more first.
// Every query, control, start request and Sleep first lets the process do what it can.
//
// While a service is start-pending, a start request for another one waits on the virtual
// clock until that service reports running or stopped, or until its start is given up after
// 80 s plus its wait hint without progress.
void BindServiceProcess(const WString& name, std::function<void()> processMain);

// Each status query takes this many milliseconds of virtual time (0 unless set), as the
// round trip to the control manager does on a real machine; a query returns the status at
// the end of its time.
void SetStatusQueryTime(DWORD milliseconds);

// Whether the caller runs as an elevated administrator (yes unless set): otherwise the
// control manager cannot be opened with more than read access.
void SetElevated(bool elevated);

// What GetModuleFileNameW gives for the running executable; by default
// "C:\Program Files\RUVERODAzaroda\ruverodazaroda.exe".
void SetModulePath(const WString& path);

struct FailureActions {
    DWORD resetPeriod = 0;
    bool hasRebootMessage = false;
    bool hasCommand = false;
    std::vector<std::pair<SC_ACTION_TYPE, DWORD>> actions; // type and delay
};

// What the control manager holds for a service.
struct ServiceRecord {
    WString binaryPath;
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    WString account = WSTR("LocalSystem");
    WString displayName;
    std::optional<WString> description;
    std::optional<FailureActions> failureActions;
    bool markedForDelete = false;
    DWORD state = SERVICE_STOPPED; // at the current tick
};

// A service marked for deletion is gone once it is stopped and its last handle is closed.
bool ServiceExists(const WString& name);
// The record of a registered service; ends the test run for one that is not registered.
ServiceRecord ServiceRecordOf(const WString& name);
// Changes what the manager holds for a registered service, as another program could.
void ChangeServiceRecord(const WString& name, const std::function<void(ServiceRecord&)>& change);
// Manager and service handles handed out and not closed.
std::size_t OpenServiceHandles();

} // namespace sim
