#include "repair_fixture.h"

#include "repair/repair_pass.h"

#include <algorithm>
#include <thread>

namespace {

long Count(const std::vector<std::string>& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
}

using RepairConcurrency = RepairTest;

// The service's first pass is still installing when a reader arrives on one notification
// thread and two more arrive on others: four passes run at once, each on its own lists.
TEST_F(RepairConcurrency, NotificationPassesOverlapTheFirstPassAndEachOther) {
    StartLikeService();
    StagePackage();
    const WString ids[] = {kReaderA, kReaderB, kReaderC};
    for (const WString& id : ids)
        AddWatchedReader(id);

    RegisterDeviceDetection();
    sim::HoldDriverUpdates();
    std::thread serviceMain(ApplyCcidDriverFix);
    sim::WaitForHeldUpdates(1);
    const unsigned events[] = {
        sim::PostDeviceInstanceEvent(CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED,
                                     WSTR("USB\\VID_F0C1&PID_1234\\5&1A&0&1")),
        sim::PostDeviceInstanceEvent(CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED,
                                     WSTR("USB\\VID_F0C2&PID_0A0B\\5&2B&0&2")),
        sim::PostDeviceInstanceEvent(CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED,
                                     WSTR("usb\\vid_f0c3&pid_7777&mi_01\\6&3c&0&0001")),
    };
    // Every pass has listed all three readers before any of them is repaired.
    sim::WaitForHeldUpdates(4);
    EXPECT_EQ(sim::RunningCallbacks(), 3u);
    EXPECT_EQ(sim::OpenDeviceInfoSets(), 0u);
    sim::ReleaseDriverUpdates();
    serviceMain.join();
    for (unsigned event : events)
        sim::WaitForDeviceEvent(event);
    UnregisterDeviceDetection();

    const std::vector<std::string> log = LogEntries();
    EXPECT_EQ(log.size(), 1u + 3u + 4u * 4u);
    EXPECT_EQ(Count(log, "Device detected!"), 3);
    EXPECT_EQ(Count(log, "CCID Inf path = " + kInfPathText), 4);
    EXPECT_EQ(Count(log, "3 devices that need CCID driver fixing found."), 4);
    EXPECT_EQ(Count(log, "Applying CCID driver fix."), 4);
    EXPECT_EQ(Count(log, "Done!"), 4);
    const std::vector<std::string> updates = sim::JournalOf("UpdateDriverForPlugAndPlayDevicesW");
    EXPECT_EQ(updates.size(), 12u);
    for (const WString& id : ids)
        EXPECT_EQ(Count(updates, UpdateLine(id)), 4);
    EXPECT_EQ(sim::JournalOf("SetupDiGetClassDevsW").size(), 4u);
    EXPECT_EQ(sim::JournalOf("SetupDiDestroyDeviceInfoList").size(), 4u);
    EXPECT_EQ(sim::JournalOf("FindClose").size(), 4u);
}

// Many arrivals at once, none of them held: every pass runs to its end.
TEST_F(RepairConcurrency, ManyNotificationThreadsAtOnce) {
    StartLikeService();
    StagePackage();
    AddWatchedReader(kReaderD);
    RegisterDeviceDetection();
    constexpr int kArrivals = 8;
    for (int i = 0; i < kArrivals; ++i)
        sim::PostDeviceInstanceEvent(CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED,
                                     WSTR("USB\\VID_F0C4&PID_0042\\7&") +
                                         Utf8ToUtf16(std::to_string(i)));
    sim::WaitForDeviceEvents();
    UnregisterDeviceDetection();

    const std::vector<std::string> log = LogEntries();
    EXPECT_EQ(Count(log, "Device detected!"), kArrivals);
    EXPECT_EQ(Count(log, "CCID Inf path = " + kInfPathText), kArrivals);
    // Whichever pass installed first repaired the reader for those that listed it later.
    const long listed = Count(log, "1 devices that need CCID driver fixing found.");
    EXPECT_GE(listed, 1);
    EXPECT_EQ(listed + Count(log, "0 devices that need CCID driver fixing found."), kArrivals);
    EXPECT_EQ(Count(log, "Done!"), listed);
    EXPECT_EQ(static_cast<long>(sim::JournalOf("UpdateDriverForPlugAndPlayDevicesW").size()),
              listed);
}

} // namespace
