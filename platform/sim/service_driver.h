// Shared by the parts of the simulated Windows; not for tests. What a simulated service
// reports and how it reacts is a driver of its own, so that the control manager's checks
// stay the same whether a test's script or a service running in this process answers.
#pragma once

#include "scm.h"

#include <functional>
#include <optional>

namespace sim::detail {

// The control manager makes its own checks (handle, access, state) first and calls these
// with the world lock held, with the current tick.
struct ServiceDriver {
    std::function<SERVICE_STATUS_PROCESS(DWORD now)> status;
    // A start request was accepted for the stopped service.
    std::function<void(DWORD now)> start;
    // A stop control was accepted by the service.
    std::function<void(DWORD now)> stop;
};

// Plays a test's script over virtual time, from tick now on.
ServiceDriver TimelineDriver(const ServiceScript& script, DWORD now);

// The driver of a service bound to a service process in this process, if it is bound.
std::optional<ServiceDriver> BoundServiceDriver(const WString& name);
// Gives a registered service its bound driver; nothing for one not registered (yet).
void RebindService(const WString& name);

} // namespace sim::detail
