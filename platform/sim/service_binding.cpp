// A service of the simulated control manager played by a service process running in this
// process: the system's own service main, reached through its own entry, instead of a script.
#include "internal.h"
#include "service_driver.h"
#include "service_process.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

namespace {

constexpr DWORD kProcessAborted = 1067; // ERROR_PROCESS_ABORTED
// What the manager records for a service it has just started, until the service reports.
constexpr DWORD kStartWaitHint = 2000;

struct Binding {
    std::function<void()> processMain;
    std::thread process;
    bool started = false;
    bool ended = false;
    std::size_t reportsBefore = 0; // reports of earlier processes
};

struct Bindings {
    std::map<WString, std::shared_ptr<Binding>> byName; // upper-cased name
};

std::mutex& BindingLock() {
    static std::mutex lock;
    return lock;
}

Bindings& TheBindings() {
    static Bindings bindings;
    return bindings;
}

// What the manager shows for the process: nothing before it starts; while it has not yet
// reported, the start the manager itself records (start-pending, no controls, check point 0,
// wait hint 2000); afterwards its latest report, unless the process ended without reporting
// that it stopped.
SERVICE_STATUS_PROCESS StatusOf(const std::shared_ptr<Binding>& b) {
    SERVICE_STATUS_PROCESS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    std::size_t before = 0;
    bool started = false, ended = false;
    {
        std::lock_guard<std::mutex> guard(BindingLock());
        before = b->reportsBefore;
        started = b->started;
        ended = b->ended;
    }
    if (!started)
        return status;
    const std::vector<SERVICE_STATUS> reports = sim::ServiceReports();
    if (reports.size() > before) {
        // A status record begins with the fields of a report.
        std::memcpy(&status, &reports.back(), sizeof(SERVICE_STATUS));
    } else if (!ended) {
        status.dwCurrentState = SERVICE_START_PENDING;
        status.dwWaitHint = kStartWaitHint;
    }
    if (ended && status.dwCurrentState != SERVICE_STOPPED) {
        status = SERVICE_STATUS_PROCESS{};
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = SERVICE_STOPPED;
        status.dwWin32ExitCode = kProcessAborted;
    }
    status.dwProcessId = status.dwCurrentState == SERVICE_STOPPED ? 0 : 0x1F04;
    return status;
}

void Start(const std::shared_ptr<Binding>& b) {
    std::unique_lock<std::mutex> guard(BindingLock());
    if (b->process.joinable()) {
        guard.unlock();
        b->process.join(); // an earlier process that has ended by now
        guard.lock();
    }
    b->reportsBefore = sim::ServiceReports().size();
    b->started = true;
    b->ended = false;
    sim::SetStartedByScm(true);
    // As on Windows, the start request returns once a thread runs the service main, without
    // waiting for the service's first report; whoever asks the manager afterwards first lets
    // the process do what it can (SettleServiceProcess).
    const std::size_t settled = sim::detail::ServiceStartsSettled();
    sim::detail::ReserveServiceProcessThread();
    b->process = std::thread([b] {
        sim::detail::AdoptServiceProcessThread();
        b->processMain();
        {
            std::lock_guard<std::mutex> done(BindingLock());
            b->ended = true;
        }
        sim::detail::EndServiceProcess();
        sim::detail::LeaveServiceProcess();
    });
    guard.unlock();
    sim::detail::WaitForServiceStartSettled(settled);
}

} // namespace

void sim::detail::ResetServiceBindings() {
    std::lock_guard<std::mutex> guard(BindingLock());
    for (const auto& [name, b] : TheBindings().byName) {
        if (b->process.joinable()) {
            std::fprintf(stderr, "sim: Reset() while a bound service process runs\n");
            std::abort();
        }
    }
    TheBindings() = Bindings{};
}

std::optional<sim::detail::ServiceDriver> sim::detail::BoundServiceDriver(const WString& name) {
    std::shared_ptr<Binding> b;
    {
        std::lock_guard<std::mutex> guard(BindingLock());
        auto it = TheBindings().byName.find(Upper(name));
        if (it == TheBindings().byName.end())
            return std::nullopt;
        b = it->second;
    }
    ServiceDriver driver;
    driver.status = [b](DWORD) { return StatusOf(b); };
    driver.start = [b](DWORD) { Start(b); };
    driver.stop = [](DWORD) { sim::SendServiceControl(SERVICE_CONTROL_STOP); };
    return driver;
}

void sim::BindServiceProcess(const WString& name, std::function<void()> processMain) {
    auto b = std::make_shared<Binding>();
    b->processMain = std::move(processMain);
    {
        std::lock_guard<std::mutex> guard(BindingLock());
        TheBindings().byName[detail::Upper(name)] = b;
    }
    detail::RebindService(name);
}

void sim::JoinServiceProcesses() {
    std::vector<std::shared_ptr<Binding>> all;
    {
        std::lock_guard<std::mutex> guard(BindingLock());
        for (const auto& [name, b] : TheBindings().byName)
            all.push_back(b);
    }
    for (const auto& b : all) {
        if (b->process.joinable())
            b->process.join();
    }
}
