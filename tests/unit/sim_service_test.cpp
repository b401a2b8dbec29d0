#include "fixture.h"
#include "platform/sim/scm.h"
#include "platform/sim/service_process.h"

#include <atomic>
#include <thread>

namespace {

// What the test service mains saw.
struct MainRecord {
    int calls = 0;
    std::string entry;
    std::vector<std::string> args;
    DWORD registerError = 0;
};
MainRecord record;
std::thread::id handlerThread;

void Remember(const char* entry, DWORD argc, LPWSTR* argv) {
    ++record.calls;
    record.entry = entry;
    for (DWORD i = 0; i < argc; ++i)
        record.args.push_back(Utf16ToUtf8(argv[i]));
    EXPECT_EQ(argv[argc], nullptr);
}

SERVICE_STATUS_HANDLE answerHandle = nullptr;
std::atomic<bool> mainReturned{false};
BOOL lateReport = TRUE;

// Adds its context to the control; on the stop control it reports stopped itself, and then
// once more, which the handle no longer takes.
DWORD WINAPI Answer(DWORD control, DWORD, LPVOID, LPVOID context) {
    handlerThread = std::this_thread::get_id();
    if (control == SERVICE_CONTROL_STOP) {
        SERVICE_STATUS stopped = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
        SetServiceStatus(answerHandle, &stopped);
        lateReport = SetServiceStatus(answerHandle, &stopped);
    }
    return control + *static_cast<DWORD*>(context);
}
DWORD answerBase = 1000;

// Registers a handler under a name of its own and reports nothing.
void WINAPI FirstMain(DWORD argc, LPWSTR* argv) {
    Remember("first", argc, argv);
    SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerExW(WSTR("AnyName"), Answer, &answerBase);
    record.registerError = handle == nullptr ? GetLastError() : 0;
}
void WINAPI SecondMain(DWORD argc, LPWSTR* argv) {
    Remember("second", argc, argv);
}
// Reports running and returns, leaving the stop to the handler.
void WINAPI RunAndReturn(DWORD argc, LPWSTR* argv) {
    Remember("running", argc, argv);
    answerHandle = RegisterServiceCtrlHandlerExW(WSTR("RUVERODAzaroda"), Answer, &answerBase);
    SERVICE_STATUS running = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 1, 0, 0, 0, 0};
    SetServiceStatus(answerHandle, &running);
    mainReturned = true;
}

using SimService = SimTest;

TEST_F(SimService, DispatcherChecksTheTable) {
    WCHAR first[] = WSTR("First");
    WCHAR second[] = WSTR("Second");
    WCHAR empty[] = WSTR("");
    SERVICE_TABLE_ENTRYW two[] = {{first, FirstMain}, {second, SecondMain}, {nullptr, nullptr}};
    SERVICE_TABLE_ENTRYW emptyName[] = {{empty, FirstMain}, {nullptr, nullptr}};
    SERVICE_TABLE_ENTRYW noName[] = {{nullptr, FirstMain}, {nullptr, nullptr}};
    SERVICE_TABLE_ENTRYW noMain[] = {{first, nullptr}, {nullptr, nullptr}};
    struct Case {
        const char* name;
        const SERVICE_TABLE_ENTRYW* table;
        bool byScm;
        BOOL result;
        DWORD error;
        const char* entry;
        DWORD registerError;
    };
    const Case cases[] = {
        {"from a console", two, false, FALSE, 1063, "", 0},
        {"no table", nullptr, true, FALSE, ERROR_INVALID_DATA, "", 0},
        {"no name", noName, true, FALSE, ERROR_INVALID_DATA, "", 0},
        {"no main", noMain, true, FALSE, ERROR_INVALID_DATA, "", 0},
        {"own process ignores names", two, true, TRUE, 0, "first", 0},
        {"own process, empty name", emptyName, true, TRUE, 0, "first", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        record = MainRecord{};
        sim::SetStartedByScm(c.byScm);
        SetLastError(0);
        EXPECT_EQ(StartServiceCtrlDispatcherW(c.table), c.result);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(record.entry, c.entry);
        EXPECT_EQ(record.calls, c.result ? 1 : 0);
        EXPECT_EQ(record.registerError, c.registerError);
        if (c.result) {
            EXPECT_EQ(record.args, std::vector<std::string>{"RUVERODAzaroda"});
        }
    }
    sim::FailNext("StartServiceCtrlDispatcherW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(StartServiceCtrlDispatcherW(two), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// Controls reach the handler on the dispatcher thread. A main that returned after reporting
// running leaves the dispatcher waiting for a stopped report; in the table above, mains that
// report nothing end the dispatcher as soon as they return.
TEST_F(SimService, DispatcherDeliversControlsOnItsOwnThreadUntilStopped) {
    WCHAR name[] = WSTR("RUVERODAzaroda");
    SERVICE_TABLE_ENTRYW table[] = {{name, RunAndReturn}, {nullptr, nullptr}};
    record = MainRecord{};
    mainReturned = false;
    sim::SetStartedByScm(true);
    std::vector<DWORD> seen;
    sim::OnServiceReport([&](const SERVICE_STATUS& s) { seen.push_back(s.dwCurrentState); });
    EXPECT_EQ(sim::SendServiceControl(0x80), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));

    std::thread dispatcher([&] { EXPECT_EQ(StartServiceCtrlDispatcherW(table), TRUE); });
    const std::thread::id dispatcherThread = dispatcher.get_id();
    while (!mainReturned)
        std::this_thread::yield();
    EXPECT_EQ(sim::SendServiceControl(0x80), 1128u);
    EXPECT_TRUE(sim::ServiceDispatcherRunning());
    EXPECT_EQ(sim::SendServiceControl(SERVICE_CONTROL_STOP), 1001u);
    dispatcher.join();

    EXPECT_EQ(handlerThread, dispatcherThread);
    EXPECT_EQ(seen, (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOPPED}));
    EXPECT_EQ(sim::LatestServiceReport()->dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(sim::JournalOf("SetServiceStatus").back(),
              "SetServiceStatus(" + HandleText(answerHandle) +
                  ", {Type=0x10, State=1, Accepted=0x0, Exit=0, SpecificExit=0, CheckPoint=0, "
                  "WaitHint=0})");
    EXPECT_EQ(lateReport, FALSE);
    lateReports_ = 1;
    EXPECT_EQ(sim::SendServiceControl(SERVICE_CONTROL_INTERROGATE),
              static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
}

TEST_F(SimService, StatusAndHandlerCallsFailAsWindowsDoes) {
    SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 1, 0, 0, 0, 0};
    // Outside a service process there is neither a service to register for nor a handle.
    EXPECT_EQ(RegisterServiceCtrlHandlerExW(WSTR("RUVERODAzaroda"), Answer, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_IN_EXE));
    const auto handle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x6000);
    EXPECT_EQ(SetServiceStatus(handle, &status), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    sim::FailNext("RegisterServiceCtrlHandlerExW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(RegisterServiceCtrlHandlerExW(WSTR("X"), Answer, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(sim::ServiceReports().empty());
    EXPECT_FALSE(sim::LatestServiceReport().has_value());
}

// A signalled event stays signalled.
TEST_F(SimService, EventsSignalWaitAndFailAsWindowsDoes) {
    sim::FailNext("CreateEventW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    const auto bogus = reinterpret_cast<HANDLE>(0x7004);
    EXPECT_EQ(SetEvent(bogus), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(bogus, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    sim::FailNext("SetEvent", ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetEvent(event), FALSE);
    EXPECT_FALSE(sim::EventSignalled(event));
    EXPECT_EQ(SetEvent(event), TRUE);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    sim::FailNext("WaitForSingleObject", ERROR_ACCESS_DENIED);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(SimService, InfiniteWaitBlocksUntilSetAndLocksExclude) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD result = 99;
    std::thread waiter([&] { result = WaitForSingleObject(event, INFINITE); });
    while (sim::JournalOf("WaitForSingleObject").empty())
        std::this_thread::yield();
    SetEvent(event);
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);

    SRWLOCK a = SRWLOCK_INIT;
    SRWLOCK b = SRWLOCK_INIT;
    AcquireSRWLockExclusive(&a);
    bool inside = false;
    std::thread other([&] {
        AcquireSRWLockExclusive(&a);
        inside = true;
        ReleaseSRWLockExclusive(&a);
    });
    while (sim::JournalOf("AcquireSRWLockExclusive").size() < 2)
        std::this_thread::yield();
    AcquireSRWLockExclusive(&b);
    EXPECT_EQ(sim::HeldLocks(), 2u);
    EXPECT_FALSE(inside);
    ReleaseSRWLockExclusive(&b);
    ReleaseSRWLockExclusive(&a);
    other.join();
    EXPECT_TRUE(inside);
    EXPECT_EQ(sim::HeldLocks(), 0u);
    // The journal tells one lock from another.
    const std::vector<std::string> locks = sim::JournalOf("AcquireSRWLockExclusive");
    ASSERT_EQ(locks.size(), 3u);
    EXPECT_EQ(locks[0], locks[1]);
    EXPECT_NE(locks[0], locks[2]);
}

// A start request returns before the service's first report; until it, the manager shows the
// start it records itself.
TEST_F(SimService, StartShowsTheManagersRecordUntilTheFirstReport) {
    record = MainRecord{};
    sim::AddService(WSTR("RUVERODAzaroda"));
    sim::BindServiceProcess(WSTR("RUVERODAzaroda"), [] {
        WCHAR name[] = WSTR("RUVERODAzaroda");
        SERVICE_TABLE_ENTRYW table[] = {{name, RunAndReturn}, {nullptr, nullptr}};
        StartServiceCtrlDispatcherW(table);
    });
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(scm, WSTR("RUVERODAzaroda"), SERVICE_ALL_ACCESS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    auto* buffer = reinterpret_cast<LPBYTE>(&status);
    sim::HoldStatusReports();
    EXPECT_TRUE(StartServiceW(service, 0, nullptr));
    EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, buffer, 36, &needed));
    EXPECT_EQ(sim::HeldStatusReports(), 1u);
    EXPECT_EQ((std::vector<DWORD>{status.dwCurrentState, status.dwControlsAccepted,
                                  status.dwCheckPoint, status.dwWaitHint}),
              (std::vector<DWORD>{SERVICE_START_PENDING, 0, 0, 2000}));
    sim::ReleaseStatusReports();
    EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, buffer, 36, &needed));
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    // A handler that does not return within the manager's 30 seconds.
    SERVICE_STATUS control{};
    sim::HoldStatusReports();
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &control));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_EQ(sim::Ticks(), 30000u);
    sim::ReleaseStatusReports();
    sim::JoinServiceProcesses();
    lateReports_ = 1; // the handler's
    // A process that never connects: the manager gives the start up after its 30 seconds.
    sim::BindServiceProcess(WSTR("RUVERODAzaroda"), [] {});
    EXPECT_FALSE(StartServiceW(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_EQ(sim::Ticks(), 60000u);
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
}

} // namespace
