#include "gate.h"
#include "internal.h"
#include "service_process.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>

using sim::detail::Call;

namespace {

// A control on its way from the manager to the handler.
struct Request {
    DWORD control = 0;
    bool done = false;
    DWORD result = 0;
};

constexpr std::uintptr_t kStatusHandle = 0x6000;

// Kept apart from the world's lock: the dispatcher thread blocks here while the service main
// thread goes on making platform calls.
struct ServiceProcess {
    bool startedByScm = false;
    WString serviceName = WSTR("RUVERODAzaroda");
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
    std::vector<WString> parameters;

    bool dispatching = false;
    bool mainReturned = false;
    bool reportedThisRun = false;
    bool stoppedThisRun = false;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID context = nullptr;
    bool handleOut = false;
    std::deque<Request*> requests;
    // Service mains started and service processes ended: what a start request waits for.
    std::size_t startsSettled = 0;

    std::vector<SERVICE_STATUS> reports;
    // Reports made through a status handle after its stopped report.
    std::size_t reportsAfterStopped = 0;
    std::function<void(const SERVICE_STATUS&)> onReport;
};

std::mutex& ProcessLock() {
    static std::mutex lock;
    return lock;
}

// Taken by SetServiceStatus for the whole of a report, so that the hook sees the reports one
// at a time and in the order in which they were recorded.
std::mutex& ReportOrder() {
    static std::mutex lock;
    return lock;
}

std::condition_variable& ProcessChanged() {
    static std::condition_variable changed;
    return changed;
}

ServiceProcess& TheProcess() {
    static ServiceProcess process;
    return process;
}

// Where SetServiceStatus, before it takes the report, can be held.
sim::detail::Gate& ReportGate() {
    static sim::detail::Gate gate;
    return gate;
}

std::string TableText(const SERVICE_TABLE_ENTRYW* table) {
    if (table == nullptr)
        return "NULL";
    std::string entries;
    for (const SERVICE_TABLE_ENTRYW* e = table;; ++e) {
        if (!entries.empty())
            entries += ", ";
        entries += "{" + sim::detail::Quote(e->lpServiceName) + ", " +
                   (e->lpServiceProc == nullptr ? "NULL" : "proc") + "}";
        if (e->lpServiceName == nullptr && e->lpServiceProc == nullptr)
            break;
    }
    return "[" + entries + "]";
}

std::string StatusText(const SERVICE_STATUS* s) {
    if (s == nullptr)
        return "NULL";
    return "{Type=" + sim::detail::Hex(s->dwServiceType, 1) +
           ", State=" + std::to_string(s->dwCurrentState) +
           ", Accepted=" + sim::detail::Hex(s->dwControlsAccepted, 1) +
           ", Exit=" + std::to_string(s->dwWin32ExitCode) +
           ", SpecificExit=" + std::to_string(s->dwServiceSpecificExitCode) +
           ", CheckPoint=" + std::to_string(s->dwCheckPoint) +
           ", WaitHint=" + std::to_string(s->dwWaitHint) + "}";
}

bool SameName(const WString& a, const WCHAR* b) {
    return b != nullptr && sim::detail::Upper(a) == sim::detail::Upper(b);
}

// The entry the manager's start request names, or null when the table has none for it.
const SERVICE_TABLE_ENTRYW* EntryToRun(const SERVICE_TABLE_ENTRYW* table) {
    const ServiceProcess& p = TheProcess();
    // One service in its own process: the name in the table is not looked at.
    if ((p.serviceType & SERVICE_WIN32_OWN_PROCESS) != 0)
        return table;
    for (const SERVICE_TABLE_ENTRYW* e = table; e->lpServiceName != nullptr; ++e) {
        if (e->lpServiceProc != nullptr && SameName(p.serviceName, e->lpServiceName))
            return e;
    }
    return nullptr;
}

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

} // namespace

void sim::detail::ResetServiceProcess() {
    std::lock_guard<std::mutex> guard(ProcessLock());
    if (TheProcess().dispatching) {
        std::fprintf(stderr, "sim: Reset() while the service dispatcher runs; stop the service "
                             "and wait for the dispatcher to return first\n");
        std::abort();
    }
    ReportGate().Reset("a thread is held in SetServiceStatus");
    TheProcess() = ServiceProcess{};
}

void sim::SetStartedByScm(bool started) {
    std::lock_guard<std::mutex> guard(ProcessLock());
    TheProcess().startedByScm = started;
}

void sim::SetStartedService(const WString& name, DWORD serviceType) {
    std::lock_guard<std::mutex> guard(ProcessLock());
    TheProcess().serviceName = name;
    TheProcess().serviceType = serviceType;
}

void sim::SetServiceStartParameters(const std::vector<WString>& parameters) {
    std::lock_guard<std::mutex> guard(ProcessLock());
    TheProcess().parameters = parameters;
}

bool sim::ServiceDispatcherRunning() {
    std::lock_guard<std::mutex> guard(ProcessLock());
    return TheProcess().dispatching;
}

std::vector<SERVICE_STATUS> sim::ServiceReports() {
    std::lock_guard<std::mutex> guard(ProcessLock());
    return TheProcess().reports;
}

std::optional<SERVICE_STATUS> sim::LatestServiceReport() {
    std::lock_guard<std::mutex> guard(ProcessLock());
    if (TheProcess().reports.empty())
        return std::nullopt;
    return TheProcess().reports.back();
}

std::size_t sim::ReportsAfterStopped() {
    std::lock_guard<std::mutex> guard(ProcessLock());
    return TheProcess().reportsAfterStopped;
}

void sim::HoldStatusReports() {
    ReportGate().Hold();
}

void sim::ReleaseStatusReports() {
    ReportGate().Release();
}

void sim::WaitForHeldStatusReports(std::size_t count) {
    ReportGate().WaitForHeld(count);
}

std::size_t sim::HeldStatusReports() {
    return ReportGate().Held();
}

std::size_t sim::detail::ServiceStartsSettled() {
    std::lock_guard<std::mutex> guard(ProcessLock());
    return TheProcess().startsSettled;
}

void sim::detail::WaitForServiceStartSettled(std::size_t since) {
    std::unique_lock<std::mutex> guard(ProcessLock());
    ProcessChanged().wait(guard, [&] { return TheProcess().startsSettled > since; });
}

void sim::detail::EndServiceProcess() {
    std::lock_guard<std::mutex> guard(ProcessLock());
    ++TheProcess().startsSettled;
    ProcessChanged().notify_all();
}

void sim::SettleServiceProcess() {
    detail::SettleServiceProcesses();
}

void sim::OnServiceReport(std::function<void(const SERVICE_STATUS&)> hook) {
    std::lock_guard<std::mutex> order(ReportOrder());
    std::lock_guard<std::mutex> guard(ProcessLock());
    TheProcess().onReport = std::move(hook);
}

DWORD sim::SendServiceControl(DWORD control) {
    std::unique_lock<std::mutex> guard(ProcessLock());
    ServiceProcess& p = TheProcess();
    if (!p.dispatching)
        return ERROR_SERVICE_NOT_ACTIVE;
    Request request;
    request.control = control;
    p.requests.push_back(&request);
    ProcessChanged().notify_all();
    ProcessChanged().wait(guard, [&] { return request.done; });
    return request.result;
}

bool sim::WaitForServiceReport(DWORD state, DWORD controlsAccepted) {
    std::unique_lock<std::mutex> guard(ProcessLock());
    const std::vector<SERVICE_STATUS>& reports = TheProcess().reports;
    return ProcessChanged().wait_for(guard, std::chrono::minutes(1), [&] {
        for (const SERVICE_STATUS& s : reports) {
            if (s.dwCurrentState == state &&
                (controlsAccepted == kAnyControls || s.dwControlsAccepted == controlsAccepted))
                return true;
        }
        return false;
    });
}

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
    DWORD code = 0;
    if (Call("StartServiceCtrlDispatcherW", &code, TableText(table)))
        return Fail(code);
    if (table == nullptr || table->lpServiceName == nullptr || table->lpServiceProc == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);

    std::unique_lock<std::mutex> guard(ProcessLock());
    ServiceProcess& p = TheProcess();
    // Outside the manager there is no one to connect to.
    if (!p.startedByScm)
        return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    if (p.dispatching)
        return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    const SERVICE_TABLE_ENTRYW* entry = EntryToRun(table);
    if (entry == nullptr)
        return Fail(ERROR_SERVICE_NOT_IN_EXE);

    p.dispatching = true;
    p.mainReturned = false;
    p.reportedThisRun = false;
    p.stoppedThisRun = false;
    p.handler = nullptr;
    p.context = nullptr;
    p.handleOut = false;
    // The service main gets its own copy of the service name and the start parameters.
    std::vector<WString> args{p.serviceName};
    args.insert(args.end(), p.parameters.begin(), p.parameters.end());
    std::vector<LPWSTR> argv;
    for (WString& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const LPSERVICE_MAIN_FUNCTIONW serviceMain = entry->lpServiceProc;
    // The dispatcher thread and the service main thread are the service process's own.
    const bool joined = sim::detail::JoinServiceProcess();
    sim::detail::ReserveServiceProcessThread();
    std::thread mainThread([&] {
        sim::detail::AdoptServiceProcessThread();
        serviceMain(static_cast<DWORD>(args.size()), argv.data());
        {
            std::lock_guard<std::mutex> done(ProcessLock());
            TheProcess().mainReturned = true;
            ProcessChanged().notify_all();
        }
        sim::detail::LeaveServiceProcess();
    });
    ++p.startsSettled;
    ProcessChanged().notify_all();

    // The calling thread is the dispatcher thread: controls reach the handler here.
    const auto due = [process = &p] {
        return !process->requests.empty() ||
               (process->mainReturned && (!process->reportedThisRun || process->stoppedThisRun));
    };
    for (;;) {
        sim::detail::WaitInPlatform(guard, ProcessChanged(), due);
        if (p.requests.empty())
            break;
        Request* request = p.requests.front();
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
        ProcessChanged().notify_all();
    }

    guard.unlock();
    mainThread.join();
    guard.lock();
    p.dispatching = false;
    p.handleOut = false;
    p.handler = nullptr;
    for (Request* late : p.requests) {
        late->result = ERROR_SERVICE_NOT_ACTIVE;
        late->done = true;
    }
    p.requests.clear();
    ProcessChanged().notify_all();
    guard.unlock();
    if (joined)
        sim::detail::LeaveServiceProcess();
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                    LPHANDLER_FUNCTION_EX handler, LPVOID context) {
    DWORD code = 0;
    if (Call("RegisterServiceCtrlHandlerExW", &code, sim::detail::Quote(serviceName),
             handler == nullptr ? "NULL" : "handler", sim::detail::Ptr(context))) {
        SetLastError(code);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(ProcessLock());
    ServiceProcess& p = TheProcess();
    DWORD error = ERROR_SUCCESS;
    if (!p.dispatching)
        error = ERROR_SERVICE_NOT_IN_EXE;
    else if (serviceName == nullptr || handler == nullptr)
        error = ERROR_INVALID_PARAMETER;
    // In its own process the one service's name is not checked.
    else if ((p.serviceType & SERVICE_WIN32_OWN_PROCESS) == 0 &&
             !SameName(p.serviceName, serviceName))
        error = ERROR_SERVICE_DOES_NOT_EXIST;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    p.handler = handler;
    p.context = context;
    p.handleOut = true;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(kStatusHandle);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    // Between the caller's filling of the record and the manager's taking it.
    ReportGate().Pass();
    std::lock_guard<std::mutex> order(ReportOrder());
    // The record is read once, whole; the journal and the reports show that one reading.
    SERVICE_STATUS report{};
    if (status != nullptr)
        report = *status;
    DWORD code = 0;
    if (Call("SetServiceStatus", &code, sim::detail::Ptr(handle),
             StatusText(status == nullptr ? nullptr : &report)))
        return Fail(code);
    std::function<void(const SERVICE_STATUS&)> hook;
    {
        std::lock_guard<std::mutex> guard(ProcessLock());
        ServiceProcess& p = TheProcess();
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
        ProcessChanged().notify_all();
    }
    if (hook)
        hook(report);
    return TRUE;
}
