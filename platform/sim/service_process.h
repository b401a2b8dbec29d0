// The simulated service side of Windows as the tests see it: a process that the service
// control manager started, the controls it sends to the process's dispatcher, and the status
// reports the service makes. The events and locks the service waits on are in sync.h.
//
// Model of the dispatcher: StartServiceCtrlDispatcherW runs the service main on a thread of
// its own and delivers controls on the calling thread until the service has reported
// SERVICE_STOPPED, as on Windows. A service main that returns after reporting some other
// state keeps the dispatcher waiting; one that returns without any report leaves the
// manager's own record of a start that gets no further, and the manager ends the process:
// the dispatcher returns.
#pragma once

#include "sync.h"

#include <functional>
#include <optional>
#include <vector>

namespace sim {

// Whether the service control manager started this process; Reset() makes it false, and
// StartServiceCtrlDispatcherW then fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT. The
// manager starts an own-process service: the first entry of the dispatcher table runs,
// whatever its name, with the service's name ("RUVERODAzaroda" unless a bound service was
// started) as its one argument.
void SetStartedByScm(bool started);

// Whether a dispatcher call is under way.
bool ServiceDispatcherRunning();
// Waits until every bound process (scm.h) has ended and no dispatcher runs; a test must do so
// before the next Reset(). Ends the run at once when the service process can no longer end.
void JoinServiceProcesses();

// Every report that SetServiceStatus accepted since the last reset, whole, in the order of
// their arrival; and the latest of them.
std::vector<SERVICE_STATUS> ServiceReports();
std::optional<SERVICE_STATUS> LatestServiceReport();
// Called with every accepted report, in arrival order, before SetServiceStatus returns; one
// call at a time, on the reporting thread. The hook may read the reports, but must neither
// send a control nor make a report.
void OnServiceReport(std::function<void(const SERVICE_STATUS&)> hook);

// Blocks until the dispatcher has handed the control to the registered handler on its own
// thread and the handler has returned; gives the handler's result. Without a dispatcher:
// ERROR_SERVICE_NOT_ACTIVE; without a registered handler: ERROR_SERVICE_CANNOT_ACCEPT_CTRL.
// Controls are delivered whatever the service accepts: refusing them is the manager's part.
DWORD SendServiceControl(DWORD control);

// Reports made through the status handle after its stopped report: Windows lets the handle go
// with that report, so each of these is a fault (SetServiceStatus fails and keeps nothing).
std::size_t ReportsAfterStopped();

// While held, SetServiceStatus waits before it takes the record, as sent, until released.
void HoldStatusReports();
void ReleaseStatusReports();
void WaitForHeldStatusReports(std::size_t count);
std::size_t HeldStatusReports();

// Blocks until every thread of the service process (the dispatcher's, the service main's,
// those running its device callbacks) waits inside the simulated platform or has ended.
// Sleep, status queries, controls and start requests from outside the process do so first:
// the service's own work takes no virtual time.
void SettleServiceProcess();

// Blocks until a report of this state, with these controls accepted unless kAnyControls, has
// been accepted since the last reset (at once when one already was). False when none can
// come any more.
constexpr DWORD kAnyControls = 0xFFFFFFFFu;
bool WaitForServiceReport(DWORD state, DWORD controlsAccepted = kAnyControls);

} // namespace sim
