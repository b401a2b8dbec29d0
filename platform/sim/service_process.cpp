// The service process: a process that the control manager started, running in this one. Its
// threads (the dispatcher's, the service main's, the thread that stands for the process of a
// bound service, and the threads that deliver device events to its callbacks), the waits they
// make inside the platform, the dispatcher, and the reports made through the status handle.
#include "internal.h"
#include "service_process.h"

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>

using namespace sim::detail;

namespace {

// Real time after which a wait of the simulated Windows is taken to be one that can never
// end: far beyond what any wait of the whole suite takes, well within a test's time limit. A
// wait of the test itself ends first, so that it is the one named.
constexpr std::chrono::seconds kDeadline(20);
constexpr std::chrono::seconds kTestDeadline(5);

// A control on its way from the manager to the handler; shared with a manager that stops
// waiting for it.
struct Request {
    DWORD control = 0;
    bool done = false;
    DWORD result = 0;
};

struct Waiter {
    std::mutex* siteLock;
    std::function<bool()> woken;
    const char* what;
    bool atGate;
};

// The process of a bound service, as the manager started it.
struct Binding {
    WString name;
    std::function<void()> processMain;
    std::thread process;
    bool started = false;
    bool ended = false;
    std::size_t reportsBefore = 0; // reports of earlier processes
};

constexpr std::uintptr_t kStatusHandle = 0x6000;
// How long the manager waits for a handler to return, and for a process it started to
// connect (StartServiceCtrlDispatcherW), before it gives up with ERROR_SERVICE_REQUEST_TIMEOUT.
constexpr DWORD kHandlerTimeLimit = 30000;

// Kept apart from the world's lock: the dispatcher thread blocks here while the service main
// thread goes on making platform calls.
struct ServiceProcess {
    bool startedByScm = false;
    WString serviceName = WSTR("RUVERODAzaroda");
    bool dispatching = false;
    bool mainReturned = false;
    bool reportedThisRun = false;
    bool stoppedThisRun = false;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID context = nullptr;
    bool handleOut = false;
    std::deque<std::shared_ptr<Request>> requests;
    // Dispatchers connected since the last reset.
    std::size_t connects = 0;

    std::vector<SERVICE_STATUS> reports;
    // Reports made through a status handle after its stopped report.
    std::size_t reportsAfterStopped = 0;
    std::function<void(const SERVICE_STATUS&)> onReport;

    std::map<WString, std::shared_ptr<Binding>> bindings; // by upper-cased name
};

// The threads of the service process: how many run, and the waits of the others.
struct Threads {
    std::size_t running = 0;
    std::vector<std::shared_ptr<Waiter>> waiting;
    std::uint64_t changes = 0;
};

std::mutex processLock;
std::condition_variable processChanged;
// Taken by SetServiceStatus for the whole of a report, so that the hook sees the reports one
// at a time and in the order in which they were recorded.
std::mutex reportOrder;
ServiceProcess theProcess;
std::mutex threadsLock;
std::condition_variable threadsChanged;
Threads theThreads;
thread_local bool inProcess = false;

// Where SetServiceStatus, before it takes the report, can be held.
sim::detail::Gate reportGate("SetServiceStatus is held");

// The caller holds ThreadsLock.
void Changed() {
    ++theThreads.changes;
    threadsChanged.notify_all();
}

// Counts a thread that is about to be created for the process; the new thread sets
// inProcess itself.
void ReserveThread() {
    std::lock_guard<std::mutex> guard(threadsLock);
    ++theThreads.running;
    Changed();
}

// The calling thread leaves the process for good.
void LeaveProcess() {
    if (!inProcess)
        return;
    inProcess = false;
    std::lock_guard<std::mutex> guard(threadsLock);
    --theThreads.running;
    Changed();
}

// The manager has waited its 30 seconds in vain. The clock is the world's: guard goes first.
DWORD TimedOut(std::unique_lock<std::mutex>& guard) {
    guard.unlock();
    std::lock_guard<std::recursive_mutex> world(WorldLock());
    sim::SetTicks(sim::Ticks() + kHandlerTimeLimit);
    return ERROR_SERVICE_REQUEST_TIMEOUT;
}

// The service process as one settling left it: why it can no longer move without the test
// ("" unless every thread waits inside the platform, none at a gate); the gates it waits at.
struct Settled {
    std::string deadlock;
    std::string held;
    std::uint64_t changes = 0;
};

// Every thread of the service process waits inside the platform or has ended; the verdict is
// taken from one view: no thread runs, none is due to wake, and none has moved since the
// waits were read. A thread of the process settles nothing.
Settled Settle() {
    Settled settled;
    if (inProcess)
        return settled;
    std::unique_lock<std::mutex> guard(threadsLock);
    const Threads& t = theThreads;
    const auto await = [&](const auto& moved) {
        if (!threadsChanged.wait_for(guard, kTestDeadline, moved))
            Abort("a service process thread neither waits inside the platform nor ends");
    };
    for (;;) {
        await([&] { return t.running == 0; });
        // A waiter whose wait is over but that has not run yet still has work to do. Each
        // site's lock is taken without this part's, which the sites take inside their own.
        const std::vector<std::shared_ptr<Waiter>> waiting = t.waiting;
        const std::uint64_t seen = t.changes;
        guard.unlock();
        bool due = false;
        for (const auto& w : waiting) {
            std::lock_guard<std::mutex> site(*w->siteLock);
            due = due || w->woken();
        }
        guard.lock();
        if (due)
            await([&] { return t.changes != seen; });
        // A waiter that woke meanwhile may have made itself not due again: look once more.
        if (t.changes != seen)
            continue;
        std::string waits;
        for (const auto& w : waiting) {
            std::string& list = w->atGate ? settled.held : waits;
            list += std::string(list.empty() ? "" : "; ") + w->what;
        }
        if (settled.held.empty() && !waits.empty())
            settled.deadlock =
                "every thread of the service process waits inside the platform (" + waits + ")";
        settled.changes = seen;
        return settled;
    }
}

// Waits for the service process to move on from the settling that saw `since`: a thread held
// at a gate, let go by another thread of the test.
void AwaitChange(std::uint64_t since, const std::string& what) {
    std::unique_lock<std::mutex> guard(threadsLock);
    if (!threadsChanged.wait_for(guard, kTestDeadline, [&] { return theThreads.changes != since; }))
        Abort("a wait that never ends: " + what);
}

// Waits, as the test, until done() holds under the process's lock: the process settles again
// whenever it has moved, and the run ends at once when it can no longer move.
void AwaitProcess(const std::function<bool()>& done, const std::string& what) {
    for (;;) {
        const Settled settled = Settle();
        {
            std::lock_guard<std::mutex> guard(processLock);
            if (done())
                return;
        }
        if (!settled.deadlock.empty())
            Abort("a wait that never ends: " + what + ": " + settled.deadlock);
        AwaitChange(settled.changes, what + " (" + settled.held + ")");
    }
}

// A control sent as the manager sends it: once the service process can do no more, the
// handler has not returned in time (Windows waits 30 seconds for it). Sent by the test, a
// control that can never be handled ends the run.
DWORD Control(DWORD control, bool asManager) {
    std::unique_lock<std::mutex> guard(processLock);
    ServiceProcess& p = theProcess;
    if (!p.dispatching)
        return ERROR_SERVICE_NOT_ACTIVE;
    auto request = std::make_shared<Request>();
    request->control = control;
    p.requests.push_back(request);
    processChanged.notify_all();
    guard.unlock();
    if (!asManager) {
        AwaitProcess([&] { return request->done; },
                     "the handling of control " + std::to_string(control));
        return request->result;
    }
    Settle();
    guard.lock();
    return request->done ? request->result : TimedOut(guard);
}

std::string TableText(const SERVICE_TABLE_ENTRYW* table) {
    if (table == nullptr)
        return "NULL";
    std::string entries;
    for (const SERVICE_TABLE_ENTRYW* e = table;; ++e) {
        if (!entries.empty())
            entries += ", ";
        entries += "{" + Quote(e->lpServiceName) + ", " +
                   (e->lpServiceProc == nullptr ? "NULL" : "proc") + "}";
        if (e->lpServiceName == nullptr && e->lpServiceProc == nullptr)
            break;
    }
    return "[" + entries + "]";
}

std::string StatusText(const SERVICE_STATUS* s) {
    if (s == nullptr)
        return "NULL";
    return "{Type=" + Hex(s->dwServiceType, 1) + ", State=" + std::to_string(s->dwCurrentState) +
           ", Accepted=" + Hex(s->dwControlsAccepted, 1) +
           ", Exit=" + std::to_string(s->dwWin32ExitCode) +
           ", SpecificExit=" + std::to_string(s->dwServiceSpecificExitCode) +
           ", CheckPoint=" + std::to_string(s->dwCheckPoint) +
           ", WaitHint=" + std::to_string(s->dwWaitHint) + "}";
}

constexpr DWORD kProcessAborted = 1067; // ERROR_PROCESS_ABORTED
// What the manager records for a service it has just started, until the service reports.
constexpr DWORD kStartWaitHint = 2000;

// What the manager shows for the process: nothing before it starts; while it has not yet
// reported, the start the manager itself records (start-pending, no controls, check point 0,
// wait hint 2000); afterwards its latest report, unless the process ended without reporting
// that it stopped.
SERVICE_STATUS_PROCESS StatusOf(const std::shared_ptr<Binding>& b) {
    SERVICE_STATUS_PROCESS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    std::lock_guard<std::mutex> guard(processLock);
    if (!b->started)
        return status;
    const std::vector<SERVICE_STATUS>& reports = theProcess.reports;
    if (reports.size() > b->reportsBefore) {
        // A status record begins with the fields of a report.
        std::memcpy(&status, &reports.back(), sizeof(SERVICE_STATUS));
    } else if (!b->ended) {
        status.dwCurrentState = SERVICE_START_PENDING;
        status.dwWaitHint = kStartWaitHint;
    }
    if (b->ended && status.dwCurrentState != SERVICE_STOPPED) {
        status = SERVICE_STATUS_PROCESS{};
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = SERVICE_STOPPED;
        status.dwWin32ExitCode = kProcessAborted;
    }
    status.dwProcessId = status.dwCurrentState == SERVICE_STOPPED ? 0 : 0x1F04;
    return status;
}

DWORD Start(const std::shared_ptr<Binding>& b) {
    std::unique_lock<std::mutex> guard(processLock);
    if (b->process.joinable()) {
        guard.unlock();
        b->process.join(); // an earlier process that has ended by now
        guard.lock();
    }
    ServiceProcess& p = theProcess;
    b->reportsBefore = p.reports.size();
    b->started = true;
    b->ended = false;
    p.startedByScm = true;
    p.serviceName = b->name;
    // The start request returns once the process has connected, without waiting for the
    // service's first report: the process does what it can before, as its work takes no
    // virtual time.
    const std::size_t connects = p.connects;
    b->process = ProcessThread([b] {
        b->processMain();
        std::lock_guard<std::mutex> done(processLock);
        b->ended = true;
    });
    guard.unlock();
    Settle();
    guard.lock();
    return p.connects != connects ? NO_ERROR : TimedOut(guard);
}

} // namespace

std::thread sim::detail::ProcessThread(std::function<void()> body) {
    ReserveThread();
    return std::thread([body = std::move(body)] {
        inProcess = true;
        body();
        LeaveProcess();
    });
}

std::string sim::detail::SettleBeforeSleep(DWORD milliseconds) {
    // The system never sleeps there; a sleep would have to count as a wait until its time.
    if (inProcess)
        Abort("Sleep on a thread of the service process is not simulated");
    for (;;) {
        const Settled settled = Settle();
        if (milliseconds != 0 || settled.held.empty())
            return settled.deadlock;
        // Sleep(0) lets real time pass, and only real time lets a held thread go.
        AwaitChange(settled.changes, "Sleep(0) while " + settled.held);
    }
}

void sim::detail::WaitInPlatform(std::unique_lock<std::mutex>& guard,
                                 std::condition_variable& changed,
                                 const std::function<bool()>& woken, const char* what,
                                 bool atGate) {
    if (!inProcess) {
        Await(guard, changed, woken, what);
        return;
    }
    // The waiter is shared with SettleServiceProcesses, which may still read it after this
    // thread has gone on.
    auto waiter = std::make_shared<Waiter>(Waiter{guard.mutex(), woken, what, atGate});
    {
        std::lock_guard<std::mutex> threads(threadsLock);
        --theThreads.running;
        theThreads.waiting.push_back(waiter);
        Changed();
    }
    Await(guard, changed, woken, what);
    std::lock_guard<std::mutex> threads(threadsLock);
    Threads& t = theThreads;
    ++t.running;
    for (auto it = t.waiting.begin(); it != t.waiting.end(); ++it) {
        if (*it == waiter) {
            t.waiting.erase(it);
            break;
        }
    }
    Changed();
}

void sim::detail::Await(std::unique_lock<std::mutex>& guard, std::condition_variable& changed,
                        const std::function<bool()>& done, const char* what) {
    if (!changed.wait_for(guard, inProcess ? kDeadline : kTestDeadline, done))
        Abort(std::string("a wait that never ends: ") + what);
}

void sim::detail::ResetServiceProcess() {
    {
        std::lock_guard<std::mutex> guard(processLock);
        ServiceProcess& p = theProcess;
        if (p.dispatching)
            Abort("the service dispatcher still runs at the end of the test");
        for (const auto& [name, b] : p.bindings) {
            if (b->started && !b->ended)
                Abort("a bound service process still runs at the end of the test");
            if (b->process.joinable())
                b->process.join();
        }
        p = ServiceProcess{};
    }
    reportGate.Reset();
}

void sim::SetStartedByScm(bool started) {
    std::lock_guard<std::mutex> guard(processLock);
    theProcess.startedByScm = started;
}

bool sim::ServiceDispatcherRunning() {
    std::lock_guard<std::mutex> guard(processLock);
    return theProcess.dispatching;
}

std::vector<SERVICE_STATUS> sim::ServiceReports() {
    std::lock_guard<std::mutex> guard(processLock);
    return theProcess.reports;
}

std::optional<SERVICE_STATUS> sim::LatestServiceReport() {
    std::lock_guard<std::mutex> guard(processLock);
    if (theProcess.reports.empty())
        return std::nullopt;
    return theProcess.reports.back();
}

std::size_t sim::ReportsAfterStopped() {
    std::lock_guard<std::mutex> guard(processLock);
    return theProcess.reportsAfterStopped;
}

void sim::HoldStatusReports() {
    reportGate.Hold();
}

void sim::ReleaseStatusReports() {
    reportGate.Release();
}

void sim::WaitForHeldStatusReports(std::size_t count) {
    reportGate.WaitForHeld(count);
}

std::size_t sim::HeldStatusReports() {
    return reportGate.Held();
}

void sim::detail::SettleServiceProcesses() {
    Settle();
}

void sim::SettleServiceProcess() {
    Settle();
}

void sim::OnServiceReport(std::function<void(const SERVICE_STATUS&)> hook) {
    std::lock_guard<std::mutex> order(reportOrder);
    std::lock_guard<std::mutex> guard(processLock);
    theProcess.onReport = std::move(hook);
}

DWORD sim::SendServiceControl(DWORD control) {
    return Control(control, false);
}

bool sim::WaitForServiceReport(DWORD state, DWORD controlsAccepted) {
    std::unique_lock<std::mutex> guard(processLock);
    const ServiceProcess& p = theProcess;
    const auto seen = [&] {
        for (const SERVICE_STATUS& s : p.reports) {
            if (s.dwCurrentState == state &&
                (controlsAccepted == kAnyControls || s.dwControlsAccepted == controlsAccepted))
                return true;
        }
        return false;
    };
    // A dispatcher on its way has not joined the process yet.
    detail::Await(
        guard, processChanged, [&] { return seen() || p.connects != 0; }, "a service dispatcher");
    guard.unlock();
    Settle();
    guard.lock();
    return seen();
}

std::optional<sim::detail::ServiceDriver> sim::detail::BoundServiceDriver(const WString& name) {
    std::shared_ptr<Binding> b;
    {
        std::lock_guard<std::mutex> guard(processLock);
        auto it = theProcess.bindings.find(Upper(name));
        if (it == theProcess.bindings.end())
            return std::nullopt;
        b = it->second;
    }
    ServiceDriver driver;
    driver.status = [b](DWORD) { return StatusOf(b); };
    driver.start = [b](DWORD) { return Start(b); };
    driver.control = [](DWORD control) { return Control(control, true); };
    return driver;
}

void sim::BindServiceProcess(const WString& name, std::function<void()> processMain) {
    auto b = std::make_shared<Binding>();
    b->name = name;
    b->processMain = std::move(processMain);
    {
        std::lock_guard<std::mutex> guard(processLock);
        theProcess.bindings[detail::Upper(name)] = b;
    }
    detail::RebindService(name);
}

void sim::JoinServiceProcesses() {
    AwaitProcess(
        [] {
            bool all = !theProcess.dispatching;
            for (const auto& [name, b] : theProcess.bindings)
                all = all && (!b->started || b->ended);
            return all;
        },
        "the end of the service process");
    std::unique_lock<std::mutex> guard(processLock);
    const ServiceProcess& p = theProcess;
    for (const auto& [name, b] : p.bindings) {
        if (b->process.joinable()) {
            guard.unlock();
            b->process.join();
            guard.lock();
        }
    }
}

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
    if (Faulted("StartServiceCtrlDispatcherW", TableText(table)))
        return FALSE;
    if (table == nullptr || table->lpServiceName == nullptr || table->lpServiceProc == nullptr)
        return Fail(ERROR_INVALID_DATA);

    std::unique_lock<std::mutex> guard(processLock);
    ServiceProcess& p = theProcess;
    // Outside the manager there is no one to connect to.
    if (!p.startedByScm)
        return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    if (p.dispatching)
        return Fail(ERROR_SERVICE_ALREADY_RUNNING);

    // A dispatcher that a test runs on a thread of its own makes that thread the process's.
    const bool joined = !inProcess;
    if (joined)
        ReserveThread();
    inProcess = true;
    p.dispatching = true;
    ++p.connects;
    p.mainReturned = false;
    p.reportedThisRun = false;
    p.stoppedThisRun = false;
    p.handler = nullptr;
    p.context = nullptr;
    p.handleOut = false;
    // One service in its own process: the first entry runs, whatever its name, and its main
    // gets the name of the service as its one argument.
    WString name = p.serviceName;
    LPWSTR argv[] = {name.data(), nullptr};
    const LPSERVICE_MAIN_FUNCTIONW serviceMain = table->lpServiceProc;
    // The dispatcher thread and the service main thread are the service process's own.
    std::thread mainThread = ProcessThread([&] {
        serviceMain(1, argv);
        std::lock_guard<std::mutex> done(processLock);
        theProcess.mainReturned = true;
        processChanged.notify_all();
    });
    processChanged.notify_all();

    // The calling thread is the dispatcher thread: controls reach the handler here until the
    // service has reported stopped. A main that returns without that report leaves the
    // dispatcher waiting, unless it never reported at all: the manager's own record of the
    // start then gets no further, and the manager gives the start up and ends the process.
    const auto due = [process = &p] {
        return !process->requests.empty() || process->stoppedThisRun ||
               (process->mainReturned && !process->reportedThisRun);
    };
    for (;;) {
        WaitInPlatform(guard, processChanged, due, "the dispatcher waiting for a control");
        if (p.requests.empty())
            break;
        const std::shared_ptr<Request> request = p.requests.front();
        p.requests.pop_front();
        const LPHANDLER_FUNCTION_EX handler = p.handler;
        const LPVOID context = p.context;
        guard.unlock();
        const DWORD result = handler == nullptr
                                 ? static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
                                 : handler(request->control, 0, nullptr, context);
        guard.lock();
        request->result = result;
        request->done = true;
        processChanged.notify_all();
    }

    // Windows would end the process, and the service main with it, once the dispatcher has
    // returned; here the main finishes first.
    guard.unlock();
    mainThread.join();
    guard.lock();
    p.dispatching = false;
    p.handleOut = false;
    p.handler = nullptr;
    for (const std::shared_ptr<Request>& late : p.requests) {
        late->result = ERROR_SERVICE_NOT_ACTIVE;
        late->done = true;
    }
    p.requests.clear();
    processChanged.notify_all();
    guard.unlock();
    if (joined)
        LeaveProcess();
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                    LPHANDLER_FUNCTION_EX handler, LPVOID context) {
    if (Faulted("RegisterServiceCtrlHandlerExW", Quote(serviceName), Out(handler, "handler"),
                Ptr(context)))
        return nullptr;
    std::lock_guard<std::mutex> guard(processLock);
    ServiceProcess& p = theProcess;
    // In its own process the one service's name is not checked.
    if (!p.dispatching)
        return Fail<SERVICE_STATUS_HANDLE>(ERROR_SERVICE_NOT_IN_EXE);
    if (serviceName == nullptr || handler == nullptr)
        return Fail<SERVICE_STATUS_HANDLE>(ERROR_INVALID_PARAMETER);
    p.handler = handler;
    p.context = context;
    p.handleOut = true;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(kStatusHandle);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    // Between the caller's filling of the record and the manager's taking it.
    reportGate.Pass();
    std::lock_guard<std::mutex> order(reportOrder);
    // The record is read once, whole; the journal and the reports show that one reading.
    SERVICE_STATUS report{};
    if (status != nullptr)
        report = *status;
    if (Faulted("SetServiceStatus", Ptr(handle), StatusText(status == nullptr ? nullptr : &report)))
        return FALSE;
    std::function<void(const SERVICE_STATUS&)> hook;
    {
        std::lock_guard<std::mutex> guard(processLock);
        ServiceProcess& p = theProcess;
        if (!p.handleOut || reinterpret_cast<std::uintptr_t>(handle) != kStatusHandle)
            return Fail(ERROR_INVALID_HANDLE);
        // Windows lets the handle go with the stopped report; a later call may crash the
        // process. Here it fails and is counted for the test to see.
        if (p.stoppedThisRun) {
            ++p.reportsAfterStopped;
            return Fail(ERROR_INVALID_HANDLE);
        }
        if (status == nullptr || report.dwCurrentState < SERVICE_STOPPED ||
            report.dwCurrentState > SERVICE_PAUSED)
            return Fail(ERROR_INVALID_DATA);
        p.reports.push_back(report);
        p.reportedThisRun = true;
        if (report.dwCurrentState == SERVICE_STOPPED)
            p.stoppedThisRun = true;
        hook = p.onReport;
        processChanged.notify_all();
    }
    if (hook)
        hook(report);
    return TRUE;
}
