#include "command_fixture.h"
#include "commands/service_description.h"

namespace {

const WString kDefaultPath = WSTR("C:\\Program Files\\RUVERODAzaroda\\ruverodazaroda.exe");
const std::string kModule = "GetModuleFileNameW(NULL, &buffer, 32768)";
const std::string kDescribe =
    "ChangeServiceConfig2W(svc, 1, {\"" + Utf16ToUtf8(ServiceDescription) + "\"})";
const std::string kRecovery =
    "ChangeServiceConfig2W(svc, 2, {86400, NULL, NULL, 3, [{1, 60000}, {1, 60000}, {0, 0}]})";
const std::string kStart = "StartServiceW(svc, 0, NULL)";

std::string Create(const WString& binaryPath) {
    return "CreateServiceW(scm, \"RUVERODAzaroda\", \"RUVERODAzaroda\", 0x000F01FF, 0x00000010, "
           "0x00000002, 0x00000001, \"" +
           Utf16ToUtf8(binaryPath) + "\", NULL, NULL, NULL, NULL, NULL)";
}

WString Quoted(const WString& path) {
    return WSTR("\"") + path + WSTR("\"");
}

// A path of exactly length characters.
WString PathOf(std::size_t length) {
    WString path = WSTR("C:\\Program Files\\");
    path.append(length - path.size() - 4, u'a');
    return path + WSTR(".exe");
}

TEST_F(CommandTest, InstallRegistersTheQuotedPathDescribesAndStarts) {
    InstallServiceCommand();
    EXPECT_EQ(LogEntries(), Lines{"Service installed successfully"});
    EXPECT_EQ(CommandCalls(),
              Cat({{kModule, kOpenScm, Create(Quoted(kDefaultPath)), kDescribe, kRecovery, kStart},
                   kCloseBoth}));
    const sim::ServiceRecord record = sim::ServiceRecordOf(ServiceName);
    EXPECT_EQ(record.binaryPath, Quoted(kDefaultPath));
    EXPECT_EQ(record.startType, SERVICE_AUTO_START);
    EXPECT_EQ(record.description, WString(ServiceDescription));
    ASSERT_TRUE(record.failureActions.has_value());
    EXPECT_EQ(record.failureActions->resetPeriod, 86400u);
    EXPECT_FALSE(record.failureActions->hasRebootMessage);
    EXPECT_FALSE(record.failureActions->hasCommand);
    using Action = std::pair<SC_ACTION_TYPE, DWORD>;
    EXPECT_EQ(record.failureActions->actions,
              (std::vector<Action>{
                  {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}}));
    EXPECT_EQ(record.state, SERVICE_RUNNING);
    EXPECT_EQ(sim::OpenServiceHandles(), 0u);
}

struct InstallCase {
    const char* name;
    void (*arrange)();
    Lines log;
    Lines calls;
    WString registered; // empty: nothing new registered
    DWORD state;        // of the service afterwards
};

class InstallTest : public CommandTest, public ::testing::WithParamInterface<InstallCase> {};

TEST_P(InstallTest, LogsOneLineAndClosesWhatItOpened) {
    const InstallCase& c = GetParam();
    c.arrange();
    sim::ClearJournal();
    InstallServiceCommand();
    EXPECT_EQ(LogEntries(), c.log);
    EXPECT_EQ(CommandCalls(), c.calls);
    EXPECT_EQ(sim::OpenServiceHandles(), 0u);
    if (c.state == 0) {
        EXPECT_FALSE(sim::ServiceExists(ServiceName));
        return;
    }
    const sim::ServiceRecord record = sim::ServiceRecordOf(ServiceName);
    EXPECT_EQ(record.binaryPath, c.registered.empty() ? WSTR("C:\\Service.exe") : c.registered);
    EXPECT_EQ(record.state, c.state);
}

const Lines kInstalled = {"Service installed successfully"};
const WString kSpaced = WSTR("C:\\My Tools\\Card Readers\\ruverodazaroda.exe");

INSTANTIATE_TEST_SUITE_P(
    Install, InstallTest,
    ::testing::Values(
        InstallCase{"PathWithoutSpacesQuotedToo",
                    [] { sim::SetModulePath(WSTR("C:\\Tools\\r.exe")); }, kInstalled,
                    Cat({{kModule, kOpenScm, Create(WSTR("\"C:\\Tools\\r.exe\"")), kDescribe,
                          kRecovery, kStart},
                         kCloseBoth}),
                    WSTR("\"C:\\Tools\\r.exe\""), SERVICE_RUNNING},
        InstallCase{"PathWithSpaces", [] { sim::SetModulePath(kSpaced); }, kInstalled,
                    Cat({{kModule, kOpenScm, Create(Quoted(kSpaced)), kDescribe, kRecovery, kStart},
                         kCloseBoth}),
                    Quoted(kSpaced), SERVICE_RUNNING},
        InstallCase{
            "PathBeyondMaxPath", [] { sim::SetModulePath(PathOf(300)); }, kInstalled,
            Cat({{kModule, kOpenScm, Create(Quoted(PathOf(300))), kDescribe, kRecovery, kStart},
                 kCloseBoth}),
            Quoted(PathOf(300)), SERVICE_RUNNING},
        InstallCase{
            "LongestPathThatFits", [] { sim::SetModulePath(PathOf(32767)); }, kInstalled,
            Cat({{kModule, kOpenScm, Create(Quoted(PathOf(32767))), kDescribe, kRecovery, kStart},
                 kCloseBoth}),
            Quoted(PathOf(32767)), SERVICE_RUNNING},
        InstallCase{"CutPathRegistersNothing",
                    [] { sim::SetModulePath(PathOf(32768)); },
                    {"Cannot install service (122)"},
                    {kModule},
                    {},
                    0},
        InstallCase{"ModulePathFails",
                    [] { sim::FailNext("GetModuleFileNameW", 8); },
                    {"Cannot install service (8)"},
                    {kModule},
                    {},
                    0},
        InstallCase{"NotElevated",
                    [] { sim::SetElevated(false); },
                    {"OpenSCManager failed (5)"},
                    {kModule, kOpenScm},
                    {},
                    0},
        InstallCase{"AlreadyRegisteredLeftAsItIs",
                    [] { sim::AddService(ServiceName); },
                    {"CreateService failed (1073)"},
                    Cat({{kModule, kOpenScm, Create(Quoted(kDefaultPath))}, kCloseScm}),
                    {},
                    SERVICE_STOPPED},
        InstallCase{
            "StartFailsEntryStays", [] { sim::FailNext("StartServiceW", 1053); }, kInstalled,
            Cat({{kModule, kOpenScm, Create(Quoted(kDefaultPath)), kDescribe, kRecovery, kStart},
                 kCloseBoth}),
            Quoted(kDefaultPath), SERVICE_STOPPED},
        InstallCase{
            "DescriptionFailsNothingElseChanges",
            [] { sim::FailNext("ChangeServiceConfig2W", ERROR_ACCESS_DENIED); }, kInstalled,
            Cat({{kModule, kOpenScm, Create(Quoted(kDefaultPath)), kDescribe, kRecovery, kStart},
                 kCloseBoth}),
            Quoted(kDefaultPath), SERVICE_RUNNING},
        InstallCase{
            "RecoveryFailsNothingElseChanges",
            [] { sim::FailNth("ChangeServiceConfig2W", 2, ERROR_INVALID_PARAMETER); }, kInstalled,
            Cat({{kModule, kOpenScm, Create(Quoted(kDefaultPath)), kDescribe, kRecovery, kStart},
                 kCloseBoth}),
            Quoted(kDefaultPath), SERVICE_RUNNING}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandTest, FailedDescriptionLeavesTheRecoveryActionsInPlace) {
    sim::FailNext("ChangeServiceConfig2W", ERROR_ACCESS_DENIED);
    InstallServiceCommand();
    const sim::ServiceRecord record = sim::ServiceRecordOf(ServiceName);
    EXPECT_FALSE(record.description.has_value());
    EXPECT_TRUE(record.failureActions.has_value());
}

struct DeleteCase {
    const char* name;
    void (*arrange)();
    Lines log;
    Lines calls;
    bool existsAfter;
};

class DeleteTest : public CommandTest, public ::testing::WithParamInterface<DeleteCase> {};

TEST_P(DeleteTest, LogsOneLineAndClosesWhatItOpened) {
    const DeleteCase& c = GetParam();
    c.arrange();
    sim::ClearJournal();
    DeleteServiceCommand();
    EXPECT_EQ(LogEntries(), c.log);
    EXPECT_EQ(CommandCalls(), c.calls);
    EXPECT_EQ(sim::OpenServiceHandles(), 0u);
    EXPECT_EQ(sim::ServiceExists(ServiceName), c.existsAfter);
}

const std::string kOpenForDelete = OpenService("0x00010000");
const Lines kDeleteCalls = Cat({{kOpenScm, kOpenForDelete, "DeleteService(svc)"}, kCloseBoth});

sim::ServiceScript Running() {
    sim::ServiceScript s;
    s.now = {{0, SERVICE_RUNNING}};
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Delete, DeleteTest,
    ::testing::Values(DeleteCase{"Stopped",
                                 [] { sim::AddService(ServiceName); },
                                 {"Service deleted successfully"},
                                 kDeleteCalls,
                                 false},
                      // No control and no query: the running service stays until it stops.
                      DeleteCase{"RunningGetsNoControl",
                                 [] { sim::AddService(ServiceName, Running()); },
                                 {"Service deleted successfully"},
                                 kDeleteCalls,
                                 true},
                      DeleteCase{"NotRegistered",
                                 [] {},
                                 {"OpenService failed (1060)"},
                                 Cat({{kOpenScm, kOpenForDelete}, kCloseScm}),
                                 false},
                      DeleteCase{"AlreadyMarked",
                                 [] {
                                     sim::AddService(ServiceName, Running());
                                     DeleteServiceCommand();
                                 },
                                 {"Service deleted successfully", "DeleteService failed (1072)"},
                                 kDeleteCalls,
                                 true},
                      DeleteCase{"NotElevated",
                                 [] {
                                     sim::AddService(ServiceName);
                                     sim::SetElevated(false);
                                 },
                                 {"OpenSCManager failed (5)"},
                                 {kOpenScm},
                                 true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandTest, DeletedRunningServiceGoesOnceItStops) {
    sim::ServiceScript script;
    script.now = {{0, SERVICE_RUNNING}, {5000, SERVICE_STOPPED}};
    sim::AddService(ServiceName, script);
    DeleteServiceCommand();
    EXPECT_TRUE(sim::ServiceRecordOf(ServiceName).markedForDelete);
    Sleep(5000);
    EXPECT_FALSE(sim::ServiceExists(ServiceName));
}

} // namespace
