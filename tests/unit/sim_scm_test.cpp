// The simulated control manager must answer as Windows does where the commands rely on it.
#include "fixture.h"
#include "platform/sim/scm.h"

namespace {

const WCHAR kName[] = WSTR("Probe");

TEST_F(SimTest, ModulePathIsCutAsWindowsCutsIt) {
    sim::SetModulePath(WSTR("C:\\a b\\x.exe")); // 12 characters
    const struct {
        DWORD size;
        DWORD result;
        const char* text;
        DWORD error;
    } table[] = {{13, 12, "C:\\a b\\x.exe", 0},
                 {12, 12, "C:\\a b\\x.ex", ERROR_INSUFFICIENT_BUFFER},
                 {4, 4, "C:\\", ERROR_INSUFFICIENT_BUFFER},
                 {1, 1, "", ERROR_INSUFFICIENT_BUFFER}};
    for (const auto& row : table) {
        WCHAR buffer[16];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, row.size), row.result) << row.size;
        EXPECT_EQ(Utf16ToUtf8(buffer), row.text) << row.size;
        EXPECT_EQ(GetLastError(), row.error) << row.size;
        EXPECT_EQ(buffer[row.size], u'#') << row.size;
    }
}

TEST_F(SimTest, ControlManagerRefusesAsWindowsDoes) {
    sim::ServiceScript script;
    script.now = {{0, SERVICE_RUNNING, 0, 0, NO_ERROR, 0},
                  {1000, SERVICE_START_PENDING},
                  {2000, SERVICE_STOPPED}};
    sim::AddService(kName, script);
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE all = OpenServiceW(scm, WSTR("PROBE"), SERVICE_ALL_ACCESS);
    SC_HANDLE deleteOnly = OpenServiceW(scm, kName, DELETE);
    ASSERT_NE(all, nullptr);
    ASSERT_NE(deleteOnly, nullptr);
    EXPECT_EQ(OpenServiceW(scm, WSTR("Other"), DELETE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(CreateServiceW(scm, kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, WSTR("x"), nullptr, nullptr,
                             nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));

    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    auto* buffer = reinterpret_cast<LPBYTE>(&status);
    const struct {
        SC_HANDLE handle;
        int level;
        DWORD size;
        DWORD error;
    } queries[] = {{deleteOnly, 0, 36, ERROR_ACCESS_DENIED},
                   {all, 1, 36, ERROR_INVALID_LEVEL},
                   {all, 0, 35, ERROR_INSUFFICIENT_BUFFER},
                   {scm, 0, 36, ERROR_INVALID_HANDLE}};
    for (const auto& q : queries) {
        EXPECT_FALSE(QueryServiceStatusEx(q.handle, static_cast<SC_STATUS_TYPE>(q.level), buffer,
                                          q.size, &needed));
        EXPECT_EQ(GetLastError(), q.error) << q.error;
    }
    EXPECT_EQ(needed, 36u);

    SERVICE_STATUS control{};
    EXPECT_FALSE(StartServiceW(all, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    EXPECT_FALSE(ControlService(deleteOnly, SERVICE_CONTROL_STOP, &control));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(ControlService(all, SERVICE_CONTROL_STOP, &control));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(control.dwCurrentState, SERVICE_RUNNING);
    Sleep(1000);
    EXPECT_FALSE(ControlService(all, SERVICE_CONTROL_STOP, &control));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(control.dwCurrentState, SERVICE_START_PENDING);
    Sleep(1000);
    EXPECT_FALSE(ControlService(all, SERVICE_CONTROL_STOP, &control));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_EQ(control.dwCurrentState, SERVICE_STOPPED);

    EXPECT_TRUE(DeleteService(deleteOnly));
    EXPECT_FALSE(DeleteService(all));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_TRUE(CloseServiceHandle(all));
    EXPECT_TRUE(sim::ServiceExists(kName)); // one handle still refers to it
    EXPECT_EQ(sim::OpenServiceHandles(), 2u);
    EXPECT_TRUE(CloseServiceHandle(deleteOnly));
    EXPECT_FALSE(sim::ServiceExists(kName));
    EXPECT_TRUE(CloseServiceHandle(scm));
    EXPECT_FALSE(CloseServiceHandle(scm));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(sim::OpenServiceHandles(), 0u);
}

TEST_F(SimTest, RequestsSwitchTimelinesCountedFromTheirTickAcrossTheWrap) {
    sim::SetTicks(0xFFFFFF00u);
    sim::ServiceScript script;
    script.onStart = {{0, SERVICE_START_PENDING, 1, 3000}, {0x200, SERVICE_RUNNING}};
    script.onStop = {{0, SERVICE_STOP_PENDING, 1, 0}, {0x300, SERVICE_STOPPED, 0, 0, 1066}};
    sim::AddService(kName, script);
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(scm, kName, SERVICE_ALL_ACCESS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    auto query = [&] {
        EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                         reinterpret_cast<LPBYTE>(&status), sizeof status,
                                         &needed));
        return status.dwCurrentState;
    };
    Sleep(0x80);
    EXPECT_TRUE(StartServiceW(service, 0, nullptr)); // at 0xFFFFFF80
    EXPECT_EQ(query(), SERVICE_START_PENDING);
    EXPECT_EQ(status.dwWaitHint, 3000u);
    Sleep(0x1FF);
    EXPECT_EQ(query(), SERVICE_START_PENDING);
    Sleep(1);
    EXPECT_EQ(query(), SERVICE_RUNNING);
    SERVICE_STATUS control{};
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &control));
    EXPECT_EQ(control.dwCurrentState, SERVICE_STOP_PENDING);
    sim::SetStatusQueryTime(0x300); // the query ends when the stop does
    EXPECT_EQ(query(), SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, 1066u);
    EXPECT_EQ(sim::Ticks(), 0x480u);
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
}

// While another service is start-pending, a start waits on the virtual clock until that one
// runs or stops, or until its start is given up: 80 s plus its hint without progress.
TEST_F(SimTest, StartWaitsForTheStartLock) {
    const struct {
        sim::Timeline other;
        DWORD returnsAt;
    } rows[] = {
        {{{0, SERVICE_START_PENDING, 1, 3000}, {1500, SERVICE_RUNNING}}, 1500},
        {{{0, SERVICE_START_PENDING, 1, 3000}, {700, SERVICE_STOPPED}}, 700},
        {{{0, SERVICE_START_PENDING, 1, 3000}}, 83001},
        {{{0, SERVICE_START_PENDING, 1, 3000}, {60000, SERVICE_START_PENDING, 2, 0}}, 140001},
        {{{0, SERVICE_RUNNING, 0, 0, NO_ERROR, 0}}, 0},
    };
    for (const auto& row : rows) {
        SetUp();
        sim::AddService(kName);
        sim::ServiceScript other;
        other.now = row.other;
        sim::AddService(WSTR("Other"), other);
        SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = OpenServiceW(scm, kName, SERVICE_START);
        EXPECT_TRUE(StartServiceW(service, 0, nullptr));
        EXPECT_EQ(sim::Ticks(), row.returnsAt);
        CloseServiceHandle(service);
        CloseServiceHandle(scm);
    }
}

TEST_F(SimTest, CallerWithoutElevationOnlyReadsTheControlManager) {
    sim::SetElevated(false);
    EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, 0x0001u); // connect
    EXPECT_NE(scm, nullptr);
    CloseServiceHandle(scm);
    sim::FailNext("OpenSCManagerW", ERROR_NOT_ENOUGH_MEMORY);
    sim::SetElevated(true);
    EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

} // namespace
