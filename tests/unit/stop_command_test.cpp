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
const Lines kStoppedLog = {"Service stopped successfully"};

Lines Calls(const Lines& between) {
    return Cat({kOpen, between, kCloseBoth});
}

// Passes of the stop-pending wait that find the service still pending.
Lines PendingPasses(DWORD sleep, int times) {
    return Repeat({SleepFor(sleep), kQuery, kTick}, times);
}

// A pass of the wait after the stop control: the sleep is capped by what the budget has left.
Lines StopPass(DWORD sleep, bool stopped = false) {
    Lines pass = {kTick, SleepFor(sleep), kQuery};
    if (!stopped)
        pass.push_back(kTick);
    return pass;
}

// The stop control, then a wait that finds the service stopped after passes pending ones.
Lines ControlThenStopped(DWORD sleep, int passes) {
    return Calls(Cat({{kControl}, Repeat(StopPass(sleep), passes), StopPass(sleep, true)}));
}

Lines Times(const std::string& line, int n) {
    return Lines(static_cast<std::size_t>(n), line);
}

Arrange Stopping(const sim::Timeline& now, const sim::Timeline& onStop = kStopped) {
    return Registered(now, kRunning, onStop);
}

// This system's own service answers with hint 0 and stops a few queries later.
void AddOwnService() {
    sim::SetStatusQueryTime(1);
    Stopping(kRunning, {{0, SERVICE_STOP_PENDING}, {3, SERVICE_STOPPED}})();
}

sim::Timeline RisingStopPending() {
    sim::Timeline now;
    for (DWORD k = 0; k < 40; ++k)
        now.push_back({k * 1000, SERVICE_STOP_PENDING, (k + 1) * 1000});
    return now;
}

// Stop-pending for 21 seconds, then running; the stop control then leaves it stop-pending
// with a hint of 4000 ms for good.
const Arrange kLateRunning = Stopping({{0, SERVICE_STOP_PENDING, 1, 0}, {20500, SERVICE_RUNNING}},
                                      {{0, SERVICE_STOP_PENDING, 1, 4000}});
const Lines kLateRunningLog = Cat({Times(kPending, 21), {"Wait timed out"}});
const Lines kLateRunningCalls =
    Calls(Cat({PendingPasses(1000, 21), {kControl}, Repeat(StopPass(4000), 2), StopPass(1001)}));
const Arrange kHugeHint = Stopping(kRunning, {{0, SERVICE_STOP_PENDING, 1, 0xFFFFFFFFu}});
const Lines kHugeHintCalls = Calls(Cat({{kControl}, StopPass(30001)}));

INSTANTIATE_TEST_SUITE_P(
    Stop, StopTest,
    ::testing::Values(
        Row("AlreadyStopped", Stopping(kStopped), {"Service is already stopped."}, Calls({})),
        Row("HintZeroPollsBackToBack", AddOwnService, kStoppedLog, ControlThenStopped(0, 2)),
        Row("HintFiveSecondsPollsFiveSecondsApart",
            Stopping(kRunning, {{0, SERVICE_STOP_PENDING, 1, 5000}, {12000, SERVICE_STOPPED}}),
            kStoppedLog, ControlThenStopped(5000, 2)),
        Row("StopPendingFinishes",
            Stopping({{0, SERVICE_STOP_PENDING, 1, 20000}, {2500, SERVICE_STOPPED}}),
            {kPending, kPending, "Service stopped successfully."},
            Calls(Cat({PendingPasses(2000, 1), {SleepFor(2000), kQuery}}))),
        Row("StopPendingRaisingItsCheckPointStillTimesOut", Stopping(RisingStopPending()),
            Cat({Times(kPending, 31), {"Service stop timed out."}}),
            Calls(PendingPasses(1000, 31))),
        Row("StopPendingTurnsIntoRunningThenStops",
            Stopping({{0, SERVICE_STOP_PENDING, 1, 0}, {500, SERVICE_RUNNING}}),
            {kPending, "Service stopped successfully"},
            Calls(Cat({PendingPasses(1000, 1), {kControl}}))),
        Row("StartPendingRefusesTheControl", Stopping({{0, SERVICE_START_PENDING, 1, 3000}}),
            {"ControlService failed (1061)"}, Calls({kControl})),
        Row("BudgetSpansBothWaits", kLateRunning, kLateRunningLog, kLateRunningCalls),
        Row("BudgetSpansBothWaitsAcrossTheWrap", kLateRunning, kLateRunningLog, kLateRunningCalls,
            0xFFFFC000u),
        // A ninth query would fail, so that a wait that stopped sleeping ends, not spins.
        Row("HintFiveSecondsLastSleepCappedAtTheBudget",
            QueryFails(9, ERROR_ACCESS_DENIED,
                       Stopping(kRunning, {{0, SERVICE_STOP_PENDING, 1, 5000}})),
            {"Wait timed out"}, Calls(Cat({{kControl}, Repeat(StopPass(5000), 6), StopPass(1)}))),
        // The command ends one tick past the budget whatever the hint, also across the wrap.
        Row("HugeHintCappedAtTheBudget", kHugeHint, {"Wait timed out"}, kHugeHintCalls),
        Row("HugeHintCappedAtTheBudgetAcrossTheWrap", kHugeHint, {"Wait timed out"}, kHugeHintCalls,
            0xFFFF0000u),
        // Failures.
        Row("NotElevated", Unelevated(Stopping(kRunning)), {"OpenSCManager failed (5)"},
            {kTick, kOpenScm}),
        Row("NotRegistered", kNothing, {"OpenService failed (1060)"},
            {kTick, kOpenScm, OpenService("0x0000002C"), "CloseServiceHandle(scm)"}, 0, false),
        Row("FirstQueryFails", QueryFails(1, ERROR_INVALID_HANDLE, Stopping(kRunning)),
            {"QueryServiceStatusEx failed (6)"}, Calls({})),
        Row("QueryWhileStopPendingFails",
            QueryFails(2, ERROR_ACCESS_DENIED, Stopping({{0, SERVICE_STOP_PENDING, 1, 0}})),
            {kPending, "QueryServiceStatusEx failed (5)"}, Calls({SleepFor(1000), kQuery})),
        Row("ControlFails",
            Failing("ControlService", 1, ERROR_SERVICE_REQUEST_TIMEOUT, Stopping(kRunning)),
            {"ControlService failed (1053)"}, Calls({kControl})),
        Row("QueryAfterTheControlFails",
            QueryFails(2, ERROR_ACCESS_DENIED,
                       Stopping(kRunning, {{0, SERVICE_STOP_PENDING, 1, 1000}})),
            {"QueryServiceStatusEx failed (5)"}, Calls(Cat({{kControl}, StopPass(1000, true)})))),
    CaseName);

} // namespace
