#include "service_main.h"

#include "log/log.h"
#include "repair/device_detection.h"
#include "repair/reader_descriptions_watch.h"
#include "repair/repair_pass.h"
#include "service_name.h"
#include "service_status.h"

namespace {

// How long the manager should allow until the service reports running.
constexpr DWORD kStartWaitHint = 3000;

} // namespace

void WINAPI RunService(DWORD argc, LPWSTR* argv) {
    // Start parameters have no effect on this service.
    (void)argc;
    (void)argv;
    ServiceStatusHandle =
        RegisterServiceCtrlHandlerExW(ServiceName, ServiceControlHandler, nullptr);
    if (ServiceStatusHandle == nullptr)
        return;
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.dwServiceSpecificExitCode = 0;
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, kStartWaitHint);

    StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (StopEvent == nullptr) {
        ReportServiceStatus(SERVICE_STOPPED, GetLastError(), 0);
        return;
    }

    // The descriptions are read here, once the dispatcher has connected, and before any pass
    // can run; from here on a change of the value is followed.
    StartReaderDescriptionsWatch();
    // A failed registration is logged there; the service then runs without the trigger.
    RegisterDeviceDetection();
    // The first pass takes seconds per reader: while the service is start-pending the manager
    // starts no other service, so the service runs already, and takes no stop until the pass
    // is over.
    ReportRunningWithoutControls();
    ApplyCcidDriverFix();
    ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);

    // This thread follows the descriptions itself: a change that comes during its pass is
    // read when the pass is over, and after a stop nothing waits for a change any more.
    // Whatever else ends the wait, the service stops.
    for (;;) {
        const HANDLE events[2] = {StopEvent, ReaderDescriptionsChanged};
        const DWORD woken =
            WaitForMultipleObjects(events[1] == nullptr ? 1 : 2, events, FALSE, INFINITE);
        if (woken != WAIT_OBJECT_0 + 1)
            break;
        // New descriptions may name readers present all along.
        if (FollowReaderDescriptions())
            ApplyCcidDriverFix();
    }
    LogMessage("Stopping\n");
    EndReaderDescriptionsWatch();
    // Waits for callbacks in progress, so no pass outlives the stopped report.
    UnregisterDeviceDetection();
    ReportServiceStatus(SERVICE_STOPPED, NO_ERROR, 0);
}
