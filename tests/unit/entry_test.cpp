#include "entry/entry.h"
#include "fixture.h"
#include "platform/sim/devices.h"
#include "platform/sim/scm.h"
#include "service/service_name.h"

namespace {

const std::string kRule59(59, '=');
const std::string kRule72(72, '=');
const char kDispatch[] = R"(StartServiceCtrlDispatcherW([{"RUVERODAzaroda", proc}, {NULL, NULL}]))";

int RunEntry(std::vector<WString> args) {
    args.insert(args.begin(), WSTR("C:\\Program Files\\RUVERODAzaroda\\ruverodazaroda.exe"));
    std::vector<WCHAR*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return EntryMain(static_cast<int>(args.size()), argv.data());
}

// Without elevation every command word ends at its first call; against a registered service
// a word shows which command it ran.
struct EntryCase {
    const char* name;
    std::vector<WString> args;
    int status;
    const char* logged; // between the banners, if anything
    DWORD service = 0;  // state of the registered service; 0: none, and not elevated
    bool deleted = false;
};

class EntryTest : public SimTest, public ::testing::WithParamInterface<EntryCase> {
  protected:
    void RunAndCheck() {
        const EntryCase& c = GetParam();
        if (c.service != 0)
            sim::AddService(ServiceName, sim::ServiceScript{{{0, c.service}}});
        else
            sim::SetElevated(false);
        EXPECT_EQ(RunEntry(c.args), c.status);
        EXPECT_EQ(sim::JournalOps().at(0), "RegOpenKeyExW"); // the log before the arguments
        EXPECT_EQ(sim::JournalOf("StartServiceCtrlDispatcherW"),
                  c.args.empty() ? std::vector<std::string>{kDispatch}
                                 : std::vector<std::string>{});
        const bool registered = sim::ServiceExists(ServiceName);
        EXPECT_EQ(registered ? sim::ServiceRecordOf(ServiceName).state : 0,
                  c.deleted ? 0 : c.service);
    }
};

std::vector<std::string> Framed(std::vector<std::string> middle) {
    std::vector<std::string> lines = {"", kRule59, "", "Logging Started", ""};
    lines.insert(lines.end(), middle.begin(), middle.end());
    lines.insert(lines.end(), {"Logging Stopped", "", kRule72});
    return lines;
}

TEST_P(EntryTest, ChoosesModeAndExitStatus) {
    const EntryCase& c = GetParam();
    sim::SetRegDword(kLogKey, WSTR("Enabled"), 1);
    RunAndCheck();
    EXPECT_EQ(LogLines(),
              Framed(c.logged ? std::vector<std::string>{c.logged} : std::vector<std::string>{}));
    EXPECT_EQ(ReaderPrefixList.size(), c.args.empty() ? 4u : 0u);
}

TEST_P(EntryTest, BehavesTheSameWithLoggingOff) {
    RunAndCheck();
    EXPECT_FALSE(sim::Exists(WSTR("C:\\Windows\\Temp\\Kelpix.log")));
    EXPECT_TRUE(sim::JournalOf("CreateFileW").empty());
}

const char kWrong[] = "Wrong argument";
const char kNoManager[] = "OpenSCManager failed (5)";
const char kAlreadyRunning[] = "Cannot start the service because it is already running";

INSTANTIATE_TEST_SUITE_P(
    Arguments, EntryTest,
    ::testing::Values(
        // Outside the control manager the dispatcher fails at once; the status is still 0.
        EntryCase{"NoArgument", {}, 0, nullptr},
        EntryCase{"install", {WSTR("install")}, 0, kNoManager},
        EntryCase{"Install", {WSTR("Install")}, 0, kNoManager},
        EntryCase{"INSTALL", {WSTR("INSTALL")}, 0, kNoManager},
        EntryCase{"Start", {WSTR("Start")}, 0, kAlreadyRunning, SERVICE_RUNNING},
        EntryCase{"stop", {WSTR("stop")}, 0, "Service is already stopped.", SERVICE_STOPPED},
        EntryCase{
            "DELETE", {WSTR("DELETE")}, 0, "Service deleted successfully", SERVICE_STOPPED, true},
        EntryCase{"InstallWithBlank", {WSTR("install ")}, -1, kWrong},
        EntryCase{"Installs", {WSTR("installs")}, -1, kWrong},
        EntryCase{"Empty", {WSTR("")}, -1, kWrong},
        EntryCase{"Unknown", {WSTR("restart")}, -1, kWrong},
        EntryCase{"StopNow", {WSTR("stop"), WSTR("now")}, -2, kWrong},
        EntryCase{"ThreeArguments", {WSTR("a"), WSTR("b"), WSTR("c")}, -2, kWrong}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimTest, EntryWithoutProgramNameIsAWrongCount) {
    sim::SetRegDword(kLogKey, WSTR("Enabled"), 1);
    WCHAR* argv[] = {nullptr};
    EXPECT_EQ(EntryMain(0, argv), -2);
    EXPECT_EQ(LogEntries(), std::vector<std::string>{"Wrong argument"});
}

} // namespace
