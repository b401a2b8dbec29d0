// The command words and the service itself, each its own process on one simulated machine:
// the commands reach the real service main only through the simulated control manager.
#include "commands/commands.h"
#include "entry/entry.h"
#include "platform/sim/scm.h"
#include "platform/sim/service_process.h"
#include "repair_fixture.h"
#include "service/service_name.h"

#include <chrono>
#include <thread>

namespace {

class ServiceCommandsTest : public RepairTest {
  protected:
    void TearDown() override {
        sim::ReleaseDriverUpdates();
        sim::JoinServiceProcesses();
        RepairTest::TearDown();
    }
};

// How the control manager starts the executable: no arguments.
void ServiceProcessMain() {
    ResetServiceRecords();
    WCHAR program[] = WSTR("ruverodazaroda.exe");
    WCHAR* argv[] = {program, nullptr};
    EXPECT_EQ(EntryMain(1, argv), 0);
}

TEST_F(ServiceCommandsTest, CommandsDriveTheRealServiceThroughTheControlManager) {
    StagePackage();
    const DWORD reader = AddWatchedReader(kReaderA);
    OpenLogWithSwitchOn();
    sim::BindServiceProcess(ServiceName, ServiceProcessMain);

    // During the first repair pass the service runs, so the manager's start lock is free at
    // once; it refuses a second start and, until the pass is over, a stop.
    sim::AddService(WSTR("Other"));
    sim::HoldDriverUpdates();
    InstallServiceCommand();
    sim::WaitForHeldUpdates(1);
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE other = OpenServiceW(scm, WSTR("Other"), SERVICE_START);
    EXPECT_TRUE(StartServiceW(other, 0, nullptr));
    EXPECT_EQ(sim::Ticks(), 0u);
    CloseServiceHandle(other);
    CloseServiceHandle(scm);
    StartServiceCommand();
    StopServiceCommand();
    sim::ReleaseDriverUpdates();
    ASSERT_TRUE(sim::WaitForServiceReport(SERVICE_RUNNING, SERVICE_ACCEPT_STOP));

    const unsigned plug = sim::PostDeviceInstanceEvent(CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED,
                                                       WSTR("USB\\VID_F0C1&PID_1234\\9&2B&0&1"));
    sim::WaitForDeviceEvent(plug);
    StopServiceCommand();
    sim::JoinServiceProcesses();
    DeleteServiceCommand();

    EXPECT_EQ(LogEntries(), (std::vector<std::string>{
                                "Service installed successfully",
                                "Notification detection with 0x0000000000005000",
                                "CCID Inf path = " + kInfPathText,
                                "1 devices that need CCID driver fixing found.",
                                "Applying CCID driver fix.",
                                "Cannot start the service because it is already running",
                                "ControlService failed (1052)",
                                "Done!",
                                "Device detected!",
                                "CCID Inf path = " + kInfPathText,
                                "0 devices that need CCID driver fixing found.",
                                "Stopping",
                                "Service stopped successfully",
                                "Service deleted successfully",
                            }));
    EXPECT_EQ(sim::DriverInstalls(reader), 1u);
    EXPECT_FALSE(sim::ServiceExists(ServiceName));
    EXPECT_EQ(sim::OpenServiceHandles(), 0u);
    EXPECT_EQ(sim::ActiveRegistrations(), 0u);

    const std::vector<SERVICE_STATUS> reports = sim::ServiceReports();
    ASSERT_GE(reports.size(), 5u);
    EXPECT_EQ(reports.front().dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(reports[1].dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(reports[1].dwControlsAccepted, 0u);
    EXPECT_EQ(reports[2].dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(reports[2].dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    EXPECT_EQ(reports[3].dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(reports.back().dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(reports.back().dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
}

// The start command follows its own service: however long the first pass takes, the service
// runs before it, so the command has its answer.
TEST_F(ServiceCommandsTest, StartCommandSucceedsWhileTheFirstPassRuns) {
    StagePackage();
    AddWatchedReader(kReaderB);
    OpenLogWithSwitchOn();
    sim::AddService(ServiceName);
    sim::BindServiceProcess(ServiceName, ServiceProcessMain);

    sim::HoldDriverUpdates();
    StartServiceCommand();
    sim::ReleaseDriverUpdates();
    ASSERT_TRUE(sim::WaitForServiceReport(SERVICE_RUNNING, SERVICE_ACCEPT_STOP));
    StopServiceCommand();
    sim::JoinServiceProcesses();

    const std::vector<std::string> entries = LogEntries();
    const std::vector<std::string> command = {"Service start pending...",
                                              "Service started successfully.",
                                              "Service stopped successfully"};
    // The command's lines in their order, whatever the service logged between them.
    std::size_t next = 0;
    for (const std::string& e : entries) {
        if (next < command.size() && e == command[next])
            ++next;
    }
    EXPECT_EQ(next, command.size()) << ::testing::PrintToString(entries);
    EXPECT_EQ(sim::ServiceReports().back().dwCurrentState, SERVICE_STOPPED);
}

// A stop while an arrival's pass is in a driver update that takes real time: the service
// reports stopped once the pass is over, and the command follows it there.
TEST_F(ServiceCommandsTest, StopWaitsForAPassThatTakesRealTime) {
    StagePackage();
    AddWatchedReader(kReaderA);
    OpenLogWithSwitchOn();
    sim::AddService(ServiceName);
    sim::BindServiceProcess(ServiceName, ServiceProcessMain);
    StartServiceCommand();
    sim::RevertDriverUpdates();
    sim::HoldDriverUpdates();
    sim::PostDeviceInstanceEvent(CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED,
                                 WSTR("USB\\VID_F0C1&PID_1234\\9&2B&0&1"));
    sim::WaitForHeldUpdates(1);
    std::thread update([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sim::ReleaseDriverUpdates();
    });
    StopServiceCommand();
    update.join();
    const std::vector<std::string> entries = LogEntries();
    EXPECT_EQ(std::vector<std::string>(entries.end() - 3, entries.end()),
              (std::vector<std::string>{"Stopping", "Done!", "Service stopped successfully"}));
}

} // namespace
