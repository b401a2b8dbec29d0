// Shared by the parts of the simulated Windows; not for tests.
#pragma once

#include "scm.h"
#include "world.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>

namespace sim::detail {

std::recursive_mutex& WorldLock();

// Counts a call of op and tells whether a fault was scheduled for it.
bool Fault(const char* op, DWORD* code);
void Record(const std::string& line);

std::string Quote(const WCHAR* text);
std::string Quote(const char* text);
std::string Hex(std::uint64_t value, int digits = 8);
std::string Ptr(const void* p);

inline void Arg(std::ostringstream&) {}
template <typename T, typename... R>
void Arg(std::ostringstream& out, const T& first, const R&... rest) {
    out << first;
    if (sizeof...(rest) > 0)
        out << ", ";
    Arg(out, rest...);
}

// Journals op(args...) and tells whether a fault was scheduled for this call.
template <typename... A> bool Call(const char* op, DWORD* code, const A&... args) {
    std::ostringstream line;
    line << op << "(";
    Arg(line, args...);
    line << ")";
    Record(line.str());
    return Fault(op, code);
}

// Maps a Windows path below C:\ to the host; false for any other path.
bool ToHost(const WString& path, std::string* host);
// Windows compares names, paths and IDs without regard to the case of ASCII letters.
inline WCHAR FoldAscii(WCHAR c) {
    return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - u'a' + u'A') : c;
}
WString Upper(const WString& text);

// The string a descriptor was made from; "" for none.
std::string DescriptorSddl(const void* descriptor);

// The threads of a service process that runs in this process. Its own work takes no virtual
// time: before the clock moves on, or the manager answers about it, every one of its threads
// must wait inside the platform for something that only another thread or the test can bring
// about, or have ended.
// Counts a thread that is about to be created for the process; the new thread adopts it.
void ReserveServiceProcessThread();
void AdoptServiceProcessThread();
// The calling thread joins the process, if it is not in one yet: true when it joined now.
bool JoinServiceProcess();
// The calling thread leaves the process for good.
void LeaveServiceProcess();
// A wait inside the platform: on `changed`, under guard, until woken() holds. A thread of a
// service process counts as waiting meanwhile; woken is also read, under guard's lock, by
// whoever settles the processes, perhaps after the wait is over, so it must not refer to the
// caller's locals.
void WaitInPlatform(std::unique_lock<std::mutex>& guard, std::condition_variable& changed,
                    const std::function<bool()>& woken);
// Returns once every service process in this process waits or has ended; at once on a thread
// of such a process.
void SettleServiceProcesses();
// Service mains the dispatcher has started and service processes ended (EndServiceProcess),
// counted together; a wait until the count has gone beyond `since`.
std::size_t ServiceStartsSettled();
void WaitForServiceStartSettled(std::size_t since);
void EndServiceProcess();

// Hooks that the other parts register so that Reset() clears them too.
void ResetFiles();
// Closes every file handle still open; called by ResetFiles.
void ResetFileHandles();
void ResetRegistry();
void ResetSecurity();
void ResetDevices();
void ResetInfFolder();
void ResetStandardStreams();
void ResetNotifications();
void ResetServiceProcess();
void ResetEvents();
void ResetLocks();
void ResetServices();
void ResetServiceBindings();

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
};
bool DeviceOfSet(HDEVINFO set, const SP_DEVINFO_DATA* data, DeviceFacts* facts);
bool DeviceOfInstance(DWORD devInst, DeviceFacts* facts);
// The name under which an installed package's INF shows in a driver key: the name it was
// published under, or its own file name.
WString InstalledInfName(const WString& fullInfPath);
// Opens a registry key for the caller without journalling the open.
HKEY OpenRegKeyQuietly(const WString& path);
// Whether handle is a standard stream; if so, writes to it as WriteFile does.
bool IsStandardStream(HANDLE handle);
BOOL WriteStandardStream(HANDLE handle, const void* buffer, DWORD bytes, LPDWORD written);

} // namespace sim::detail
