// The service control manager: registered services, the handles to them, and the services
// that a test's script plays over virtual time.
#include "internal.h"

#include <cstring>
#include <memory>

using namespace sim::detail;

namespace {

struct Service {
    sim::ServiceRecord record; // its state is the driver's
    ServiceDriver driver;
    bool startGivenUp = false; // stuck in its start; holds the start lock no more
};

struct Handle {
    bool manager = false;
    WString service; // upper-cased name, for a service handle
    DWORD access = 0;
};

struct Scm {
    std::map<WString, Service> services; // by upper-cased name
    HandleTable<Handle> open{0x7000};
    bool elevated = true;
    DWORD queryTime = 0;
    WString modulePath = WSTR("C:\\Program Files\\RUVERODAzaroda\\ruverodazaroda.exe");
};

Scm theScm;

// What a caller without elevation may still ask of the manager: connect, enumerate, query
// the lock status, read its security.
constexpr DWORD kUnelevatedManagerRights = 0x0001u | 0x0004u | 0x0010u | 0x00020000u;
constexpr DWORD kManagerConnect = 0x0001u;
constexpr DWORD kManagerCreateService = 0x0002u;

DWORD Now() {
    return sim::Ticks();
}

SERVICE_STATUS_PROCESS StatusOf(const Service& s) {
    return s.driver.status(Now());
}

// A service marked for deletion goes once it is stopped and no handle refers to it.
void Sweep() {
    Scm& scm = theScm;
    for (auto it = scm.services.begin(); it != scm.services.end();) {
        bool held = false;
        for (const auto& h : scm.open.All())
            held = held || (!h.second.manager && h.second.service == it->first);
        if (it->second.record.markedForDelete && !held &&
            StatusOf(it->second).dwCurrentState == SERVICE_STOPPED)
            it = scm.services.erase(it);
        else
            ++it;
    }
}

SC_HANDLE NewHandle(bool manager, const WString& service, DWORD access) {
    return theScm.open.Add<SC_HANDLE>(Handle{manager, service, access});
}

// The manager behind handle with the access needed; false with the error set otherwise.
bool CheckManager(SC_HANDLE handle, DWORD access) {
    const Handle* h = theScm.open.Find(handle);
    if (h == nullptr || !h->manager)
        return Fail(ERROR_INVALID_HANDLE);
    return (h->access & access) == access || Fail(ERROR_ACCESS_DENIED);
}

// The service behind handle with the access needed; null with the error set otherwise.
Service* ServiceOf(SC_HANDLE handle, DWORD access) {
    const Handle* h = theScm.open.Find(handle);
    if (h == nullptr || h->manager)
        return Fail<Service*>(ERROR_INVALID_HANDLE);
    if ((h->access & access) != access)
        return Fail<Service*>(ERROR_ACCESS_DENIED);
    return &theScm.services.at(h->service);
}

Service& Registered(const WString& name) {
    auto s = theScm.services.find(Upper(name));
    if (s == theScm.services.end())
        Abort("no service " + Utf16ToUtf8(name));
    return s->second;
}

// A script played from tick now on: an accepted start request switches to onStart, an
// accepted stop control to onStop, each counted from the tick of the request.
struct Playing {
    sim::ServiceScript script;
    sim::Timeline current;
    DWORD origin = 0;
};

SERVICE_STATUS_PROCESS StatusAt(const Playing& p, DWORD now) {
    sim::StatusStep step;
    if (!p.current.empty())
        step = p.current.front();
    for (const sim::StatusStep& s : p.current) {
        if (s.at <= now - p.origin)
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

// A service bound to a service process in this process plays it; any other, the script.
sim::detail::ServiceDriver DriverFor(const WString& name, const sim::ServiceScript& script) {
    if (auto bound = BoundServiceDriver(name))
        return *bound;
    auto playing = std::make_shared<Playing>(Playing{script, script.now, Now()});
    ServiceDriver driver;
    driver.status = [playing](DWORD at) { return StatusAt(*playing, at); };
    driver.start = [playing](DWORD at) {
        playing->current = playing->script.onStart;
        playing->origin = at;
        return static_cast<DWORD>(NO_ERROR);
    };
    driver.control = [playing](DWORD) {
        playing->current = playing->script.onStop;
        playing->origin = Now();
        return static_cast<DWORD>(NO_ERROR);
    };
    return driver;
}

// Without a status change or a rising check point for this long plus the wait hint, the
// manager gives a start up.
constexpr DWORD kStartProgressLimit = 80000;

// The manager holds its start lock while a service it started is start-pending: another
// start waits, on the virtual clock, until that service reports running or stopped or its
// start is given up. (The manager then also stops the service; that is not simulated.)
void WaitForStartLock(const Service& starting) {
    for (;;) {
        Service* holder = nullptr;
        for (auto& [name, s] : theScm.services) {
            if (&s != &starting && !s.startGivenUp &&
                StatusOf(s).dwCurrentState == SERVICE_START_PENDING)
                holder = &s;
        }
        if (holder == nullptr)
            return;
        SERVICE_STATUS_PROCESS last = StatusOf(*holder);
        DWORD since = Now();
        for (;;) {
            sim::SetTicks(Now() + 1);
            const SERVICE_STATUS_PROCESS now = StatusOf(*holder);
            if (now.dwCurrentState != SERVICE_START_PENDING)
                break;
            if (now.dwCheckPoint != last.dwCheckPoint) {
                last = now;
                since = Now();
            } else if (Now() - since > kStartProgressLimit + now.dwWaitHint) {
                holder->startGivenUp = true;
                break;
            }
        }
    }
}

std::string Actions(const SERVICE_FAILURE_ACTIONSW* f) {
    if (f == nullptr)
        return "NULL";
    std::string list;
    for (DWORD i = 0; f->lpsaActions != nullptr && i < f->cActions; ++i) {
        list += i == 0 ? "" : ", ";
        list += "{" + std::to_string(f->lpsaActions[i].Type) + ", " +
                std::to_string(f->lpsaActions[i].Delay) + "}";
    }
    return "{" + std::to_string(f->dwResetPeriod) + ", " + Quote(f->lpRebootMsg) + ", " +
           Quote(f->lpCommand) + ", " + std::to_string(f->cActions) + ", " +
           (f->lpsaActions == nullptr ? std::string("NULL") : "[" + list + "]") + "}";
}

} // namespace

void sim::detail::ResetServices() {
    theScm = Scm{};
}

void sim::AddService(const WString& name, const ServiceScript& script) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Service s;
    s.record.binaryPath = WSTR("C:\\Service.exe");
    s.record.displayName = name;
    s.driver = DriverFor(name, script);
    theScm.services[Upper(name)] = s;
}

void sim::detail::RebindService(const WString& name) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    auto it = theScm.services.find(Upper(name));
    std::optional<ServiceDriver> bound = BoundServiceDriver(name);
    if (it != theScm.services.end() && bound)
        it->second.driver = *bound;
}

void sim::SetStatusQueryTime(DWORD milliseconds) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theScm.queryTime = milliseconds;
}

void sim::SetElevated(bool elevated) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theScm.elevated = elevated;
}

void sim::SetModulePath(const WString& path) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theScm.modulePath = path;
}

bool sim::ServiceExists(const WString& name) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Sweep();
    return theScm.services.count(Upper(name)) == 1;
}

sim::ServiceRecord sim::ServiceRecordOf(const WString& name) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Sweep();
    const Service& s = Registered(name);
    ServiceRecord record = s.record;
    record.state = StatusOf(s).dwCurrentState;
    return record;
}

void sim::ChangeServiceRecord(const WString& name,
                              const std::function<void(ServiceRecord&)>& change) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    change(Registered(name).record);
}

sim::ServiceRecord* sim::detail::RecordOfHandle(SC_HANDLE handle, DWORD access) {
    Service* s = ServiceOf(handle, access);
    return s == nullptr ? nullptr : &s->record;
}

std::size_t sim::OpenServiceHandles() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theScm.open.Size();
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    if (Faulted("GetModuleFileNameW", Ptr(module), Out(buffer, "&buffer"), size))
        return 0;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    if (module != nullptr)
        return Fail<DWORD>(126); // ERROR_MOD_NOT_FOUND: this process loads no other module here
    if (size == 0)
        return Fail<DWORD>(ERROR_INSUFFICIENT_BUFFER);
    const WString& path = theScm.modulePath;
    // As Windows does: a path that does not fit is cut to size - 1 characters and
    // terminated, and the result is the full buffer size.
    if (path.size() >= size) {
        std::memcpy(buffer, path.data(), (size - 1) * sizeof(WCHAR));
        buffer[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(path.size());
}

SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD access) {
    if (Faulted("OpenSCManagerW", Quote(machineName), Quote(databaseName), Hex(access)))
        return nullptr;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    // Only the local, active database here.
    if (machineName != nullptr || databaseName != nullptr)
        return Fail<SC_HANDLE>(ERROR_INVALID_PARAMETER);
    if (!theScm.elevated && (access & ~kUnelevatedManagerRights) != 0)
        return Fail<SC_HANDLE>(ERROR_ACCESS_DENIED);
    return NewHandle(true, WString(), access);
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD access,
                         DWORD serviceType, DWORD startType, DWORD errorControl,
                         LPCWSTR binaryPathName, LPCWSTR loadOrderGroup, LPDWORD tagId,
                         LPCWSTR dependencies, LPCWSTR serviceStartName, LPCWSTR password) {
    if (Faulted("CreateServiceW", Ptr(manager), Quote(serviceName), Quote(displayName), Hex(access),
                Hex(serviceType), Hex(startType), Hex(errorControl), Quote(binaryPathName),
                Quote(loadOrderGroup), Out(tagId, "&tag"), Quote(dependencies),
                Quote(serviceStartName), Quote(password)))
        return nullptr;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    if (!CheckManager(manager, kManagerCreateService))
        return nullptr;
    if (serviceName == nullptr || *serviceName == 0 || binaryPathName == nullptr)
        return Fail<SC_HANDLE>(ERROR_INVALID_PARAMETER);
    Sweep();
    const WString key = Upper(serviceName);
    auto existing = theScm.services.find(key);
    if (existing != theScm.services.end())
        return Fail<SC_HANDLE>(existing->second.record.markedForDelete
                                   ? ERROR_SERVICE_MARKED_FOR_DELETE
                                   : ERROR_SERVICE_EXISTS);
    Service s;
    s.record.binaryPath = binaryPathName;
    s.record.serviceType = serviceType;
    s.record.startType = startType;
    s.record.errorControl = errorControl;
    s.record.displayName = displayName != nullptr ? displayName : serviceName;
    // Without an account the service runs as LocalSystem, and the manager records that name.
    if (serviceStartName != nullptr)
        s.record.account = serviceStartName;
    s.driver = DriverFor(serviceName, sim::ServiceScript{});
    theScm.services[key] = s;
    return NewHandle(false, key, access);
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD access) {
    if (Faulted("OpenServiceW", Ptr(manager), Quote(serviceName), Hex(access)))
        return nullptr;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    if (!CheckManager(manager, kManagerConnect))
        return nullptr;
    Sweep();
    const WString key = Upper(serviceName == nullptr ? WString() : WString(serviceName));
    if (theScm.services.count(key) == 0)
        return Fail<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST);
    return NewHandle(false, key, access);
}

BOOL DeleteService(SC_HANDLE service) {
    if (Faulted("DeleteService", Ptr(service)))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Service* s = ServiceOf(service, DELETE);
    if (s == nullptr)
        return FALSE;
    if (s->record.markedForDelete)
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    s->record.markedForDelete = true;
    return TRUE;
}

BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv) {
    if (Faulted("StartServiceW", Ptr(service), argc, Out(argv, "&args")))
        return FALSE;
    SettleServiceProcesses();
    std::unique_lock<std::recursive_mutex> guard(WorldLock());
    Service* s = ServiceOf(service, SERVICE_START);
    if (s == nullptr)
        return FALSE;
    if (s->record.markedForDelete)
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (StatusOf(*s).dwCurrentState != SERVICE_STOPPED)
        return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    WaitForStartLock(*s);
    s->startGivenUp = false;
    // A service process in this process makes platform calls of its own before the start
    // returns: the world must be free for them.
    const ServiceDriver driver = s->driver;
    const DWORD now = Now();
    guard.unlock();
    const DWORD error = driver.start(now);
    return error == NO_ERROR ? TRUE : Fail(error);
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    if (Faulted("ControlService", Ptr(service), control, Out(status, "&status")))
        return FALSE;
    SettleServiceProcesses();
    std::unique_lock<std::recursive_mutex> guard(WorldLock());
    if (control != SERVICE_CONTROL_STOP || status == nullptr)
        return Fail(ERROR_INVALID_PARAMETER); // no other control is simulated
    Service* s = ServiceOf(service, SERVICE_STOP);
    if (s == nullptr)
        return FALSE;
    SERVICE_STATUS_PROCESS now = StatusOf(*s);
    DWORD error = NO_ERROR;
    if (now.dwCurrentState == SERVICE_STOPPED)
        error = ERROR_SERVICE_NOT_ACTIVE;
    else if (now.dwCurrentState == SERVICE_START_PENDING ||
             now.dwCurrentState == SERVICE_STOP_PENDING)
        error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    else if ((now.dwControlsAccepted & SERVICE_ACCEPT_STOP) == 0)
        error = ERROR_INVALID_SERVICE_CONTROL;
    else {
        // As with a start: the handler of a service process in this process makes calls of
        // its own before the control returns.
        const ServiceDriver driver = s->driver;
        guard.unlock();
        error = driver.control(control) == ERROR_SERVICE_REQUEST_TIMEOUT
                    ? ERROR_SERVICE_REQUEST_TIMEOUT
                    : NO_ERROR;
        now = driver.status(Now());
        guard.lock();
    }
    // The manager fills the status on these refusals too, and on nothing else.
    if (error != ERROR_SERVICE_REQUEST_TIMEOUT)
        std::memcpy(status, &now, sizeof *status);
    return error == NO_ERROR ? TRUE : Fail(error);
}

BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer,
                          DWORD bufferSize, LPDWORD bytesNeeded) {
    if (Faulted("QueryServiceStatusEx", Ptr(service), static_cast<int>(infoLevel),
                Out(buffer, "&status"), bufferSize, Out(bytesNeeded, "&needed")))
        return FALSE;
    SettleServiceProcesses();
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Service* s = ServiceOf(service, SERVICE_QUERY_STATUS);
    if (s == nullptr)
        return FALSE;
    if (infoLevel != SC_STATUS_PROCESS_INFO)
        return Fail(ERROR_INVALID_LEVEL);
    if (bufferSize < sizeof(SERVICE_STATUS_PROCESS) || buffer == nullptr) {
        if (bytesNeeded != nullptr)
            *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    sim::SetTicks(Now() + theScm.queryTime);
    SERVICE_STATUS_PROCESS now = StatusOf(*s);
    std::memcpy(buffer, &now, sizeof now);
    return TRUE;
}

BOOL ChangeServiceConfig2W(SC_HANDLE service, DWORD infoLevel, LPVOID info) {
    std::string value = "NULL";
    if (info != nullptr && infoLevel == SERVICE_CONFIG_DESCRIPTION)
        value = "{" + Quote(static_cast<SERVICE_DESCRIPTIONW*>(info)->lpDescription) + "}";
    else if (info != nullptr && infoLevel == SERVICE_CONFIG_FAILURE_ACTIONS)
        value = Actions(static_cast<SERVICE_FAILURE_ACTIONSW*>(info));
    else if (info != nullptr)
        value = "&info";
    if (Faulted("ChangeServiceConfig2W", Ptr(service), infoLevel, value))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    if (infoLevel != SERVICE_CONFIG_DESCRIPTION && infoLevel != SERVICE_CONFIG_FAILURE_ACTIONS)
        return Fail(ERROR_INVALID_LEVEL);
    if (info == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    bool restarts = false;
    if (infoLevel == SERVICE_CONFIG_FAILURE_ACTIONS) {
        const auto* f = static_cast<SERVICE_FAILURE_ACTIONSW*>(info);
        for (DWORD i = 0; f->lpsaActions != nullptr && i < f->cActions; ++i)
            restarts = restarts || f->lpsaActions[i].Type == SC_ACTION_RESTART;
    }
    // A restart action is one more way to start the service.
    Service* s = ServiceOf(service, SERVICE_CHANGE_CONFIG | (restarts ? SERVICE_START : 0));
    if (s == nullptr)
        return FALSE;
    if (infoLevel == SERVICE_CONFIG_DESCRIPTION) {
        // A null text leaves the description as it is.
        const WCHAR* text = static_cast<SERVICE_DESCRIPTIONW*>(info)->lpDescription;
        if (text != nullptr)
            s->record.description = WString(text);
        return TRUE;
    }
    const auto* f = static_cast<SERVICE_FAILURE_ACTIONSW*>(info);
    sim::FailureActions actions = s->record.failureActions.value_or(sim::FailureActions{});
    actions.hasRebootMessage = actions.hasRebootMessage || f->lpRebootMsg != nullptr;
    actions.hasCommand = actions.hasCommand || f->lpCommand != nullptr;
    // A null list leaves the actions and the reset period as they are.
    if (f->lpsaActions != nullptr) {
        actions.resetPeriod = f->dwResetPeriod;
        actions.actions.clear();
        for (DWORD i = 0; i < f->cActions; ++i)
            actions.actions.emplace_back(f->lpsaActions[i].Type, f->lpsaActions[i].Delay);
    }
    s->record.failureActions = actions;
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    if (Faulted("CloseServiceHandle", Ptr(handle)))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    if (!theScm.open.Close(handle))
        return Fail(ERROR_INVALID_HANDLE);
    Sweep();
    return TRUE;
}
