#include "repair_fixture.h"

#include <cstring>

#include <ostream>

namespace {

const std::string kRegisterCall = "CM_Register_Notification({cbSize=416, Flags=0x00000002, "
                                  "FilterType=2, Reserved=0, u=zero}, NULL, callback, &notify)";
const std::string kRegisteredLine = "Notification detection with 0x0000000000005000";
const std::string kPathLine = "CCID Inf path = " + kInfPathText;

const CM_NOTIFY_ACTION kEnumerated = CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED;
const WString kWatchedInstance = WSTR("USB\\VID_F0C1&PID_1234\\5&1A2B3C4D&0&2");

// What one repair pass over the single watched reader of these tests logs.
const std::vector<std::string> kPassLines = {kPathLine,
                                             "1 devices that need CCID driver fixing found.",
                                             "Applying CCID driver fix.", "Done!"};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::uintptr_t HandleValue() {
    return reinterpret_cast<std::uintptr_t>(NotificationHandle);
}

class DeviceDetection : public RepairTest {
  protected:
    // A running service: the package staged, one watched reader on the UMDF2 driver.
    void StartWithReader() {
        StartLikeService();
        StagePackage();
        AddWatchedReader(WSTR("USB\\VID_F0C1&PID_1234&REV_0100"));
    }
    // With every notice that follows it, such as the start after a driver installation.
    void Deliver(CM_NOTIFY_ACTION action, const WString& instanceId) {
        sim::PostDeviceInstanceEvent(action, instanceId);
        sim::WaitForDeviceEvents();
    }
};

TEST_F(DeviceDetection, RegistersForEveryDeviceInstance) {
    StartLikeService();
    RegisterDeviceDetection();
    EXPECT_EQ(PlatformCalls(), (std::vector<std::string>{kRegisterCall}));
    EXPECT_EQ(LogEntries(), (std::vector<std::string>{kRegisteredLine}));
    EXPECT_EQ(HandleValue(), 0x5000u);
    EXPECT_EQ(sim::ActiveRegistrations(), 1u);
}

struct HandleCase {
    std::uint64_t value;
    const char* line;
};

// Test names in ctest show the case, not its bytes.
void PrintTo(const HandleCase& c, std::ostream* out) {
    *out << c.line;
}

class DeviceDetectionHandle : public DeviceDetection,
                              public ::testing::WithParamInterface<HandleCase> {};

TEST_P(DeviceDetectionHandle, HandleIsLoggedWithSixteenDigits) {
    StartLikeService();
    sim::SetNextNotificationHandle(GetParam().value);
    RegisterDeviceDetection();
    EXPECT_EQ(LogEntries(), (std::vector<std::string>{GetParam().line}));
    EXPECT_EQ(HandleValue(), GetParam().value);
    UnregisterDeviceDetection();
    EXPECT_EQ(sim::JournalOf("CM_Unregister_Notification"),
              (std::vector<std::string>{"CM_Unregister_Notification(" +
                                        std::string(GetParam().line).substr(28) + ")"}));
}

INSTANTIATE_TEST_SUITE_P(
    Handles, DeviceDetectionHandle,
    ::testing::Values(
        HandleCase{0x1, "Notification detection with 0x0000000000000001"},
        HandleCase{0xFFFFFFFFu, "Notification detection with 0x00000000FFFFFFFF"},
        HandleCase{0x100000000u, "Notification detection with 0x0000000100000000"},
        HandleCase{0x0000ABCDEF012345u, "Notification detection with 0x0000ABCDEF012345"},
        HandleCase{0xFEDCBA9876543210u, "Notification detection with 0xFEDCBA9876543210"}),
    [](const auto& info) { return std::string(info.param.line).substr(30); });

struct FailureCase {
    CONFIGRET code;
    const char* line;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.line;
}

class DeviceDetectionFailure : public DeviceDetection,
                               public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DeviceDetectionFailure, FailedRegistrationIsLoggedInDecimalAndNotUndone) {
    StartWithReader();
    sim::FailNext("CM_Register_Notification", GetParam().code);
    RegisterDeviceDetection();
    EXPECT_EQ(LogEntries(), (std::vector<std::string>{GetParam().line}));
    EXPECT_EQ(NotificationHandle, nullptr);
    EXPECT_EQ(sim::ActiveRegistrations(), 0u);
    Deliver(kEnumerated, kWatchedInstance);
    UnregisterDeviceDetection();
    EXPECT_EQ(PlatformCalls(), (std::vector<std::string>{kRegisterCall}));
    EXPECT_EQ(LogEntries(), (std::vector<std::string>{GetParam().line}));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, DeviceDetectionFailure,
    ::testing::Values(
        FailureCase{CR_OUT_OF_MEMORY, "Failed to register device detection. Error: 2"},
        FailureCase{CR_FAILURE, "Failed to register device detection. Error: 19"},
        FailureCase{CR_ACCESS_DENIED, "Failed to register device detection. Error: 51"},
        FailureCase{0xFFFFFFFFu, "Failed to register device detection. Error: 4294967295"}),
    [](const auto& info) { return std::string(info.param.line).substr(44); });

const CM_NOTIFY_ACTION kStarted = CM_NOTIFY_ACTION_DEVICEINSTANCESTARTED;
// Not a notice: Windows installs the inbox driver on the reader, which had none until then.
const CM_NOTIFY_ACTION kBind = static_cast<CM_NOTIFY_ACTION>(0xB1AD);
// Not a notice either: the notifications end and are registered again, as by a new service.
const CM_NOTIFY_ACTION kRegisterAgain = static_cast<CM_NOTIFY_ACTION>(0xA6A1);

struct EventCase {
    const char* name;
    CM_NOTIFY_ACTION action;
    WString instanceId;
    bool detected;
    // Delivered first, each to its end, logging these lines.
    std::vector<std::pair<CM_NOTIFY_ACTION, WString>> before = {};
    std::vector<std::string> beforeLines = {};
};

void PrintTo(const EventCase& c, std::ostream* out) {
    *out << c.name;
}

class DeviceDetectionEvent : public DeviceDetection,
                             public ::testing::WithParamInterface<EventCase> {};

TEST_P(DeviceDetectionEvent, OnlyEnumeratedWatchedInstancesAndTheirFirstStartRunAPass) {
    const EventCase& c = GetParam();
    StartLikeService();
    StagePackage();
    const WString hardwareId = WSTR("USB\\VID_F0C1&PID_1234&REV_0100");
    DWORD reader = c.before.size() > 1 && c.before[1].first == kBind
                       ? sim::AddUnboundReader(c.before[0].second,
                                               {hardwareId, WSTR("USB\\VID_F0C1&PID_1234")})
                       : AddWatchedReader(hardwareId);
    RegisterDeviceDetection();
    for (const auto& [action, instanceId] : c.before) {
        if (action == kBind)
            sim::BindDriver(reader, kUmdf2);
        else if (action == kRegisterAgain)
            UnregisterDeviceDetection(), RegisterDeviceDetection();
        else
            Deliver(action, instanceId);
    }
    sim::ClearJournal();
    Deliver(c.action, c.instanceId);
    const std::vector<std::string> lines = Concat({kRegisteredLine}, c.beforeLines);
    if (c.detected) {
        EXPECT_EQ(LogEntries(), Concat(Concat(lines, {"Device detected!"}), kPassLines));
        EXPECT_EQ(sim::JournalOf("UpdateDriverForPlugAndPlayDevicesW").size(), 1u);
    } else {
        EXPECT_EQ(LogEntries(), lines);
        EXPECT_TRUE(sim::JournalOf("GetSystemDirectoryW").empty());
    }
}

const WString kOtherVendorInstance = WSTR("USB\\VID_F0C5&PID_1234\\5&1A2B3C4D&0&2");

// Actions beyond the named ones arrive as plain 32-bit values.
CM_NOTIFY_ACTION Action(std::uint32_t value) {
    return static_cast<CM_NOTIFY_ACTION>(value);
}

const std::vector<std::string> kDetectedPass = Concat({"Device detected!"}, kPassLines);

std::vector<std::string> NothingFound(const std::string& trigger) {
    return {trigger, kPathLine, "0 devices that need CCID driver fixing found."};
}

// 65 watched instances announced, and the second started: the first was dropped to keep 64.
EventCase Flood() {
    EventCase flood{"StartOfTheSixtyFifthLastAnnounced", kStarted, kWatchedInstance + WSTR("0"),
                    false};
    for (int i = 0; i < 65; ++i) {
        flood.before.push_back({kEnumerated, kWatchedInstance + Utf8ToUtf16(std::to_string(i))});
        flood.beforeLines =
            Concat(flood.beforeLines, i == 0 ? kDetectedPass : NothingFound("Device detected!"));
    }
    flood.before.push_back({kStarted, kWatchedInstance + WSTR("1")});
    flood.beforeLines = Concat(flood.beforeLines, NothingFound("Device started!"));
    return flood;
}

// A start of the watched instance after these notices, which logged these lines.
EventCase StartAfter(const char* name, std::vector<std::pair<CM_NOTIFY_ACTION, WString>> before,
                     std::vector<std::string> lines) {
    return {name, kStarted, kWatchedInstance, false, std::move(before), std::move(lines)};
}

const EventCase kEventCases[] = {
    {"EnumeratedWatched", kEnumerated, kWatchedInstance, true},
    {"EnumeratedWatchedLowerCase", kEnumerated, WSTR("usb\\vid_f0c1&pid_1234\\5&1a2b3c4d&0&2"),
     true},
    {"EnumeratedCompositeInterface", kEnumerated,
     WSTR("USB\\VID_F0C4&PID_0042&MI_00\\7&1F2E3D4C&0&0000"), true},
    {"EnumeratedBarePrefix", kEnumerated, WSTR("USB\\VID_F0C3&PID_"), true},
    {"StartedWatched", CM_NOTIFY_ACTION_DEVICEINSTANCESTARTED, kWatchedInstance, false},
    {"RemovedWatched", CM_NOTIFY_ACTION_DEVICEINSTANCEREMOVED, kWatchedInstance, false},
    {"InterfaceArrivalWatched", CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, kWatchedInstance, false},
    {"EnumeratedOtherVendor", kEnumerated, kOtherVendorInstance, false},
    {"StartedOtherVendor", CM_NOTIFY_ACTION_DEVICEINSTANCESTARTED, kOtherVendorInstance, false},
    {"EnumeratedOtherBus", kEnumerated, WSTR("HID\\VID_F0C1&PID_1234\\7&2A&0&0000"), false},
    {"EnumeratedSixteenCharacters", kEnumerated, WSTR("USB\\VID_F0C1&PID"), false},
    {"EnumeratedEmpty", kEnumerated, WSTR(""), false},
    {"ActionOfALaterSystem", Action(238), kWatchedInstance, false},
    {"LargestAction", Action(0xFFFFFFFFu), kWatchedInstance, false},
    {"EnumeratedWithTopBitSet", Action(0x80000007u), kWatchedInstance, false},
    // The repair's own restart of the reader follows its pass, and then a later start.
    StartAfter("FirstPlugBoundAfterTheNotice",
               {{kEnumerated, kWatchedInstance}, {kBind, {}}, {kStarted, kWatchedInstance}},
               Concat(NothingFound("Device detected!"), Concat({"Device started!"}, kPassLines))),
    StartAfter("ReplugOfAKnownReader",
               {{kEnumerated, kWatchedInstance},
                {kStarted, WSTR("usb\\vid_f0c1&pid_1234\\5&1a2b3c4d&0&2")}},
               Concat(kDetectedPass, NothingFound("Device started!"))),
    StartAfter("StartOfAShorterInstance", {{kEnumerated, kWatchedInstance + WSTR("3")}},
               kDetectedPass),
    StartAfter("AnnouncedTwiceStartedTwice",
               {{kEnumerated, kWatchedInstance},
                {kEnumerated, kWatchedInstance},
                {kStarted, kWatchedInstance}},
               Concat(Concat(kDetectedPass, NothingFound("Device detected!")),
                      NothingFound("Device started!"))),
    StartAfter("AnnouncedBeforeRegisteringAgain",
               {{kEnumerated, kWatchedInstance}, {kRegisterAgain, {}}},
               Concat(kDetectedPass, {"Notification detection with 0x0000000000005001"})),
    Flood(),
};

INSTANTIATE_TEST_SUITE_P(Events, DeviceDetectionEvent, ::testing::ValuesIn(kEventCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Event data as the platform lays it out: FilterType, Reserved, then the instance ID.
std::vector<std::uint8_t> EventBytes(const std::vector<std::uint8_t>& id) {
    std::vector<std::uint8_t> bytes(8, 0);
    bytes[0] = CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE;
    bytes.insert(bytes.end(), id.begin(), id.end());
    return bytes;
}

std::vector<std::uint8_t> WithTail(std::vector<std::uint8_t> bytes,
                                   const std::vector<std::uint8_t>& tail) {
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

struct RawCase {
    const char* name;
    std::vector<std::uint8_t> data;
    bool detected;
};

void PrintTo(const RawCase& c, std::ostream* out) {
    *out << c.name;
}

class DeviceDetectionRaw : public DeviceDetection, public ::testing::WithParamInterface<RawCase> {};

// The callback gets exactly these bytes; a read past them would be caught by the sanitizers.
TEST_P(DeviceDetectionRaw, InstanceIdIsReadWithinTheEventData) {
    StartWithReader();
    RegisterDeviceDetection();
    sim::WaitForDeviceEvent(sim::PostRawDeviceEvent(kEnumerated, GetParam().data));
    std::vector<std::string> expected{kRegisteredLine};
    if (GetParam().detected)
        expected = Concat({kRegisteredLine, "Device detected!"}, kPassLines);
    EXPECT_EQ(LogEntries(), expected);
}

// The event data of an instance ID that comes without its terminator.
std::vector<std::uint8_t> Unterminated(const WString& id) {
    return EventBytes(sim::WideBytes(id));
}

const RawCase kRawCases[] = {
    {"Terminated", EventBytes(sim::MultiSz({kWatchedInstance})), true},
    {"UnterminatedUpToTheEnd", Unterminated(kWatchedInstance), true},
    {"UnterminatedBarePrefix", Unterminated(WSTR("USB\\VID_F0C2&PID_")), true},
    {"BarePrefixAndAnOddByte", WithTail(Unterminated(WSTR("USB\\VID_F0C2&PID_")), {0x41}), true},
    {"CutBeforeThePrefixEnds", Unterminated(WSTR("USB\\VID_F0C1&PID")), false},
    {"CutWithAnOddByte", WithTail(Unterminated(WSTR("USB\\VID_F0C1&PID")), {0x5F}), false},
    {"EndsAtTheFirstTerminator", EventBytes(sim::MultiSz({WSTR("USB"), WSTR("VID_F0C1&PID_1234")})),
     false},
    {"OneCharacter", Unterminated(WSTR("U")), false},
    {"HeaderAndOneByte", WithTail(EventBytes({}), {0x55}), false},
    {"HeaderOnly", EventBytes({}), false},
    {"Nothing", {}, false},
};

INSTANTIATE_TEST_SUITE_P(Data, DeviceDetectionRaw, ::testing::ValuesIn(kRawCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeviceDetection, EachEnumeratedInterfaceRunsItsOwnPass) {
    StartWithReader();
    sim::FailAlways("UpdateDriverForPlugAndPlayDevicesW", ERROR_ACCESS_DENIED);
    RegisterDeviceDetection();
    Deliver(kEnumerated, WSTR("USB\\VID_F0C1&PID_1234\\5&1A&0&2"));
    Deliver(kEnumerated, WSTR("USB\\VID_F0C1&PID_1234&MI_00\\6&2B&0&0000"));
    const std::vector<std::string> pass = {
        "Device detected!",
        kPathLine,
        "1 devices that need CCID driver fixing found.",
        "Applying CCID driver fix.",
        "Failed to update driver for device USB\\VID_F0C1&PID_1234&REV_0100. Error: 0x00000005",
        "Done!"};
    EXPECT_EQ(LogEntries(), Concat(Concat({kRegisteredLine}, pass), pass));
}

TEST_F(DeviceDetection, NoCallbackAfterUnregistration) {
    StartWithReader();
    RegisterDeviceDetection();
    UnregisterDeviceDetection();
    EXPECT_EQ(PlatformCalls(),
              (std::vector<std::string>{kRegisterCall,
                                        "CM_Unregister_Notification(0x0000000000005000)"}));
    EXPECT_EQ(sim::ActiveRegistrations(), 0u);
    // The handle keeps its value.
    EXPECT_EQ(HandleValue(), 0x5000u);
    Deliver(kEnumerated, kWatchedInstance);
    EXPECT_EQ(LogEntries(), (std::vector<std::string>{kRegisteredLine}));
}

TEST_F(DeviceDetection, NothingToUnregisterWithoutRegistration) {
    StartLikeService();
    UnregisterDeviceDetection();
    EXPECT_TRUE(sim::Journal().empty());
}

TEST_F(DeviceDetection, UnregistrationWaitsForTheRunningCallback) {
    StartWithReader();
    RegisterDeviceDetection();
    sim::HoldDriverUpdates();
    unsigned running = sim::PostDeviceInstanceEvent(kEnumerated, kWatchedInstance);
    sim::WaitForHeldUpdates(1);

    std::vector<std::string> seenOnReturn;
    std::thread serviceMain([&] {
        UnregisterDeviceDetection();
        seenOnReturn = LogEntries();
    });
    sim::WaitForWaitingUnregistrations(1);
    EXPECT_EQ(sim::RunningCallbacks(), 1u);
    // An event that comes while the unregistration waits reaches no callback.
    sim::WaitForDeviceEvent(
        sim::PostDeviceInstanceEvent(kEnumerated, WSTR("USB\\VID_F0C2&PID_0A0B\\9&9&0&1")));
    EXPECT_EQ(sim::RunningCallbacks(), 1u);

    sim::ReleaseDriverUpdates();
    serviceMain.join();
    sim::WaitForDeviceEvent(running);
    // The pass had ended, "Done!" and all, when the unregistration returned.
    EXPECT_EQ(seenOnReturn, Concat({kRegisteredLine, "Device detected!"}, kPassLines));
    EXPECT_EQ(LogEntries(), seenOnReturn);
    EXPECT_EQ(sim::RunningCallbacks(), 0u);
}

} // namespace
