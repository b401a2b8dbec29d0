// Many device arrivals at once, and a stop that comes while repair passes are running: every
// pass that started ends before the service reports stopped, none starts after, and the log
// holds only whole lines.
#include "platform/sim/service_process.h"
#include "repair_fixture.h"
#include "service/service_main.h"

#include <algorithm>
#include <thread>

namespace {

constexpr unsigned kBursts = 20;
constexpr unsigned kBurstSize = 10;
// Bursts before the stop is sent: each delivered in full, so its passes are known.
constexpr unsigned kBurstsBeforeStop = 10;

const WString kReaderAInstance = WSTR("USB\\VID_F0C1&PID_1234\\5&1A&0&1");
const std::string kPathLine = "CCID Inf path = " + kInfPathText;

// One burst: four enumerated instances of watched vendors, six events that run nothing.
struct BurstEvent {
    CM_NOTIFY_ACTION action;
    WString instanceId;
};
const BurstEvent kBurst[kBurstSize] = {
    {CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED, kReaderAInstance},
    // Never announced: the start of an announced reader would race with its announcement.
    {CM_NOTIFY_ACTION_DEVICEINSTANCESTARTED, WSTR("USB\\VID_F0C2&PID_0A0B\\9&5E&0&4")},
    {CM_NOTIFY_ACTION_DEVICEINSTANCEREMOVED, kReaderAInstance},
    {CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED, WSTR("usb\\vid_f0c2&pid_0a0b\\6&2b&0&2")},
    {CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED, WSTR("USB\\VID_F0C5&PID_1234\\5&1A&0&1")},
    {CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED, WSTR("HID\\VID_F0C1&PID_1234\\7&2A&0&0000")},
    {CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED, WSTR("USB\\VID_F0C3&PID_7777&MI_00\\7&3C&0&0")},
    {CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, kReaderAInstance},
    {CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED, WSTR("USB\\VID_F0C4&PID_0042\\8&4D&0&3")},
    {CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED, WSTR("USB\\VID_F0C1&PID")},
};
constexpr std::size_t kPassesPerBurst = 4;
constexpr std::size_t kReaders = 2;

std::vector<unsigned> PostBurst() {
    std::vector<unsigned> events;
    for (const BurstEvent& e : kBurst)
        events.push_back(sim::PostDeviceInstanceEvent(e.action, e.instanceId));
    return events;
}

std::size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

class DeviceArrivalStress : public RepairTest {
  protected:
    void TearDown() override {
        sim::ReleaseDriverUpdates();
        if (dispatcher_.joinable()) {
            if (sim::ServiceDispatcherRunning() && !stopSent_)
                sim::SendServiceControl(SERVICE_CONTROL_STOP);
            dispatcher_.join();
        }
        if (stopper_.joinable())
            stopper_.join();
        RepairTest::TearDown();
    }

    std::thread dispatcher_;
    std::thread stopper_;
    bool stopSent_ = false;
    WCHAR name_[15] = WSTR("RUVERODAzaroda");
    SERVICE_TABLE_ENTRYW table_[2] = {{name_, RunService}, {nullptr, nullptr}};
};

TEST_F(DeviceArrivalStress, StopHalfWayThroughBurstsLosesNothing) {
    StartLikeService();
    const WString inf = StagePackage();
    ASSERT_EQ(inf, kInfPath);
    // The package leaves the readers as they were, so every pass repairs both again.
    sim::SetPackageDescription(inf, kUmdf2);
    AddWatchedReader(kReaderA);
    AddWatchedReader(kReaderB);
    sim::SetStartedByScm(true);

    // What the log holds at the moment the service reports stopped.
    std::vector<std::string> atStopped;
    std::size_t callbacksAtStopped = 1;
    sim::OnServiceReport([&](const SERVICE_STATUS& s) {
        if (s.dwCurrentState == SERVICE_STOPPED) {
            atStopped = LogEntries();
            callbacksAtStopped = sim::RunningCallbacks();
        }
    });

    // The first burst arrives while the first pass is still inside a driver update.
    sim::HoldDriverUpdates();
    dispatcher_ = std::thread([this] { StartServiceCtrlDispatcherW(table_); });
    sim::WaitForHeldUpdates(1);
    std::size_t passes = 1;
    for (unsigned burst = 0; burst < kBurstsBeforeStop; ++burst) {
        if (burst > 0)
            sim::HoldDriverUpdates();
        std::vector<unsigned> events = PostBurst();
        // Every pass of the burst is inside the platform at the same time.
        sim::WaitForHeldUpdates(burst == 0 ? 1 + kPassesPerBurst : kPassesPerBurst);
        sim::ReleaseDriverUpdates();
        for (unsigned event : events)
            sim::WaitForDeviceEvent(event);
        passes += kPassesPerBurst;
    }
    ASSERT_TRUE(sim::WaitForServiceReport(SERVICE_RUNNING, SERVICE_ACCEPT_STOP));

    // The stop comes while a burst's passes are held in their first update; the service must
    // wait for them, and the bursts that follow reach no callback.
    sim::HoldDriverUpdates();
    std::vector<unsigned> inFlight = PostBurst();
    sim::WaitForHeldUpdates(kPassesPerBurst);
    passes += kPassesPerBurst;
    stopSent_ = true;
    stopper_ = std::thread([] { sim::SendServiceControl(SERVICE_CONTROL_STOP); });
    sim::WaitForWaitingUnregistrations(1);
    std::vector<unsigned> late;
    for (unsigned burst = kBurstsBeforeStop + 1; burst < kBursts; ++burst) {
        std::vector<unsigned> events = PostBurst();
        late.insert(late.end(), events.begin(), events.end());
    }
    for (unsigned event : late)
        sim::WaitForDeviceEvent(event);
    EXPECT_EQ(sim::RunningCallbacks(), kPassesPerBurst);
    EXPECT_FALSE(sim::LatestServiceReport()->dwCurrentState == SERVICE_STOPPED);
    sim::ReleaseDriverUpdates();
    stopper_.join();
    sim::JoinServiceProcesses();
    dispatcher_.join();
    sim::WaitForDeviceEvents();

    const std::vector<std::string> entries = LogEntries();
    EXPECT_EQ(callbacksAtStopped, 0u);
    EXPECT_EQ(atStopped, entries);
    EXPECT_EQ(sim::JournalOf("UpdateDriverForPlugAndPlayDevicesW").size(), passes * kReaders);
    EXPECT_EQ(sim::DriverInstalls(1) + sim::DriverInstalls(2), passes * kReaders);
    // Only the service's own messages, each as often as its passes wrote it: nothing torn.
    const std::pair<std::string, std::size_t> counts[] = {
        {"Notification detection with 0x0000000000005000", 1},
        {"Device detected!", passes - 1},
        {kPathLine, passes},
        {"2 devices that need CCID driver fixing found.", passes},
        {"Applying CCID driver fix.", passes},
        {"Done!", passes},
        {"Stopping", 1}};
    std::size_t total = 0;
    for (const auto& [line, count] : counts) {
        EXPECT_EQ(CountOf(entries, line), count) << line;
        total += count;
    }
    EXPECT_EQ(entries.size(), total);
    std::vector<std::string> lines = {"", std::string(59, '='), "", "Logging Started", ""};
    lines.insert(lines.end(), entries.begin(), entries.end());
    EXPECT_EQ(LogLines(), lines);
    EXPECT_EQ(sim::LatestServiceReport()->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

} // namespace
