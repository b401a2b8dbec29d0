#include "command_fixture.h"

namespace {

class StartTest : public CommandTableTest {};

TEST_P(StartTest, FollowsTheServiceToItsOutcome) {
    Check(StartServiceCommand);
}

const Lines kOpen = {kOpenScm, OpenService("0x000F01FF")};
const std::string kStart = "StartServiceW(svc, 0, NULL)";
const Lines kAlreadyRunning = {"Cannot start the service because it is already running"};
const Lines kStarted = {"Service start pending...", "Service started successfully."};

Lines Pass(DWORD sleep) {
    return {SleepFor(sleep), kQuery, kTick};
}

Lines NotStarted(int state, int exitCode, int checkPoint, int waitHint) {
    return {"Service start pending...",
            "Service not started. ",
            "  Current State: " + std::to_string(state),
            "  Exit Code: " + std::to_string(exitCode),
            "  Check Point: " + std::to_string(checkPoint),
            "  Wait Hint: " + std::to_string(waitHint)};
}

void AddWith(const sim::Timeline& now, const sim::Timeline& onStart = {{0, SERVICE_RUNNING}}) {
    sim::AddService(ServiceName, Script(now, onStart));
}

// Stop-pending with a rising check point every second for ten seconds, then stopped.
void AddRisingStop() {
    sim::Timeline now;
    for (DWORD k = 0; k < 10; ++k)
        now.push_back({k * 1000, SERVICE_STOP_PENDING, k + 1, 2000});
    now.push_back({10000, SERVICE_STOPPED, 11});
    AddWith(now);
}

// This system's own service: start-pending with hint 3000 and no check-point progress while
// its first repair pass runs.
void AddOwnService() {
    AddWith({{0, SERVICE_STOPPED}},
            {{0, SERVICE_START_PENDING, 1, 3000}, {10000, SERVICE_RUNNING}});
}

const Lines kOwnServiceCalls =
    Cat({kOpen, {kQuery, kTick, kStart, kQuery, kTick}, Repeat(Pass(1000), 4), kCloseBoth});
const Lines kRisingStopCalls =
    Cat({kOpen, {kQuery, kTick}, Repeat(Pass(1000), 10), {kStart, kQuery, kTick}, kCloseBoth});

INSTANTIATE_TEST_SUITE_P(
    Start, StartTest,
    ::testing::Values(
        CommandCase{"Running", [] { AddWith({{0, SERVICE_RUNNING}}); }, kAlreadyRunning,
                    Cat({kOpen, {kQuery}, kCloseBoth})},
        CommandCase{"Paused", [] { AddWith({{0, SERVICE_PAUSED}}); }, kAlreadyRunning,
                    Cat({kOpen, {kQuery}, kCloseBoth})},
        CommandCase{"StartPending", [] { AddWith({{0, SERVICE_START_PENDING, 1, 3000}}); },
                    kAlreadyRunning, Cat({kOpen, {kQuery}, kCloseBoth})},
        CommandCase{"StoppedComesUp",
                    [] {
                        AddWith({{0, SERVICE_STOPPED}}, {{0, SERVICE_START_PENDING, 1, 3000},
                                                         {1500, SERVICE_RUNNING}});
                    },
                    kStarted,
                    Cat({kOpen, {kQuery, kTick, kStart, kQuery, kTick}, Repeat(Pass(1000), 2),
                         kCloseBoth})},
        CommandCase{"PendingStopFinishesWithinItsHint",
                    [] {
                        AddWith({{0, SERVICE_STOP_PENDING, 1, 2000},
                                 {1500, SERVICE_STOPPED, 0, 2000}});
                    },
                    kStarted,
                    Cat({kOpen, {kQuery, kTick}, Repeat(Pass(1000), 2), {kStart, kQuery, kTick},
                         kCloseBoth})},
        // A stop that finished without progress and after its hint ran out is still a
        // finished stop, not a timeout.
        CommandCase{"PendingStopFinishedAfterItsHint",
                    [] {
                        AddWith(
                            {{0, SERVICE_STOP_PENDING, 1, 2000}, {1500, SERVICE_STOPPED, 0, 0}});
                    },
                    kStarted,
                    Cat({kOpen, {kQuery, kTick}, Repeat(Pass(1000), 2), {kStart, kQuery, kTick},
                         kCloseBoth})},
        CommandCase{"PendingStopTimesOutAtItsHint",
                    [] { AddWith({{0, SERVICE_STOP_PENDING, 1, 2000}}); },
                    {"Timeout waiting for service to stop"},
                    Cat({kOpen, {kQuery, kTick}, Repeat(Pass(1000), 3), kCloseBoth})},
        CommandCase{"PendingStopRaisingItsCheckPoint", AddRisingStop, kStarted, kRisingStopCalls},
        CommandCase{"PendingStopRaisingItsCheckPointAcrossTheWrap", AddRisingStop, kStarted,
                    kRisingStopCalls, 0xFFFFEC00u},
        CommandCase{"PendingStopTurnsIntoRunning",
                    [] {
                        AddWith({{0, SERVICE_STOP_PENDING, 1, 2000}, {1500, SERVICE_RUNNING, 2}});
                    },
                    {"StartService failed (1056)"},
                    Cat({kOpen, {kQuery, kTick}, Repeat(Pass(1000), 2), {kStart}, kCloseBoth})},
        CommandCase{"StopsDuringStart",
                    [] {
                        AddWith({{0, SERVICE_STOPPED}}, {{0, SERVICE_START_PENDING, 1, 3000},
                                                         {1500, SERVICE_STOPPED, 0, 0, 1066}});
                    },
                    NotStarted(1, 1066, 0, 0),
                    Cat({kOpen, {kQuery, kTick, kStart, kQuery, kTick}, Repeat(Pass(1000), 2),
                         kCloseBoth})},
        CommandCase{"OwnServiceWithoutProgress", AddOwnService, NotStarted(2, 0, 1, 3000),
                    kOwnServiceCalls},
        CommandCase{"OwnServiceWithoutProgressAcrossTheWrap", AddOwnService,
                    NotStarted(2, 0, 1, 3000), kOwnServiceCalls, 0xFFFFF800u},
        CommandCase{"HintZeroStillSleepsASecond",
                    [] {
                        AddWith({{0, SERVICE_STOPPED}}, {{0, SERVICE_START_PENDING, 1, 0}});
                    },
                    NotStarted(2, 0, 1, 0),
                    Cat({kOpen, {kQuery, kTick, kStart, kQuery, kTick}, Pass(1000), kCloseBoth})},
        // Failures.
        CommandCase{"NotElevated",
 [] {
 AddWith({{0, SERVICE_RUNNING}});
 sim::SetElevated(false);
 }, {"OpenSCManager failed (5)"},
                    {kOpenScm}},
        CommandCase{"NotRegistered", [] {}, {"OpenService failed (1060)"},
                    Cat({kOpen, kCloseScm}), 0, false},
        CommandCase{"FirstQueryFails",
                    [] {
                        AddWith({{0, SERVICE_STOPPED}});
                        sim::FailNext("QueryServiceStatusEx", ERROR_INVALID_HANDLE);
                    },
                    {"QueryServiceStatusEx failed (6)"}, Cat({kOpen, {kQuery}, kCloseBoth})},
        CommandCase{"QueryWhileStopPendingFails",
                    [] {
                        AddWith({{0, SERVICE_STOP_PENDING, 1, 2000}});
                        sim::FailNth("QueryServiceStatusEx", 2, ERROR_ACCESS_DENIED);
                    },
                    {"QueryServiceStatusEx failed (5)"},
                    Cat({kOpen, {kQuery, kTick, SleepFor(1000), kQuery}, kCloseBoth})},
        CommandCase{"StartRequestFails",
                    [] {
                        AddWith({{0, SERVICE_STOPPED}});
                        sim::FailNext("StartServiceW", 1058);
                    },
                    {"StartService failed (1058)"},
                    Cat({kOpen, {kQuery, kTick, kStart}, kCloseBoth})},
        CommandCase{"QueryAfterTheStartRequestFails",
                    [] {
                        AddWith({{0, SERVICE_STOPPED}});
                        sim::FailNth("QueryServiceStatusEx", 2, ERROR_ACCESS_DENIED);
                    },
                    {"Service start pending...", "QueryServiceStatusEx failed (5)"},
                    Cat({kOpen, {kQuery, kTick, kStart, kQuery}, kCloseBoth})},
        // The report reads the status that the last good query left.
        CommandCase{"QueryWhileStartPendingFails",
                    [] {
                        AddWith({{0, SERVICE_STOPPED}}, {{0, SERVICE_START_PENDING, 1, 3000}});
                        sim::FailNth("QueryServiceStatusEx", 3, ERROR_ACCESS_DENIED);
                    },
                    [] {
                        Lines log = NotStarted(2, 0, 1, 3000);
                        log.insert(log.begin() + 1, "QueryServiceStatusEx failed (5)");
                        return log;
                    }(),
                    Cat({kOpen, {kQuery, kTick, kStart, kQuery, kTick, SleepFor(1000), kQuery},
                         kCloseBoth})}),
    CaseName);

} // namespace
