#include "service_driver.h"

#include <memory>

namespace {

struct Playing {
    sim::ServiceScript script;
    sim::Timeline current;
    DWORD origin = 0;
};

SERVICE_STATUS_PROCESS StatusAt(const Playing& p, DWORD now) {
    sim::StatusStep step;
    if (!p.current.empty())
        step = p.current.front();
    const DWORD elapsed = now - p.origin;
    for (const sim::StatusStep& s : p.current) {
        if (s.at <= elapsed)
            step = s;
    }
    SERVICE_STATUS_PROCESS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = step.state;
    status.dwControlsAccepted = step.controlsAccepted;
    status.dwWin32ExitCode = step.exitCode;
    status.dwCheckPoint = step.checkPoint;
    status.dwWaitHint = step.waitHint;
    status.dwProcessId = step.state == SERVICE_STOPPED ? 0 : 0x1F00;
    return status;
}

} // namespace

sim::detail::ServiceDriver sim::detail::TimelineDriver(const ServiceScript& script, DWORD now) {
    auto playing = std::make_shared<Playing>();
    playing->script = script;
    playing->current = script.now;
    playing->origin = now;
    ServiceDriver driver;
    driver.status = [playing](DWORD at) { return StatusAt(*playing, at); };
    driver.start = [playing](DWORD at) {
        playing->current = playing->script.onStart;
        playing->origin = at;
    };
    driver.stop = [playing](DWORD at) {
        playing->current = playing->script.onStop;
        playing->origin = at;
    };
    return driver;
}
