#include "command_fixture.h"

namespace {

class StopTest : public CommandTableTest {};

TEST_P(StopTest, StopsWithinTheBudget) {
    Check(StopServiceCommand);
}

// The clock is read before anything else: the budget counts from the command's first action.
const Lines kOpen = {kTick, kOpenScm, OpenService("0x0000002C"), kQuery};
const std::string kControl = "ControlService(svc, 1, &status)";
const std::string kPending = "Service stop pending...";

// A pass of the stop-pending wait that finds the service still pending.
Lines PendingPass(DWORD sleep) {
    return {SleepFor(sleep), kQuery, kTick};
}

// A pass of the wait after the stop control: the sleep is capped by what the budget has left.
Lines StopPass(DWORD sleep, bool stopped = false) {
    Lines pass = {kTick, SleepFor(sleep), kQuery};
    if (!stopped)
        pass.push_back(kTick);
    return pass;
}

Lines Times(const std::string& line, int n) {
    return Lines(static_cast<std::size_t>(n), line);
}

void AddWith(const sim::Timeline& now, const sim::Timeline& onStop = {{0, SERVICE_STOPPED}}) {
    sim::AddService(ServiceName, Script(now, {{0, SERVICE_RUNNING}}, onStop));
}

// Stop-pending for 21 seconds, then running; the stop control then leaves it stop-pending
// with a hint of 4000 ms for good.
void AddLateRunning() {
    AddWith({{0, SERVICE_STOP_PENDING, 1, 0}, {20500, SERVICE_RUNNING}},
            {{0, SERVICE_STOP_PENDING, 1, 4000}});
}

const Lines kLateRunningLog = Cat({Times(kPending, 21), {"Wait timed out"}});
const Lines kLateRunningCalls = Cat({kOpen,
                                     Repeat(PendingPass(1000), 21),
                                     {kControl},
                                     Repeat(StopPass(4000), 2),
                                     StopPass(1001),
                                     kCloseBoth});

INSTANTIATE_TEST_SUITE_P(
    Stop, StopTest,
    ::testing::Values(
        CommandCase{"AlreadyStopped",
                    [] {
                        AddWith({{0, SERVICE_STOPPED}});
                    },
                    {"Service is already stopped."},
                    Cat({kOpen, kCloseBoth})},
        // This system's own service answers with hint 0 and stops a few queries later.
        CommandCase{
            "HintZeroPollsBackToBack",
            [] {
                sim::SetStatusQueryTime(1);
                AddWith({{0, SERVICE_RUNNING}}, {{0, SERVICE_STOP_PENDING}, {3, SERVICE_STOPPED}});
            },
            {"Service stopped successfully"},
            Cat({kOpen, {kControl}, Repeat(StopPass(0), 2), StopPass(0, true), kCloseBoth})},
        CommandCase{
            "HintFiveSecondsPollsFiveSecondsApart",
            [] {
                AddWith({{0, SERVICE_RUNNING}},
                        {{0, SERVICE_STOP_PENDING, 1, 5000}, {12000, SERVICE_STOPPED}});
            },
            {"Service stopped successfully"},
            Cat({kOpen, {kControl}, Repeat(StopPass(5000), 2), StopPass(5000, true), kCloseBoth})},
        CommandCase{"StopPendingFinishes",
                    [] {
                        AddWith({{0, SERVICE_STOP_PENDING, 1, 20000}, {2500, SERVICE_STOPPED}});
                    },
                    {kPending, kPending, "Service stopped successfully."},
                    Cat({kOpen, PendingPass(2000), {SleepFor(2000), kQuery}, kCloseBoth})},
        CommandCase{"StopPendingRaisingItsCheckPointStillTimesOut",
                    [] {
                        sim::Timeline now;
                        for (DWORD k = 0; k < 40; ++k)
                            now.push_back({k * 1000, SERVICE_STOP_PENDING, (k + 1) * 1000});
                        AddWith(now);
                    },
                    Cat({Times(kPending, 31), {"Service stop timed out."}}),
                    Cat({kOpen, Repeat(PendingPass(1000), 31), kCloseBoth})},
        CommandCase{"StopPendingTurnsIntoRunningThenStops",
                    [] {
                        AddWith({{0, SERVICE_STOP_PENDING, 1, 0}, {500, SERVICE_RUNNING}});
                    },
                    {kPending, "Service stopped successfully"},
                    Cat({kOpen, PendingPass(1000), {kControl}, kCloseBoth})},
        CommandCase{"StartPendingRefusesTheControl",
                    [] {
                        AddWith({{0, SERVICE_START_PENDING, 1, 3000}});
                    },
                    {"ControlService failed (1061)"},
                    Cat({kOpen, {kControl}, kCloseBoth})},
        CommandCase{"BudgetSpansBothWaits", AddLateRunning, kLateRunningLog, kLateRunningCalls},
        CommandCase{"BudgetSpansBothWaitsAcrossTheWrap", AddLateRunning, kLateRunningLog,
                    kLateRunningCalls, 0xFFFFC000u},
        CommandCase{
            "HugeHintCappedAtTheBudget",
            [] {
                AddWith({{0, SERVICE_RUNNING}}, {{0, SERVICE_STOP_PENDING, 1, 0xFFFFFFFFu}});
            },
            {"Wait timed out"},
            Cat({kOpen, {kControl}, StopPass(30001), kCloseBoth})},
        // Failures.
        CommandCase{"NotElevated",
                    [] {
                        AddWith({{0, SERVICE_RUNNING}});
                        sim::SetElevated(false);
                    },
                    {"OpenSCManager failed (5)"},
                    {kTick, kOpenScm}},
        CommandCase{"NotRegistered",
                    [] {},
                    {"OpenService failed (1060)"},
                    {kTick, kOpenScm, OpenService("0x0000002C"), "CloseServiceHandle(scm)"},
                    0,
                    false},
        CommandCase{"FirstQueryFails",
                    [] {
                        AddWith({{0, SERVICE_RUNNING}});
                        sim::FailNext("QueryServiceStatusEx", ERROR_INVALID_HANDLE);
                    },
                    {"QueryServiceStatusEx failed (6)"},
                    Cat({kOpen, kCloseBoth})},
        CommandCase{"QueryWhileStopPendingFails",
                    [] {
                        AddWith({{0, SERVICE_STOP_PENDING, 1, 0}});
                        sim::FailNth("QueryServiceStatusEx", 2, ERROR_ACCESS_DENIED);
                    },
                    {kPending, "QueryServiceStatusEx failed (5)"},
                    Cat({kOpen, {SleepFor(1000), kQuery}, kCloseBoth})},
        CommandCase{"ControlFails",
                    [] {
                        AddWith({{0, SERVICE_RUNNING}});
                        sim::FailNext("ControlService", ERROR_SERVICE_REQUEST_TIMEOUT);
                    },
                    {"ControlService failed (1053)"},
                    Cat({kOpen, {kControl}, kCloseBoth})},
        CommandCase{"QueryAfterTheControlFails",
                    [] {
                        AddWith({{0, SERVICE_RUNNING}}, {{0, SERVICE_STOP_PENDING, 1, 1000}});
                        sim::FailNth("QueryServiceStatusEx", 2, ERROR_ACCESS_DENIED);
                    },
                    {"QueryServiceStatusEx failed (5)"},
                    Cat({kOpen, {kControl}, StopPass(1000, true), kCloseBoth})}),
    CaseName);

TEST_F(CommandTest, StopEndsOneTickPastTheBudgetWhateverTheHint) {
    sim::AddService(ServiceName, Script({{0, SERVICE_RUNNING}}, {{0, SERVICE_RUNNING}},
                                        {{0, SERVICE_STOP_PENDING, 1, 0xFFFFFFFFu}}));
    sim::SetTicks(0xFFFF0000u);
    StopServiceCommand();
    EXPECT_EQ(sim::Ticks() - 0xFFFF0000u, 30001u);
}

} // namespace
