// The simulated Windows as the tests see it: set up a world, run the system against it,
// then inspect what it did. Reset() gives every test a fresh world.
#pragma once

#include "platform_api.h"
#include "../text.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace sim {

// A fresh world: a new temporary folder for C:\ (with C:\Windows\Temp and
// C:\Windows\System32 in it), an empty registry, an empty journal, no faults, tick 0,
// process ID 4242, no devices, no notification registrations, no services, an elevated
// caller (see scm.h).
void Reset();
// Removes the world's folder; for the end of a test run.
void Cleanup();

// Every platform call the system made since the last reset, in order, one line each,
// e.g. RegCloseKey(0x0000000000001000). Strings are quoted and given in UTF-8.
std::vector<std::string> Journal();
// The journal lines of one operation.
std::vector<std::string> JournalOf(const std::string& op);
// The operation names of the journal, in order.
std::vector<std::string> JournalOps();
void ClearJournal();

// The n-th call of op from now on (1 = the next one) fails with code.
void FailNth(const std::string& op, unsigned n, DWORD code);
inline void FailNext(const std::string& op, DWORD code) {
    FailNth(op, 1, code);
}
// Every call of op from now on fails with code.
void FailAlways(const std::string& op, DWORD code);

// Registry, HKEY_LOCAL_MACHINE only, where SOFTWARE always exists. A key is made with every
// key above it; each change is reported to the registrations of RegNotifyChangeKeyValue
// that ask for it.
void CreateRegKey(const WString& key);
void SetRegValue(const WString& key, const WString& name, DWORD type,
                 const std::vector<std::uint8_t>& data);
void SetRegDword(const WString& key, const WString& name, DWORD value);
void DeleteRegValue(const WString& key, const WString& name);
// The key with all its subkeys, as reg delete does.
void DeleteRegTree(const WString& key);
bool RegKeyExists(const WString& key);
// Open keys not yet closed; registrations that have not signalled yet.
std::size_t OpenRegKeys();
std::size_t PendingRegNotifications();

// File system. Windows paths below C:\ map into the world's folder.
std::string HostPath(const WString& windowsPath);
void MakeDir(const WString& path);
void MakeFile(const WString& path, const std::string& content = "");
bool Exists(const WString& path);
std::string ReadFile(const WString& path);
void RemoveAll(const WString& path);
// Entries that a search of dir returns first, in this order; the rest follow by name.
void SetSearchOrder(const WString& dir, const std::vector<WString>& names);
// Open searches not yet closed.
std::size_t OpenSearches();
// File handles of CreateFileW and NtCreateFile not yet closed.
std::size_t OpenFileHandles();
// Links as an unprivileged user can plant them: one more hard link of an existing file, a
// symbolic link to a file or folder, a junction to a folder.
void MakeHardLink(const WString& link, const WString& existing);
void MakeSymlink(const WString& link, const WString& target);
void MakeJunction(const WString& link, const WString& folder);
// Runs action just before the n-th open from now on (CreateFileW or NtCreateFile, 1 = the
// next one) looks at the file system, as another process could between two calls.
void BeforeCreateFile(unsigned n, std::function<void()> action);
// Another user's oplock on file (level 1 or batch), whose break that user does not
// acknowledge until ReleaseOplock. An open of the file that asks for more than its
// attributes meets the break: with FILE_COMPLETE_IF_OPLOCKED it returns at once with
// STATUS_OPLOCK_BREAK_IN_PROGRESS and a handle, otherwise it waits for ReleaseOplock. One
// oplock at a time.
void HoldOplock(const WString& file);
void ReleaseOplock();
// Makes the folder root the root of a volume of its own that has no drive letter (a
// junction to it is what Windows calls a mount point): final paths of what lies in it name
// a device of its own.
void MakeLetterlessVolume(const WString& root);
// What GetWindowsDirectoryW / GetSystemDirectoryW give.
void SetWindowsDirectory(const WString& dir);
void SetSystemDirectory(const WString& dir);
// Make GetSystemDirectoryW report that it needs a buffer of this many characters.
void SetSystemDirectoryRequiredSize(UINT size);

// Security descriptors: conversions of this string always fail with code.
void FailSddl(const WString& sddl, DWORD code);
// The descriptor string a directory was created with by CreateDirectoryW: "" for the
// default security; "(not created)" when CreateDirectoryW did not create it.
std::string DirectorySecurity(const WString& path);
// Descriptors handed out and not released with LocalFree.
std::size_t LiveDescriptors();

// Process and time.
void SetProcessId(DWORD pid);
void SetTicks(DWORD ticks);
DWORD Ticks();
// Local calendar time that localtime_s gives from now on, instead of the real clock's.
void SetLocalTime(const std::tm& tm);

} // namespace sim
