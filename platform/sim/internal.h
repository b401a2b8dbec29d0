// Shared by the parts of the simulated Windows; not for tests. See README.md.
#pragma once

#include "scm.h"

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace sim::detail {

std::recursive_mutex& WorldLock();

// Counts a call of op and gives the code of a fault scheduled for it, if any.
std::optional<DWORD> Fault(const char* op);
void Record(const std::string& line);

std::string Quote(const WCHAR* text);
std::string Quote(const char* text);
std::string Hex(std::uint64_t value, int digits = 8);
std::string Ptr(const void* p);
// How the journal shows a pointer argument: NULL, or what it points to.
template <typename P> const char* Out(const P& p, const char* name) {
    return p == nullptr ? "NULL" : name;
}

inline void Arg(std::ostringstream&) {}
template <typename T, typename... R>
void Arg(std::ostringstream& out, const T& first, const R&... rest) {
    out << first;
    if (sizeof...(rest) > 0)
        out << ", ";
    Arg(out, rest...);
}

// Journals op(args...) and gives the code of a fault scheduled for this call, if any.
template <typename... A> std::optional<DWORD> Call(const char* op, const A&... args) {
    std::ostringstream line;
    line << op << "(";
    Arg(line, args...);
    line << ")";
    Record(line.str());
    return Fault(op);
}

// The same for an operation that reports through the last error: a scheduled fault sets it,
// and the caller returns its failure value.
template <typename... A> bool Faulted(const char* op, const A&... args) {
    const std::optional<DWORD> code = Call(op, args...);
    if (code)
        SetLastError(*code);
    return code.has_value();
}

// Sets the last error and gives the operation's failure value.
template <typename R = BOOL> R Fail(DWORD code, R failure = R{}) {
    SetLastError(code);
    return failure;
}

// Handles of one kind, numbered upwards from a base of their own, so that the journal tells
// the kinds apart; the caller keeps the table under its part's lock.
template <typename T> class HandleTable {
  public:
    explicit HandleTable(std::uintptr_t base) : next_(base) {}
    template <typename H = HANDLE> H Add(T value) { return Put<H>(next_++, std::move(value)); }
    // Under a handle of the test's choosing.
    template <typename H = HANDLE> H Put(std::uintptr_t handle, T value) {
        open_[handle] = std::move(value);
        return reinterpret_cast<H>(handle);
    }
    T* Find(const void* handle) {
        auto it = open_.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == open_.end() ? nullptr : &it->second;
    }
    bool Close(const void* handle) {
        return open_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1;
    }
    std::map<std::uintptr_t, T>& All() { return open_; }
    std::size_t Size() const { return open_.size(); }

  private:
    std::map<std::uintptr_t, T> open_;
    std::uintptr_t next_;
};

// Maps a Windows path below C:\ to the host; false for any other path.
bool ToHost(const WString& path, std::string* host);
// Windows compares names, paths and IDs without regard to the case of ASCII letters.
inline WCHAR FoldAscii(WCHAR c) {
    return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - u'a' + u'A') : c;
}
WString Upper(const WString& text);

// The string a descriptor was made from; "" for none.
std::string DescriptorSddl(const void* descriptor);

// Ends the test run with a message: a wait that can never end, or a rule broken.
[[noreturn]] void Abort(const std::string& why);

// The threads of a service process that runs in this process (service_process.cpp). Its own
// work takes no virtual time: before the clock moves on, or the manager answers about it,
// every one of its threads must wait inside the platform for something that only another
// thread or the test can bring about, or have ended.
//
// A wait inside the platform: on `changed`, under guard, until woken() holds; `what` names
// it when the wait cannot end; a wait at a gate is one that the test ends. A thread of a
// service process counts as waiting meanwhile;
// woken is also read, under guard's lock, by whoever settles the processes, perhaps after
// the wait is over, so it must not refer to the caller's locals.
void WaitInPlatform(std::unique_lock<std::mutex>& guard, std::condition_variable& changed,
                    const std::function<bool()>& woken, const char* what, bool atGate = false);
// A wait (of the test, or of a thread of the service process) for what another thread does:
// ends the run, naming the wait, when it does not come in real time, sooner for the test.
void Await(std::unique_lock<std::mutex>& guard, std::condition_variable& changed,
           const std::function<bool()>& done, const char* what);
// Returns once every service process in this process waits or has ended; at once on a thread
// of such a process.
void SettleServiceProcesses();
// A thread of the service process, counted as running from now on.
std::thread ProcessThread(std::function<void()> body);
// Settles the service processes before a Sleep of the calling thread moves the clock; gives
// why they can no longer move without the test, or "".
std::string SettleBeforeSleep(DWORD milliseconds);

// A point inside a simulated call where a test can hold the calling threads, to force an
// order of events: while held, every thread that reaches the point waits there until the
// test releases it. Kept apart from the world's lock, so that the rest of the simulated
// platform stays usable meanwhile.
class Gate {
  public:
    explicit Gate(const char* what) : what_(what) {}
    void Hold() {
        std::lock_guard<std::mutex> guard(lock_);
        holding_ = true;
    }
    void Release() {
        std::lock_guard<std::mutex> guard(lock_);
        holding_ = false;
        changed_.notify_all();
    }
    // Waits until this many threads are held at the same time.
    void WaitForHeld(std::size_t count) {
        std::unique_lock<std::mutex> guard(lock_);
        Await(
            guard, changed_, [&] { return held_ >= count; }, what_);
    }
    std::size_t Held() {
        std::lock_guard<std::mutex> guard(lock_);
        return held_;
    }
    // Where a calling thread passes, or waits while the gate is held.
    void Pass() {
        std::unique_lock<std::mutex> guard(lock_);
        if (!holding_)
            return;
        ++held_;
        changed_.notify_all();
        WaitInPlatform(
            guard, changed_, [this] { return !holding_; }, what_, true);
        --held_;
    }
    // A thread still held would outlive its test.
    void Reset() {
        std::lock_guard<std::mutex> guard(lock_);
        if (held_ != 0)
            Abort(std::string("a thread is still held: ") + what_);
        holding_ = false;
    }

  private:
    const char* what_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool holding_ = false;
    std::size_t held_ = 0;
};

// What a simulated service reports and how it reacts is a driver of its own, so that the
// control manager's checks stay the same whether a test's script or a service process
// running here answers. The manager makes its own checks first and calls these with the
// current tick.
struct ServiceDriver {
    std::function<SERVICE_STATUS_PROCESS(DWORD now)> status;
    // A start request was accepted; gives the request's error.
    std::function<DWORD(DWORD now)> start;
    // A control that the service accepts; gives the control's error.
    std::function<DWORD(DWORD control)> control;
};
// The driver of a service bound to a service process in this process, if it is bound.
std::optional<ServiceDriver> BoundServiceDriver(const WString& name);
// Gives a registered service its bound driver; nothing for one not registered (yet).
void RebindService(const WString& name);

// Hooks that the other parts register so that Reset() clears them too, and that check at the
// end of a test that nothing outlives it.
void ResetFiles();
void ResetFileHandles();
void ResetRegistry();
void ResetSecurity();
void ResetDevices();
void ResetInfFolder();
void ResetStandardStreams();
void ResetNotifications();
void ResetServiceProcess();
void ResetSync();
void ResetServices();

// The record of the service a handle with this access refers to; null with the last error
// set otherwise. Under the world's lock.
sim::ServiceRecord* RecordOfHandle(SC_HANDLE handle, DWORD access);

// What the other device calls need of the device that a record names in an open set, or of a
// device instance; false when there is none. Under the world's lock.
struct DeviceFacts {
    DWORD devInst = 0;
    WString instanceId;
    WString infName; // the driver key's InfPath; empty without a driver
    bool restartPending = false;
    ULONG problem = 0;
};
bool DeviceOfSet(HDEVINFO set, const SP_DEVINFO_DATA* data, DeviceFacts* facts);
bool DeviceOfInstance(DWORD devInst, DeviceFacts* facts);
// The name under which an installed package's INF shows in a driver key: the name it was
// published under, or its own file name.
WString InstalledInfName(const WString& fullInfPath);
// Whether an event handle is open; signals it as SetEvent does, without journal or gate.
bool EventExists(HANDLE event);
void SignalEvent(HANDLE event);
// Opens a registry key for the caller without journalling the open.
HKEY OpenRegKeyQuietly(const WString& path);
// Whether handle is a standard stream; if so, writes to it as WriteFile does.
bool IsStandardStream(HANDLE handle);
BOOL WriteStandardStream(HANDLE handle, const void* buffer, DWORD bytes, LPDWORD written);

} // namespace sim::detail
