#include "command_fixture.h"

namespace {

class StartTest : public CommandTableTest {};

TEST_P(StartTest, FollowsTheServiceToItsOutcome) {
    Check(StartServiceCommand);
}

const Lines kOpen = {kOpenScm, OpenService("0x000F01FF")};
const std::string kStart = "StartServiceW(svc, 0, NULL)";
const Lines kFirstQuery = {kQuery, kTick};
const Lines kStartAndQuery = {kStart, kQuery, kTick};
const Lines kAlreadyRunning = {"Cannot start the service because it is already running"};
const Lines kStarted = {"Service start pending...", "Service started successfully."};

Lines Calls(const Lines& between) {
    return Cat({kOpen, between, kCloseBoth});
}

// Passes of a wait that find the service still pending.
Lines Passes(int times) {
    return Repeat({SleepFor(1000), kQuery, kTick}, times);
}

// The start request goes out at once, then the start-pending wait.
Lines StartWait(int passes) {
    return Calls(Cat({kFirstQuery, kStartAndQuery, Passes(passes)}));
}

// The stop-pending wait, then the start request.
Lines StopWait(int passes) {
    return Calls(Cat({kFirstQuery, Passes(passes), kStartAndQuery}));
}

Lines NotStarted(int state, int exitCode, int checkPoint, int waitHint) {
    return {"Service start pending...",
            "Service not started. ",
            "  Current State: " + std::to_string(state),
            "  Exit Code: " + std::to_string(exitCode),
            "  Check Point: " + std::to_string(checkPoint),
            "  Wait Hint: " + std::to_string(waitHint)};
}

// Stop-pending for ten seconds, its check point moving from 20 by step each second; stopped.
Arrange MovingStop(int step) {
    sim::Timeline now;
    for (int k = 0; k < 10; ++k)
        now.push_back({k * 1000u, SERVICE_STOP_PENDING, static_cast<DWORD>(20 + step * k), 2000});
    now.push_back({10000, SERVICE_STOPPED, 30});
    return Registered(now);
}

// Start-pending with hint 3000 and no check-point progress for ten seconds.
const Arrange kStuckStart =
    Registered(kStopped, {{0, SERVICE_START_PENDING, 1, 3000}, {10000, SERVICE_RUNNING}});
// What the manager records itself until the service's first report.
const sim::StatusStep kManagersRecord = {0, SERVICE_START_PENDING, 0, 2000, NO_ERROR, 0};
const sim::StatusStep kStopPending = {0, SERVICE_STOP_PENDING, 1, 2000};
const std::string kQueryFailed = "QueryServiceStatusEx failed (5)";

// The report reads the status that the last good query left.
Lines NotStartedAfterAFailedQuery() {
    Lines log = NotStarted(2, 0, 1, 3000);
    log.insert(log.begin() + 1, kQueryFailed);
    return log;
}

INSTANTIATE_TEST_SUITE_P(
    Start, StartTest,
    ::testing::Values(
        Row("Running", Registered(kRunning), kAlreadyRunning, Calls({kQuery})),
        Row("Paused", Registered({{0, SERVICE_PAUSED}}), kAlreadyRunning, Calls({kQuery})),
        Row("StartPending", Registered({{0, SERVICE_START_PENDING, 1, 3000}}), kAlreadyRunning,
            Calls({kQuery})),
        Row("StoppedComesUp",
            Registered(kStopped, {{0, SERVICE_START_PENDING, 1, 3000}, {1500, SERVICE_RUNNING}}),
            kStarted, StartWait(2)),
        Row("PendingStopFinishesWithinItsHint",
            Registered({kStopPending, {1500, SERVICE_STOPPED, 0, 2000}}), kStarted, StopWait(2)),
        // Finished without progress after its hint ran out: still a finished stop.
        Row("PendingStopFinishedAfterItsHint", Registered({kStopPending, {1500, SERVICE_STOPPED}}),
            kStarted, StopWait(2)),
        Row("PendingStopTimesOutAtItsHint", Registered({kStopPending}),
            {"Timeout waiting for service to stop"}, Calls(Cat({kFirstQuery, Passes(3)}))),
        Row("PendingStopLoweringItsCheckPoint", MovingStop(-1),
            {"Timeout waiting for service to stop"}, Calls(Cat({kFirstQuery, Passes(3)}))),
        Row("PendingStopRaisingItsCheckPoint", MovingStop(1), kStarted, StopWait(10)),
        Row("PendingStopRaisingItsCheckPointAcrossTheWrap", MovingStop(1), kStarted, StopWait(10),
            0xFFFFEC00u),
        Row("PendingStopTurnsIntoRunning", Registered({kStopPending, {1500, SERVICE_RUNNING, 2}}),
            {"StartService failed (1056)"}, Calls(Cat({kFirstQuery, Passes(2), {kStart}}))),
        Row("StopsDuringStart",
            Registered(kStopped,
                       {{0, SERVICE_START_PENDING, 1, 3000}, {1500, SERVICE_STOPPED, 0, 0, 1066}}),
            NotStarted(1, 1066, 0, 0), StartWait(2)),
        Row("StartWithoutProgress", kStuckStart, NotStarted(2, 0, 1, 3000), StartWait(4)),
        Row("StartWithoutProgressAcrossTheWrap", kStuckStart, NotStarted(2, 0, 1, 3000),
            StartWait(4), 0xFFFFF800u),
        // This system's own service: running, without controls, through a first pass of 5 s.
        Row("OwnServiceWithALongFirstPass",
            Registered(kStopped, {kManagersRecord,
                                  {300, SERVICE_START_PENDING, 1, 3000, NO_ERROR, 0},
                                  {400, SERVICE_RUNNING, 0, 0, NO_ERROR, 0},
                                  {5400, SERVICE_RUNNING}}),
            kStarted, StartWait(1)),
        Row("NeverReportsAfterTheStart", Registered(kStopped, {kManagersRecord}),
            NotStarted(2, 0, 0, 2000), StartWait(3)),
        Row("HintZeroStillSleepsASecond", Registered(kStopped, {{0, SERVICE_START_PENDING, 1, 0}}),
            NotStarted(2, 0, 1, 0), StartWait(1)),
        // Failures.
        Row("NotElevated", Unelevated(Registered(kRunning)), {"OpenSCManager failed (5)"},
            {kOpenScm}),
        Row("NotRegistered", kNothing, {"OpenService failed (1060)"}, Cat({kOpen, kCloseScm}), 0,
            false),
        Row("FirstQueryFails", QueryFails(1, ERROR_INVALID_HANDLE, Registered()),
            {"QueryServiceStatusEx failed (6)"}, Calls({kQuery})),
        Row("QueryWhileStopPendingFails",
            QueryFails(2, ERROR_ACCESS_DENIED, Registered({kStopPending})), {kQueryFailed},
            Calls({kQuery, kTick, SleepFor(1000), kQuery})),
        Row("StartRequestFails", Failing("StartServiceW", 1, 1058, Registered()),
            {"StartService failed (1058)"}, Calls({kQuery, kTick, kStart})),
        Row("QueryAfterTheStartRequestFails", QueryFails(2, ERROR_ACCESS_DENIED, Registered()),
            {"Service start pending...", kQueryFailed}, Calls({kQuery, kTick, kStart, kQuery})),
        Row("QueryWhileStartPendingFails",
            QueryFails(3, ERROR_ACCESS_DENIED,
                       Registered(kStopped, {{0, SERVICE_START_PENDING, 1, 3000}})),
            NotStartedAfterAFailedQuery(),
            Calls(Cat({kFirstQuery, kStartAndQuery, {SleepFor(1000), kQuery}})))),
    CaseName);

} // namespace
