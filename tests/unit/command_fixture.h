// The service control commands against the simulated control manager, with logging on.
#pragma once

#include "commands/commands.h"
#include "fixture.h"
#include "platform/sim/scm.h"
#include "service/service_name.h"

#include <cctype>
#include <functional>
#include <ostream>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

class CommandTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        OpenLogWithSwitchOn();
        sim::ClearJournal();
    }
};

using Lines = std::vector<std::string>;

// The calls a command made to the control manager, the clock and its module, in order. The
// handles are named by their first appearance: the manager "scm", the service "svc".
inline Lines CommandCalls() {
    static const std::set<std::string> ops = {
        "GetModuleFileNameW", "OpenSCManagerW",     "CreateServiceW", "ChangeServiceConfig2W",
        "StartServiceW",      "OpenServiceW",       "DeleteService",  "QueryServiceStatusEx",
        "ControlService",     "CloseServiceHandle", "GetTickCount",   "Sleep"};
    const char* const names[] = {"scm", "svc"};
    std::vector<std::string> seen;
    Lines calls;
    for (std::string line : sim::Journal()) {
        if (ops.count(line.substr(0, line.find('('))) == 0)
            continue;
        // A handle is "0x" and 16 hex digits; access masks and types have 8.
        for (std::size_t at = line.find("0x"); at != std::string::npos;
             at = line.find("0x", at + 1)) {
            std::size_t end = at + 2;
            while (end < line.size() && std::isxdigit(static_cast<unsigned char>(line[end])))
                ++end;
            if (end - at != 18)
                continue;
            const std::string handle = line.substr(at, 18);
            std::size_t index = 0;
            while (index < seen.size() && seen[index] != handle)
                ++index;
            if (index == seen.size())
                seen.push_back(handle);
            if (index < 2)
                line.replace(at, 18, names[index]);
        }
        calls.push_back(line);
    }
    return calls;
}

inline Lines Cat(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline Lines Repeat(const Lines& part, int times) {
    Lines all;
    for (int i = 0; i < times; ++i)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline const std::string kOpenScm = "OpenSCManagerW(NULL, NULL, 0x000F003F)";
inline const std::string kQuery = "QueryServiceStatusEx(svc, 0, &status, 36, &needed)";
inline const std::string kTick = "GetTickCount()";
inline const Lines kCloseBoth = {"CloseServiceHandle(svc)", "CloseServiceHandle(scm)"};
inline const Lines kCloseScm = {"CloseServiceHandle(scm)"};

inline std::string SleepFor(DWORD ms) {
    return "Sleep(" + std::to_string(ms) + ")";
}

inline std::string OpenService(const char* access) {
    return std::string("OpenServiceW(scm, \"RUVERODAzaroda\", ") + access + ")";
}

inline sim::ServiceScript Script(sim::Timeline now, sim::Timeline onStart = {{0, SERVICE_RUNNING}},
                                 sim::Timeline onStop = {{0, SERVICE_STOPPED}}) {
    sim::ServiceScript script;
    script.now = std::move(now);
    script.onStart = std::move(onStart);
    script.onStop = std::move(onStop);
    return script;
}

// What a row sets up before its command runs.
using Arrange = std::function<void()>;

inline const Arrange kNothing = [] {};
inline const sim::Timeline kStopped = {{0, SERVICE_STOPPED}};
inline const sim::Timeline kRunning = {{0, SERVICE_RUNNING}};

inline Arrange Registered(sim::Timeline now = kStopped, sim::Timeline onStart = kRunning,
                          sim::Timeline onStop = kStopped) {
    return [script = Script(std::move(now), std::move(onStart), std::move(onStop))] {
        sim::AddService(ServiceName, script);
    };
}

// The nth call of op fails with error, after arrange has run.
inline Arrange Failing(const char* op, unsigned nth, DWORD error, Arrange arrange = kNothing) {
    return [=] {
        arrange();
        sim::FailNth(op, nth, error);
    };
}

inline Arrange QueryFails(unsigned nth, DWORD error, Arrange arrange) {
    return Failing("QueryServiceStatusEx", nth, error, std::move(arrange));
}

inline Arrange Unelevated(Arrange arrange = kNothing) {
    return [=] {
        arrange();
        sim::SetElevated(false);
    };
}

// One row of a command table: the world before the command, then the log entries and the
// calls expected of it.
struct CommandCase {
    const char* name;
    Arrange arrange;
    Lines log;
    Lines calls;
    DWORD ticks = 0;          // the clock when the command begins
    bool serviceAfter = true; // whether the service is registered afterwards
};
inline CommandCase Row(const char* name, Arrange arrange, Lines log, Lines calls, DWORD ticks = 0,
                       bool serviceAfter = true) {
    return {name, std::move(arrange), std::move(log), std::move(calls), ticks, serviceAfter};
}

inline void PrintTo(const CommandCase& c, std::ostream* out) {
    *out << c.name;
}

class CommandTableTest : public CommandTest, public ::testing::WithParamInterface<CommandCase> {
  protected:
    // Runs command in the row's world and checks what it logged and called, and that it
    // closed every handle it opened.
    void Check(void (*command)()) {
        const CommandCase& c = GetParam();
        sim::SetTicks(c.ticks);
        c.arrange();
        sim::ClearJournal();
        command();
        EXPECT_EQ(LogEntries(), c.log);
        EXPECT_EQ(CommandCalls(), c.calls);
        EXPECT_EQ(sim::OpenServiceHandles(), 0u);
        EXPECT_EQ(sim::ServiceExists(ServiceName), c.serviceAfter);
    }
};

inline std::string CaseName(const ::testing::TestParamInfo<CommandCase>& info) {
    return info.param.name;
}
