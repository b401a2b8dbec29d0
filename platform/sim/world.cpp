#include "internal.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <unistd.h>

const GUID GUID_DEVCLASS_SMARTCARDREADER = {
    0x50dd5230, 0xba8a, 0x11d1, {0xbf, 0x5d, 0x00, 0x00, 0xf8, 0x05, 0xf5, 0x30}};

namespace sim {
namespace {

struct Faults {
    std::map<std::string, unsigned> calls;
    std::map<std::pair<std::string, unsigned>, DWORD> scheduled; // by call number
    std::map<std::string, DWORD> always;
};

struct World {
    std::string root;
    std::vector<std::string> journal;
    Faults faults;
    DWORD pid = 4242;
    DWORD ticks = 0;
    std::optional<std::tm> localTime;
};

World theWorld;
thread_local DWORD lastError = 0;

} // namespace

namespace detail {

std::recursive_mutex& WorldLock() {
    static std::recursive_mutex lock;
    return lock;
}

std::optional<DWORD> Fault(const char* op) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Faults& f = theWorld.faults;
    auto always = f.always.find(op);
    auto nth = f.scheduled.find({op, ++f.calls[op]});
    if (always != f.always.end())
        return always->second;
    return nth == f.scheduled.end() ? std::nullopt : std::optional<DWORD>(nth->second);
}

void Record(const std::string& line) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theWorld.journal.push_back(line);
}

[[noreturn]] void Abort(const std::string& why) {
    std::fprintf(stderr, "sim: %s\n", why.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string Quote(const WCHAR* text) {
    if (text == nullptr)
        return "NULL";
    return "\"" + Utf16ToUtf8(text) + "\"";
}

std::string Quote(const char* text) {
    if (text == nullptr)
        return "NULL";
    return std::string("\"") + text + "\"";
}

std::string Hex(std::uint64_t value, int digits) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%0*llX", digits,
                  static_cast<unsigned long long>(value));
    return buffer;
}

std::string Ptr(const void* p) {
    if (p == nullptr)
        return "NULL";
    return Hex(reinterpret_cast<std::uintptr_t>(p), 16);
}

WString Upper(const WString& text) {
    WString out = text;
    for (auto& c : out)
        c = FoldAscii(c);
    return out;
}

bool ToHost(const WString& path, std::string* host) {
    if (path.size() < 3 || (path[0] != u'C' && path[0] != u'c') || path[1] != u':' ||
        path[2] != u'\\')
        return false;
    std::string rest = Utf16ToUtf8(path.substr(3));
    for (auto& c : rest) {
        if (c == '\\')
            c = '/';
    }
    *host = theWorld.root + "/C/" + rest;
    return true;
}

} // namespace detail

void Reset() {
    std::lock_guard<std::recursive_mutex> guard(detail::WorldLock());
    World& w = theWorld;
    if (!w.root.empty())
        std::filesystem::remove_all(w.root);
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/simwin.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (mkdtemp(buffer.data()) == nullptr)
        detail::Abort("no temporary folder for the world");
    w.root = buffer.data();
    w.journal.clear();
    w.faults = Faults{};
    w.pid = 4242;
    w.ticks = 0;
    w.localTime.reset();
    lastError = 0;
    detail::ResetRegistry();
    detail::ResetFiles();
    detail::ResetSecurity();
    detail::ResetDevices();
    detail::ResetInfFolder();
    detail::ResetStandardStreams();
    detail::ResetNotifications();
    detail::ResetServiceProcess();
    detail::ResetSync();
    detail::ResetServices();
    MakeDir(WSTR("C:\\Windows\\Temp"));
    MakeDir(WSTR("C:\\Windows\\System32"));
}

void Cleanup() {
    std::lock_guard<std::recursive_mutex> guard(detail::WorldLock());
    World& w = theWorld;
    if (!w.root.empty())
        std::filesystem::remove_all(w.root);
    w.root.clear();
}

std::vector<std::string> Journal() {
    std::lock_guard<std::recursive_mutex> guard(detail::WorldLock());
    return theWorld.journal;
}

std::vector<std::string> JournalOf(const std::string& op) {
    std::vector<std::string> out;
    for (const auto& line : Journal()) {
        if (line.compare(0, op.size() + 1, op + "(") == 0)
            out.push_back(line);
    }
    return out;
}

std::vector<std::string> JournalOps() {
    std::vector<std::string> out;
    for (const auto& line : Journal())
        out.push_back(line.substr(0, line.find('(')));
    return out;
}

void ClearJournal() {
    std::lock_guard<std::recursive_mutex> guard(detail::WorldLock());
    theWorld.journal.clear();
}

void FailNth(const std::string& op, unsigned n, DWORD code) {
    std::lock_guard<std::recursive_mutex> guard(detail::WorldLock());
    Faults& f = theWorld.faults;
    f.scheduled[{op, f.calls[op] + n}] = code;
}

void FailAlways(const std::string& op, DWORD code) {
    std::lock_guard<std::recursive_mutex> guard(detail::WorldLock());
    theWorld.faults.always[op] = code;
}

std::string HostPath(const WString& windowsPath) {
    std::lock_guard<std::recursive_mutex> guard(detail::WorldLock());
    std::string host;
    if (!detail::ToHost(windowsPath, &host))
        detail::Abort("not a C:\\ path: " + Utf16ToUtf8(windowsPath));
    return host;
}

void SetProcessId(DWORD pid) {
    std::lock_guard<std::recursive_mutex> guard(detail::WorldLock());
    theWorld.pid = pid;
}

void SetTicks(DWORD ticks) {
    std::lock_guard<std::recursive_mutex> guard(detail::WorldLock());
    theWorld.ticks = ticks;
}

DWORD Ticks() {
    std::lock_guard<std::recursive_mutex> guard(detail::WorldLock());
    return theWorld.ticks;
}

void SetLocalTime(const std::tm& tm) {
    std::lock_guard<std::recursive_mutex> guard(detail::WorldLock());
    theWorld.localTime = tm;
}

} // namespace sim

using sim::theWorld;

// Far more Sleep(0) calls in a row than any loop of the system makes while it waits for
// another thread.
constexpr unsigned kFrozenPolls = 10000;

DWORD GetLastError() {
    return sim::lastError;
}

void SetLastError(DWORD code) {
    sim::lastError = code;
}

DWORD GetCurrentProcessId() {
    sim::detail::Call("GetCurrentProcessId");
    std::lock_guard<std::recursive_mutex> guard(sim::detail::WorldLock());
    return theWorld.pid;
}

DWORD GetTickCount() {
    sim::detail::Call("GetTickCount");
    std::lock_guard<std::recursive_mutex> guard(sim::detail::WorldLock());
    return theWorld.ticks;
}

void Sleep(DWORD milliseconds) {
    sim::detail::Call("Sleep", milliseconds);
    // Time passes only once a service process running here has done what it can.
    const std::string deadlock = sim::detail::SettleBeforeSleep(milliseconds);
    std::lock_guard<std::recursive_mutex> guard(sim::detail::WorldLock());
    theWorld.ticks += milliseconds; // wraps like the real tick count
    // On Windows real time passes across Sleep(0) too, so a thread that polls with it meets
    // its own time budget (the 30 seconds of a stop, say) at last. Here only a sleep for a
    // time moves the clock: a thread that keeps polling without one would spin for ever.
    thread_local unsigned frozen = 0;
    thread_local DWORD frozenAt = 0;
    frozen = milliseconds == 0 && frozenAt == theWorld.ticks ? frozen + 1 : 0;
    frozenAt = theWorld.ticks;
    if (frozen == kFrozenPolls)
        sim::detail::Abort("a thread polls with Sleep(0) while virtual time cannot move" +
                           (deadlock.empty() ? "" : ": " + deadlock));
}

int lstrcmpiW(LPCWSTR a, LPCWSTR b) {
    // Letter case is folded for ASCII only; that is all the command words need.
    auto fold = [](WCHAR c) { return static_cast<int>(sim::detail::FoldAscii(c)); };
    for (;; ++a, ++b) {
        int d = fold(*a) - fold(*b);
        if (d != 0)
            return d < 0 ? -1 : 1;
        if (*a == 0)
            return 0;
    }
}

errno_t localtime_s(std::tm* result, const std::time_t* time) {
    if (auto code = sim::detail::Fault("localtime_s"))
        return static_cast<errno_t>(*code);
    std::lock_guard<std::recursive_mutex> guard(sim::detail::WorldLock());
    if (theWorld.localTime) {
        *result = *theWorld.localTime;
        return 0;
    }
    return localtime_r(time, result) != nullptr ? 0 : 22;
}
