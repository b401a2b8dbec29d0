#include "entry/entry.h"
#include "fixture.h"
#include "platform/sim/scm.h"

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

struct EntryCase {
    const char* name;
    std::vector<WString> args;
    int status;
    bool wrongArgument;
    bool serviceMode;
};

class EntryTest : public SimTest, public ::testing::WithParamInterface<EntryCase> {};

std::vector<std::string> Framed(std::vector<std::string> middle) {
    std::vector<std::string> lines = {"", kRule59, "", "Logging Started", ""};
    lines.insert(lines.end(), middle.begin(), middle.end());
    lines.insert(lines.end(), {"Logging Stopped", "", kRule72});
    return lines;
}

TEST_P(EntryTest, ChoosesModeAndExitStatus) {
    const EntryCase& c = GetParam();
    sim::SetRegDword(kLogKey, WSTR("Enabled"), 1);
    // Without elevation every command word ends at its first call, which shows that it ran.
    sim::SetElevated(false);
    EXPECT_EQ(RunEntry(c.args), c.status);
    std::vector<std::string> middle;
    if (c.wrongArgument)
        middle.push_back("Wrong argument");
    else if (!c.serviceMode)
        middle.push_back("OpenSCManager failed (5)");
    EXPECT_EQ(LogLines(), Framed(middle));
    EXPECT_EQ(sim::JournalOf("StartServiceCtrlDispatcherW"),
              c.serviceMode ? std::vector<std::string>{kDispatch} : std::vector<std::string>{});
    EXPECT_EQ(ReaderPrefixList.size(), c.serviceMode ? 4u : 0u);
}

TEST_P(EntryTest, BehavesTheSameWithLoggingOff) {
    const EntryCase& c = GetParam();
    EXPECT_EQ(RunEntry(c.args), c.status);
    EXPECT_FALSE(sim::Exists(WSTR("C:\\Windows\\Temp\\Kelpix.log")));
    EXPECT_TRUE(sim::JournalOf("CreateFileW").empty());
    EXPECT_EQ(sim::JournalOf("StartServiceCtrlDispatcherW").size(), c.serviceMode ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, EntryTest,
    ::testing::Values(EntryCase{"NoArgument", {}, 0, false, true},
                      EntryCase{"install", {WSTR("install")}, 0, false, false},
                      EntryCase{"Install", {WSTR("Install")}, 0, false, false},
                      EntryCase{"INSTALL", {WSTR("INSTALL")}, 0, false, false},
                      EntryCase{"start", {WSTR("start")}, 0, false, false},
                      EntryCase{"sToP", {WSTR("sToP")}, 0, false, false},
                      EntryCase{"DELETE", {WSTR("DELETE")}, 0, false, false},
                      EntryCase{"InstallWithBlank", {WSTR("install ")}, -1, true, false},
                      EntryCase{"Installs", {WSTR("installs")}, -1, true, false},
                      EntryCase{"Empty", {WSTR("")}, -1, true, false},
                      EntryCase{"Unknown", {WSTR("restart")}, -1, true, false},
                      EntryCase{"StopNow", {WSTR("stop"), WSTR("now")}, -2, true, false},
                      EntryCase{
                          "ThreeArguments", {WSTR("a"), WSTR("b"), WSTR("c")}, -2, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimTest, EntryWithoutProgramNameIsAWrongCount) {
    sim::SetRegDword(kLogKey, WSTR("Enabled"), 1);
    WCHAR* argv[] = {nullptr};
    EXPECT_EQ(EntryMain(0, argv), -2);
    EXPECT_EQ(LogEntries(), std::vector<std::string>{"Wrong argument"});
}

TEST_F(SimTest, LogIsOpenedBeforeTheArgumentsAreLookedAt) {
    RunEntry({});
    std::vector<std::string> ops = sim::JournalOps();
    ASSERT_FALSE(ops.empty());
    EXPECT_EQ(ops.front(), "RegOpenKeyExW");
    EXPECT_EQ(ops.back(), "StartServiceCtrlDispatcherW");
}

TEST_F(SimTest, FailedDispatcherStillEndsWithStatusZero) {
    sim::SetRegDword(kLogKey, WSTR("Enabled"), 1);
    sim::FailNext("StartServiceCtrlDispatcherW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunEntry({}), 0);
    EXPECT_EQ(LogLines(), Framed({}));
}

} // namespace
