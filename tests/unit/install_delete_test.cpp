#include "command_fixture.h"

namespace {

const WString kDefaultPath = WSTR("C:\\Program Files\\RUVERODAzaroda\\ruverodazaroda.exe");
const std::string kModule = "GetModuleFileNameW(NULL, &buffer, 32768)";
const std::string kDescription =
    "Keeps USB smart card readers of the watched vendors on their CCID driver package, repairing "
    "any that Windows bound to its inbox driver when the service starts and whenever one is "
    "plugged in.";
const std::string kDescribe = "ChangeServiceConfig2W(svc, 1, {\"" + kDescription + "\"})";
const std::string kRecovery =
    "ChangeServiceConfig2W(svc, 2, {86400, NULL, NULL, 3, [{1, 60000}, {1, 60000}, {0, 0}]})";
const Lines kInstalled = {"Service installed successfully"};

// A path of exactly length characters.
WString PathOf(std::size_t length) {
    WString path = WSTR("C:\\Program Files\\");
    path.append(length - path.size() - 4, u'a');
    return path + WSTR(".exe");
}

std::string Create(const WString& path) {
    return "CreateServiceW(scm, \"RUVERODAzaroda\", \"RUVERODAzaroda\", 0x000F01FF, 0x00000010, "
           "0x00000002, 0x00000001, \"\"" +
           Utf16ToUtf8(path) + "\"\", NULL, NULL, NULL, NULL, NULL)";
}

// Every call of an install from this path that gets as far as the start request.
Lines Installed(const WString& path = kDefaultPath) {
    return Cat(
        {{kModule, kOpenScm, Create(path), kDescribe, kRecovery, "StartServiceW(svc, 0, NULL)"},
         kCloseBoth});
}

class InstallTest : public CommandTableTest {};

TEST_P(InstallTest, LogsOneLineAndClosesWhatItOpened) {
    Check(InstallServiceCommand);
}

Arrange From(const WString& path) {
    return [path] { sim::SetModulePath(path); };
}

CommandCase InstalledFrom(const char* name, const WString& path) {
    return Row(name, From(path), kInstalled, Installed(path));
}

CommandCase NothingInstalled(const char* name, Arrange arrange, const char* log, Lines calls) {
    return Row(name, std::move(arrange), {log}, std::move(calls), 0, false);
}

INSTANTIATE_TEST_SUITE_P(
    Install, InstallTest,
    ::testing::Values(
        Row("PathWithSpaces", kNothing, kInstalled, Installed()),
        InstalledFrom("PathWithoutSpacesQuotedToo", WSTR("C:\\Tools\\r.exe")),
        InstalledFrom("PathBeyondMaxPath", PathOf(300)),
        InstalledFrom("LongestPathThatFits", PathOf(32767)),
        NothingInstalled("CutPathRegistersNothing", From(PathOf(32768)),
                         "Cannot install service (122)", {kModule}),
        NothingInstalled("ModulePathFails", Failing("GetModuleFileNameW", 1, 8),
                         "Cannot install service (8)", {kModule}),
        NothingInstalled("NotElevated", Unelevated(), "OpenSCManager failed (5)",
                         {kModule, kOpenScm}),
        // The existing entry is neither changed nor started.
        Row("AlreadyRegistered", Registered(), {"CreateService failed (1073)"},
            Cat({{kModule, kOpenScm, Create(kDefaultPath)}, kCloseScm})),
        Row("StartFailsEntryStays", Failing("StartServiceW", 1, 1053), kInstalled, Installed()),
        Row("DescriptionFailsNothingElseChanges",
            Failing("ChangeServiceConfig2W", 1, ERROR_ACCESS_DENIED), kInstalled, Installed()),
        Row("RecoveryFailsNothingElseChanges",
            Failing("ChangeServiceConfig2W", 2, ERROR_INVALID_PARAMETER), kInstalled, Installed())),
    CaseName);

class DeleteTest : public CommandTableTest {};

TEST_P(DeleteTest, LogsOneLineAndClosesWhatItOpened) {
    Check(DeleteServiceCommand);
}

const Lines kDeleted = {"Service deleted successfully"};
const Lines kDeleteCalls =
    Cat({{kOpenScm, OpenService("0x00010000"), "DeleteService(svc)"}, kCloseBoth});

void AddRunningAndDelete() {
    Registered(kRunning)();
    DeleteServiceCommand();
}

INSTANTIATE_TEST_SUITE_P(
    Delete, DeleteTest,
    ::testing::Values(
        Row("Stopped", Registered(), kDeleted, kDeleteCalls, 0, false),
        // No control and no query: the running service stays until it stops.
        Row("RunningGetsNoControl", Registered(kRunning), kDeleted, kDeleteCalls),
        Row("NotRegistered", kNothing, {"OpenService failed (1060)"},
            Cat({{kOpenScm, OpenService("0x00010000")}, kCloseScm}), 0, false),
        Row("AlreadyMarked", AddRunningAndDelete,
            {"Service deleted successfully", "DeleteService failed (1072)"}, kDeleteCalls),
        Row("NotElevated", Unelevated(Registered()), {"OpenSCManager failed (5)"}, {kOpenScm})),
    CaseName);

// install leaves the key of the added descriptions for the service to watch; delete takes it
// and the keys above it away, each only while empty.
TEST_F(CommandTest, ReaderDescriptionsKeyGoesWithDeleteWhileEmpty) {
    const struct {
        std::function<void()> before;
        bool readers, kvr, corvane;
    } rows[] = {{[] { sim::DeleteRegTree(kLogKey); }, false, false, false},
                {kNothing, false, true, true},
                {[] { sim::SetRegDword(kReadersKey, WSTR("Descriptions"), 1); }, true, true, true}};
    for (const auto& row : rows) {
        SetUp();
        InstallServiceCommand();
        EXPECT_TRUE(sim::RegKeyExists(kReadersKey));
        row.before();
        DeleteServiceCommand();
        EXPECT_EQ(sim::RegKeyExists(kReadersKey), row.readers);
        EXPECT_EQ(sim::RegKeyExists(WSTR("SOFTWARE\\Corvane\\Tessarine\\KVR")), row.kvr);
        EXPECT_EQ(sim::RegKeyExists(WSTR("SOFTWARE\\Corvane")), row.corvane);
        EXPECT_EQ(sim::OpenRegKeys(), 0u);
    }
}

TEST_F(CommandTest, DeletedRunningServiceGoesOnceItStops) {
    sim::AddService(ServiceName, Script({{0, SERVICE_RUNNING}, {5000, SERVICE_STOPPED}}));
    DeleteServiceCommand();
    EXPECT_TRUE(sim::ServiceRecordOf(ServiceName).markedForDelete);
    Sleep(5000);
    EXPECT_FALSE(sim::ServiceExists(ServiceName));
}

} // namespace
