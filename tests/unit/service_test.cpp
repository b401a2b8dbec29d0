#include "entry/entry.h"
#include "platform/sim/service_process.h"
#include "repair_fixture.h"
#include "service/service_main.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>

static bool operator==(const SERVICE_STATUS& a, const SERVICE_STATUS& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

static std::ostream& operator<<(std::ostream& out, const SERVICE_STATUS& s) {
    return out << "{type " << s.dwServiceType << ", state " << s.dwCurrentState << ", accepts "
               << s.dwControlsAccepted << ", exit " << s.dwWin32ExitCode << "/"
               << s.dwServiceSpecificExitCode << ", cp " << s.dwCheckPoint << ", hint "
               << s.dwWaitHint << "}";
}

namespace {

// The whole records the manager may see from this service.
SERVICE_STATUS Report(DWORD state, DWORD accepted, DWORD checkPoint, DWORD waitHint = 0,
                      DWORD exitCode = NO_ERROR) {
    return {SERVICE_WIN32_OWN_PROCESS, state, accepted, exitCode, 0, checkPoint, waitHint};
}
const SERVICE_STATUS kStartPending = Report(SERVICE_START_PENDING, 0, 1, 3000);
// Running while the first pass runs: the manager's start lock is free, no stop is taken yet.
const SERVICE_STATUS kPassing = Report(SERVICE_RUNNING, 0, 0);
const SERVICE_STATUS kRunning = Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0);
const SERVICE_STATUS kStopPending2 = Report(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 2);
const SERVICE_STATUS kStopPending3 = Report(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 3);
const SERVICE_STATUS kStopped = Report(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0);
const std::vector<SERVICE_STATUS> kNormalLife = {kStartPending, kPassing,      kRunning,
                                                 kStopPending2, kStopPending3, kStopped};
// The service main records stopped before the handler's second stop report, which is then
// not made: one stopped report only.
const std::vector<SERVICE_STATUS> kMainStopsFirst = {kStartPending, kPassing, kRunning,
                                                     kStopPending2, kStopped};
const std::string kNoPackage = "Failed to get inf path location.";
const std::string kRegistered = "Notification detection with 0x0000000000005000";
const std::string kInf = "CCID Inf path = " + kInfPathText;
const std::string kOneReader = "1 devices that need CCID driver fixing found.";
const std::string kApplying = "Applying CCID driver fix.";
const WString kReaderAInstance = WSTR("USB\\VID_F0C1&PID_1234\\5&1A&0&1");
// A reader repaired by the first pass and again on its arrival, then the given entries.
std::vector<std::string> TwoPassesThen(const std::vector<std::string>& tail) {
    std::vector<std::string> log = {kRegistered,        kInf, kOneReader, kApplying, "Done!",
                                    "Device detected!", kInf, kOneReader, kApplying};
    log.insert(log.end(), tail.begin(), tail.end());
    return log;
}

// Space-separated names as a list, so that a long call sequence reads in a few lines.
std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// The calls that make up the life of the service; the first repair pass shows as its first
// call, GetSystemDirectoryW.
std::vector<std::string> ServiceOps() {
    static const std::vector<std::string> kOps = Words(
        "RegisterServiceCtrlHandlerExW SetServiceStatus CreateEventW RegNotifyChangeKeyValue "
        "RegQueryValueExW CM_Register_Notification GetSystemDirectoryW WaitForMultipleObjects "
        "SetEvent RegCloseKey CM_Unregister_Notification");
    std::vector<std::string> ops;
    for (const std::string& op : sim::JournalOps()) {
        if (std::find(kOps.begin(), kOps.end(), op) != kOps.end())
            ops.push_back(op);
    }
    return ops;
}

class ServiceTest : public RepairTest {
  protected:
    void SetUp() override {
        RepairTest::SetUp();
        sim::SetStartedByScm(true);
    }
    void TearDown() override {
        if (dispatcher_.joinable()) {
            sim::ReleaseWakeUps();
            sim::ReleaseSetEvent();
            sim::ReleaseStatusReports();
            sim::ReleaseDriverUpdates();
            if (sim::ServiceDispatcherRunning())
                sim::SendServiceControl(SERVICE_CONTROL_STOP);
            JoinDispatcher();
        }
        RepairTest::TearDown();
    }
    // The dispatcher on a thread of its own, given the table that the entry builds.
    void StartDispatcher() {
        dispatcher_ = std::thread([this] { dispatched_ = StartServiceCtrlDispatcherW(table_); });
    }
    // False when the service never reports running; otherwise its main is waiting for a stop.
    bool StartAndAwaitStop() {
        StartDispatcher();
        return sim::WaitForServiceReport(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    }
    BOOL JoinDispatcher() {
        sim::JoinServiceProcesses();
        dispatcher_.join();
        return dispatched_;
    }
    // A normal stop with the service main slow to wake: reports 4 and 5 both come first.
    void StopWhileMainSleeps() {
        sim::HoldWakeUps();
        EXPECT_EQ(sim::SendServiceControl(SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
        sim::ReleaseWakeUps();
    }

    std::thread dispatcher_;
    BOOL dispatched_ = FALSE;
    WCHAR name_[15] = WSTR("RUVERODAzaroda");
    SERVICE_TABLE_ENTRYW table_[2] = {{name_, RunService}, {nullptr, nullptr}};
};

struct LifeCase {
    const char* name;
    const char* failOp;
    DWORD failCode;
    bool runs;
    std::vector<SERVICE_STATUS> reports;
    std::vector<std::string> log;
    std::vector<std::string> ops;
};

void PrintTo(const LifeCase& c, std::ostream* out) {
    *out << c.name;
}

class ServiceLife : public ServiceTest, public ::testing::WithParamInterface<LifeCase> {};

TEST_P(ServiceLife, ReportsLogsAndCalls) {
    const LifeCase& c = GetParam();
    StartLikeService();
    if (c.failOp != nullptr)
        sim::FailNext(c.failOp, c.failCode);
    if (c.runs) {
        ASSERT_TRUE(StartAndAwaitStop());
        StopWhileMainSleeps();
    } else {
        StartDispatcher();
    }
    EXPECT_EQ(JoinDispatcher(), TRUE);
    EXPECT_EQ(sim::ServiceReports(), c.reports);
    EXPECT_EQ(LogEntries(), c.log);
    EXPECT_EQ(ServiceOps(), c.ops);
    if (!c.runs)
        return;
    // The handler's second stop report came before the main's stopped report.
    EXPECT_EQ(CheckPointCounter, 4u);
    // The arguments Windows expects, whatever else went wrong on the way.
    EXPECT_EQ(sim::JournalOf("RegisterServiceCtrlHandlerExW"),
              std::vector<std::string>{
                  R"(RegisterServiceCtrlHandlerExW("RUVERODAzaroda", handler, NULL))"});
    EXPECT_EQ(sim::JournalOf("CreateEventW"),
              std::vector<std::string>(2, "CreateEventW(NULL, TRUE, FALSE, NULL)"));
    // The event created is the one waited on and set; every report goes through the handle
    // that the registration gave.
    const std::vector<std::string> waits = sim::JournalOf("WaitForMultipleObjects");
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0].rfind("WaitForMultipleObjects(2, [" + HandleText(StopEvent) + ", ", 0), 0u);
    EXPECT_EQ(sim::JournalOf("SetEvent"),
              std::vector<std::string>{"SetEvent(" + HandleText(StopEvent) + ")"});
    EXPECT_TRUE(sim::EventSignalled(StopEvent));
    for (const std::string& line : sim::JournalOf("SetServiceStatus"))
        EXPECT_EQ(line.rfind("SetServiceStatus(" + HandleText(ServiceStatusHandle) + ", {", 0), 0u);
}

const std::vector<std::string> kLifeOps =
    Words("RegisterServiceCtrlHandlerExW SetServiceStatus CreateEventW CreateEventW RegCloseKey "
          "RegNotifyChangeKeyValue RegNotifyChangeKeyValue CM_Register_Notification "
          "SetServiceStatus GetSystemDirectoryW SetServiceStatus WaitForMultipleObjects "
          "SetServiceStatus SetEvent SetServiceStatus RegCloseKey RegCloseKey "
          "CM_Unregister_Notification SetServiceStatus");
const std::vector<std::string> kNormalLog = {kRegistered, kNoPackage, "Stopping"};
std::vector<std::string> Without(std::vector<std::string> ops, const std::string& op) {
    ops.erase(std::find(ops.begin(), ops.end(), op));
    return ops;
}

LifeCase Life(const char* name, const char* failOp, DWORD failCode, bool runs,
              std::vector<SERVICE_STATUS> reports, std::vector<std::string> log,
              std::vector<std::string> ops) {
    return {name, failOp, failCode, runs, reports, log, ops};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServiceLife,
    ::testing::Values(
        Life("NormalLife", nullptr, 0, true, kNormalLife, kNormalLog, kLifeOps),
        // A report that does not arrive changes nothing else.
        Life("StartPendingReportFails", "SetServiceStatus", ERROR_INVALID_DATA, true,
             {kPassing, kRunning, kStopPending2, kStopPending3, kStopped}, kNormalLog, kLifeOps),
        Life("StopEventCannotBeCreated", "CreateEventW", ERROR_NOT_ENOUGH_MEMORY, false,
             {kStartPending,
              Report(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, ERROR_NOT_ENOUGH_MEMORY)},
             {},
             Words("RegisterServiceCtrlHandlerExW SetServiceStatus CreateEventW SetServiceStatus")),
        Life("HandlerCannotBeRegistered", "RegisterServiceCtrlHandlerExW", ERROR_SERVICE_NOT_IN_EXE,
             false, {}, {}, {"RegisterServiceCtrlHandlerExW"}),
        Life("DeviceNotificationsUnavailable", "CM_Register_Notification", CR_OUT_OF_MEMORY, true,
             kNormalLife, {"Failed to register device detection. Error: 2", kNoPackage, "Stopping"},
             Without(kLifeOps, "CM_Unregister_Notification"))),
    [](const auto& info) { return std::string(info.param.name); });

// The strings as one REG_MULTI_SZ value: each ended, then the list.
WString List(const std::vector<WString>& strings) {
    WString value;
    for (const WString& s : strings)
        value += s + WString(1, 0);
    return value + WString(1, 0);
}
std::string Taken(const std::vector<WString>& descriptions) {
    std::string line = "Reader descriptions = ";
    for (const WString& s : descriptions)
        line += (line.back() == ' ' ? "\"" : ", \"") + Utf16ToUtf8(s) + "\"";
    return line;
}
// The value as the policy writes it, or of another type; with stray bytes after it.
std::function<void()> Set(const WString& value, DWORD type = REG_MULTI_SZ, std::size_t stray = 0) {
    return [=] {
        std::vector<std::uint8_t> bytes = sim::WideBytes(value);
        bytes.resize(bytes.size() + stray, 'x');
        sim::SetRegValue(kReadersKey, WSTR("Descriptions"), type, bytes);
    };
}
const std::vector<WString> kLongest(16, WString(255, u'\u00E9'));
const WString kFr = List({kFrenchUmdf2});
const std::string kFrLine = Taken({kFrenchUmdf2}), kIgnored = "Reader descriptions ignored: ";
const std::string kRemoved = "Reader descriptions removed.";
const auto kNothing = [] {};
const auto kSettle = [] { sim::SettleServiceProcess(); };

// The registry at the start (beside the empty key that install leaves), what happens while the
// service starts and while it runs, and the whole log up to "Stopping".
struct FollowCase {
    const char* name;
    std::function<void()> before, change;
    std::vector<std::string> log;
    std::size_t registrations = 2; // of RegNotifyChangeKeyValue, two a watch
    std::function<void()> whileStarting = kNothing;
};
void PrintTo(const FollowCase& c, std::ostream* out) {
    *out << c.name;
}
FollowCase AtStart(const char* name, std::function<void()> before, const std::string& line) {
    return {name, std::move(before), kNothing, {line, kRegistered, kNoPackage}};
}

class ReaderDescriptionsFollowed : public ServiceTest,
                                   public ::testing::WithParamInterface<FollowCase> {};

TEST_P(ReaderDescriptionsFollowed, LogsEachNewReadingAndPassesForNewDescriptions) {
    const FollowCase& c = GetParam();
    std::size_t watchAtStop = 99;
    sim::OnServiceReport([&](const SERVICE_STATUS& s) {
        if (s.dwCurrentState == SERVICE_STOPPED)
            watchAtStop = sim::PendingRegNotifications() + sim::OpenRegKeys();
    });
    StartLikeService();
    sim::CreateRegKey(kReadersKey);
    c.before();
    StartDispatcher();
    c.whileStarting();
    ASSERT_TRUE(sim::WaitForServiceReport(SERVICE_RUNNING, SERVICE_ACCEPT_STOP));
    c.change();
    sim::SettleServiceProcess();
    if (sim::LatestServiceReport()->dwCurrentState == SERVICE_RUNNING)
        StopWhileMainSleeps();
    JoinDispatcher();
    std::vector<std::string> log = c.log;
    log.push_back("Stopping");
    EXPECT_EQ(LogEntries(), log);
    EXPECT_EQ(sim::JournalOf("RegNotifyChangeKeyValue").size(), c.registrations);
    EXPECT_EQ(watchAtStop, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReaderDescriptionsFollowed,
    ::testing::Values(
        AtStart("TwoDescriptions", Set(List({kFrenchUmdf2, kGermanUmdf2})),
                Taken({kFrenchUmdf2, kGermanUmdf2})),
        AtStart("SixteenOf255", Set(List(kLongest)), Taken(kLongest)),
        AtStart("WrongType", Set(kFrenchUmdf2 + WString(1, 0), REG_SZ),
                kIgnored + "the value is of type 1, not REG_MULTI_SZ."),
        AtStart("Unterminated", Set(kFrenchUmdf2), kIgnored + "the value is not terminated."),
        AtStart("LastStringEndedListNot", Set(kFrenchUmdf2 + WString(1, 0)),
                kIgnored + "the value is not terminated."),
        AtStart("SeventeenStrings", Set(List(std::vector<WString>(17, WSTR("R")))),
                kIgnored + "more than 16 descriptions."),
        AtStart("StringOf256", Set(List({kFrenchUmdf2, WString(256, u'x')})),
                kIgnored + "a description is longer than 255 characters."),
        AtStart("EmptyString", Set(List({kFrenchUmdf2, WString(), kGermanUmdf2})),
                kIgnored + "a description is empty."),
        AtStart("NoString", Set(List({})), kIgnored + "the value holds no description."),
        // One character more than the largest list that can be taken.
        AtStart("LargerThanTheBuffer", Set(List({WString(16 * 256, u'x')})),
                kIgnored + "the value cannot be read. Error: 234"),
        FollowCase{"KeyWithoutValue", kNothing, kNothing, {kRegistered, kNoPackage}},
        FollowCase{"Set", kNothing, Set(kFr), {kRegistered, kNoPackage, kFrLine, kNoPackage}, 4},
        FollowCase{"Changed", Set(kFr), Set(List({kGermanUmdf2})),
                   {kFrLine, kRegistered, kNoPackage, Taken({kGermanUmdf2}), kNoPackage}, 4},
        FollowCase{"Unchanged", Set(kFr), Set(kFr), {kFrLine, kRegistered, kNoPackage}, 4},
        FollowCase{"UnrelatedChanges", Set(kFr),
                   [] {
                       sim::SetRegDword(WSTR("SOFTWARE\\Contoso"), WSTR("Enabled"), 1);
                       sim::CreateRegKey(WSTR("SOFTWARE\\Corvane\\Tessarine\\Other"));
                   },
                   {kFrLine, kRegistered, kNoPackage}},
        FollowCase{"Deleted", Set(kFr),
                   [] { sim::DeleteRegValue(kReadersKey, WSTR("Descriptions")); },
                   {kFrLine, kRegistered, kNoPackage, kRemoved}, 4},
        FollowCase{"ListAndAStrayByte", Set(kFr), Set(kFr, REG_MULTI_SZ, 1),
                   {kFrLine, kRegistered, kNoPackage, kIgnored + "the value is not terminated."}, 4},
        FollowCase{"ReadFails", Set(kFr),
                   [] { sim::FailNext("RegQueryValueExW", 5), Set(kFr)(); },
                   {kFrLine, kRegistered, kNoPackage, kIgnored + "the value cannot be read. Error: 5"},
                   4},
        // The key and those above it gone, then back one after the other: the watch moves from
        // KVR's parent to SOFTWARE, and down again to the value's key.
        FollowCase{"KeysDeletedAndMadeAgain", Set(kFr),
                   [] {
                       sim::DeleteRegTree(WSTR("SOFTWARE\\Corvane")), kSettle();
                       sim::CreateRegKey(WSTR("SOFTWARE\\Corvane\\Tessarine\\KVR")), kSettle();
                       sim::CreateRegKey(kReadersKey), kSettle(), Set(kFr)();
                   },
                   {kFrLine, kRegistered, kNoPackage, kRemoved, kFrLine, kNoPackage}, 9},
        // A change while the first pass installs is taken by a pass after it.
        FollowCase{"ChangeDuringAPass",
                   [] {
                       StagePackage(), AddWatchedReader(kReaderA);
                       AddWatchedReader(kReaderB, kFrenchUmdf2), sim::HoldDriverUpdates();
                   },
                   kNothing,
                   {kRegistered, kInf, kOneReader, kApplying, "Done!", kFrLine, kInf, kOneReader,
                    kApplying, "Done!"},
                   4,
                   [] { sim::WaitForHeldUpdates(1), Set(kFr)(), sim::ReleaseDriverUpdates(); }},
        // A stop that finds a change pending takes precedence.
        FollowCase{"StopWithAChangePending", kNothing,
                   [] {
                       sim::HoldWakeUps(), Set(kFr)();
                       sim::SendServiceControl(SERVICE_CONTROL_STOP), sim::ReleaseWakeUps();
                   },
                   {kRegistered, kNoPackage}}),
    [](const auto& info) { return std::string(info.param.name); });

// Interrogate, and every control other than stop, leaves the service and its record alone.
TEST_F(ServiceTest, ControlsOtherThanStopAnswerZeroAndReportNothing) {
    const DWORD controls[] = {SERVICE_CONTROL_INTERROGATE,
                              SERVICE_CONTROL_PAUSE,
                              SERVICE_CONTROL_CONTINUE,
                              SERVICE_CONTROL_SHUTDOWN,
                              0,
                              0x80,
                              0xFF,
                              0xFFFFFFFFu};
    ASSERT_TRUE(StartAndAwaitStop());
    const SERVICE_STATUS record = ServiceStatus;
    const std::size_t calls = sim::Journal().size();
    for (DWORD control : controls) {
        EXPECT_EQ(sim::SendServiceControl(control), static_cast<DWORD>(NO_ERROR)) << control;
        EXPECT_EQ(ServiceStatus, record) << control;
        EXPECT_EQ(CheckPointCounter, 2u) << control;
        EXPECT_EQ(sim::Journal().size(), calls) << control;
        EXPECT_FALSE(sim::EventSignalled(StopEvent)) << control;
    }
    EXPECT_EQ(sim::ServiceReports(),
              (std::vector<SERVICE_STATUS>{kStartPending, kPassing, kRunning}));
    StopWhileMainSleeps();
    JoinDispatcher();
}

// Once the service main has reported stopped, the handler sends nothing more.
TEST_F(ServiceTest, NothingFollowsTheStoppedReport) {
    ASSERT_TRUE(StartAndAwaitStop());
    sim::HoldSetEvent();
    std::thread manager([] { sim::SendServiceControl(SERVICE_CONTROL_STOP); });
    sim::WaitForHeldSetEvents(1);
    ASSERT_TRUE(sim::WaitForServiceReport(SERVICE_STOPPED));
    sim::ReleaseSetEvent();
    manager.join();
    EXPECT_EQ(JoinDispatcher(), TRUE);
    EXPECT_EQ(sim::ServiceReports(), kMainStopsFirst);
    EXPECT_EQ(CheckPointCounter, 3u);
}

// The handler's second stop report, filled, is held before the manager takes it: the service
// main, awake, must not get its stopped report out meanwhile.
TEST_F(ServiceTest, HandlersSecondReportArrivesBeforeTheStoppedReport) {
    ASSERT_TRUE(StartAndAwaitStop());
    sim::HoldWakeUps();
    sim::HoldSetEvent();
    std::thread manager([] { sim::SendServiceControl(SERVICE_CONTROL_STOP); });
    sim::WaitForHeldSetEvents(1);
    sim::HoldStatusReports();
    sim::ReleaseSetEvent();
    sim::WaitForHeldStatusReports(1);
    sim::ReleaseWakeUps();
    sim::SettleServiceProcess();
    EXPECT_EQ(sim::HeldStatusReports(), 1u);
    EXPECT_EQ(*sim::LatestServiceReport(), kStopPending2);
    sim::ReleaseStatusReports();
    manager.join();
    EXPECT_EQ(JoinDispatcher(), TRUE);
    EXPECT_EQ(sim::ServiceReports(), kNormalLife);
}

// Nothing holds the two reports apart here; run under ThreadSanitizer this also shows that
// the record is never written by both threads at once.
TEST_F(ServiceTest, ConcurrentStopReportsArriveWhole) {
    int mainWon = 0;
    for (int run = 0; run < 200; ++run) {
        SetUp();
        ASSERT_TRUE(StartAndAwaitStop());
        ASSERT_EQ(sim::SendServiceControl(SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
        ASSERT_EQ(JoinDispatcher(), TRUE);
        const bool mainFirst = sim::ServiceReports() == kMainStopsFirst;
        mainWon += mainFirst;
        ASSERT_EQ(sim::ServiceReports(), mainFirst ? kMainStopsFirst : kNormalLife)
            << "run " << run;
        ASSERT_EQ(CheckPointCounter, mainFirst ? 3u : 4u) << "run " << run;
    }
    RecordProperty("MainThreadWon", mainWon);
}

// A reader arrives and its pass is still installing when the stop comes: the service ends
// the notifications, which waits for the pass, and only then reports stopped.
TEST_F(ServiceTest, PassInProgressFinishesBeforeTheStoppedReport) {
    StartLikeService();
    StagePackage();
    const DWORD reader = AddWatchedReader(kReaderA);
    std::size_t callbacksAtStop = 99;
    std::vector<std::string> logAtStop;
    sim::OnServiceReport([&](const SERVICE_STATUS& s) {
        if (s.dwCurrentState == SERVICE_STOPPED && logAtStop.empty()) {
            callbacksAtStop = sim::RunningCallbacks();
            logAtStop = LogEntries();
        }
    });
    StartDispatcher();
    ASSERT_TRUE(sim::WaitForServiceReport(SERVICE_RUNNING, SERVICE_ACCEPT_STOP));
    EXPECT_EQ(sim::DriverInstalls(reader), 1u);
    sim::RevertDriverUpdates();
    sim::HoldDriverUpdates();
    sim::PostDeviceInstanceEvent(CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED, kReaderAInstance);
    sim::WaitForHeldUpdates(1);

    EXPECT_EQ(sim::SendServiceControl(SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
    sim::WaitForWaitingUnregistrations(1);
    EXPECT_NE(sim::LatestServiceReport()->dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(LogEntries().back(), "Stopping");
    sim::ReleaseDriverUpdates();
    EXPECT_EQ(JoinDispatcher(), TRUE);

    EXPECT_EQ(callbacksAtStop, 0u);
    const std::vector<std::string> expected = TwoPassesThen({"Stopping", "Done!"});
    EXPECT_EQ(logAtStop, expected);
    EXPECT_EQ(LogEntries(), expected);
    EXPECT_EQ(sim::DriverInstalls(reader), 2u);
    EXPECT_EQ(sim::ActiveRegistrations(), 0u);
}

// The executable as the manager starts it: no arguments, the dispatcher, the service, which
// reads the added descriptions before its first pass.
TEST_F(ServiceTest, WholeServiceRunFromTheProcessEntry) {
    sim::SetRegDword(kLogKey, WSTR("Enabled"), 1);
    Set(kFr)();
    StagePackage();
    const DWORD reader = AddWatchedReader(kReaderA, kFrenchUmdf2);
    WString program = WSTR("C:\\RUVERODAzaroda\\ruverodazaroda.exe");
    WCHAR* argv[] = {program.data(), nullptr};
    int status = -99;
    std::thread process([&] { status = EntryMain(1, argv); });

    ASSERT_TRUE(sim::WaitForServiceReport(SERVICE_RUNNING, SERVICE_ACCEPT_STOP));
    EXPECT_EQ(sim::DriverInstalls(reader), 1u);
    sim::RevertDriverUpdates();
    sim::WaitForDeviceEvent(
        sim::PostDeviceInstanceEvent(CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED, kReaderAInstance));
    EXPECT_EQ(sim::DriverInstalls(reader), 2u);
    EXPECT_EQ(sim::SendServiceControl(SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
    sim::JoinServiceProcesses();
    process.join();

    EXPECT_EQ(status, 0);
    std::vector<std::string> log = TwoPassesThen({"Done!", "Stopping"});
    log.insert(log.begin(), kFrLine);
    EXPECT_EQ(LogEntries(), log);
    const std::vector<std::string> lines = LogLines();
    ASSERT_GT(lines.size(), 4u);
    EXPECT_EQ(lines[3], "Logging Started");
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
              (std::vector<std::string>{"Stopping", "Logging Stopped", "", std::string(72, '=')}));
    const std::vector<SERVICE_STATUS> reports = sim::ServiceReports();
    EXPECT_TRUE(reports == kNormalLife || reports == kMainStopsFirst)
        << ::testing::PrintToString(reports);
    EXPECT_FALSE(sim::ServiceDispatcherRunning());
    EXPECT_EQ(sim::ActiveRegistrations(), 0u);
}

} // namespace
