// File handles of the simulated Windows: CreateFileW and NtCreateFile, and what may be done
// with their handles. Each handle is a host file descriptor. Links in the world's folder stand for
// their Windows kinds: a host symbolic link is a reparse point (a symbolic link, or a junction when
// it names a folder), and a host hard link is one more link of the same file.
#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A handle is a host descriptor, whose offset serves as the file pointer; a handle with
// append access only writes at the end of the file, in one step.
struct FileHandle {
    int fd = -1;
    bool writable = false;
};

// How final paths name a volume: by device.
struct Volume {
    std::string root; // host path, every link in it resolved
    std::string nt;
};

struct Handles {
    sim::detail::HandleTable<FileHandle> open{0xF000};
    unsigned creates = 0;
    std::string realDriveRoot;           // found at the first final path of a world
    std::vector<std::string> letterless; // roots of volumes without a drive letter

    std::map<unsigned, std::function<void()>> beforeCreate; // by call number

    // The file another user holds an oplock on, while its break is not acknowledged.
    bool oplocked = false;
    dev_t oplockDevice = 0;
    ino_t oplockInode = 0;
    std::thread::id oplockHolder; // the thread that stands for the other user
};

Handles theHandles;

// Where an open that waits for an oplock break waits; held while the oplock is.
sim::detail::Gate oplockGate("an open waits for an oplock break");

// Waits for the break to be acknowledged. On the thread that would acknowledge it, the wait
// would never end: reported instead of hanging the test.
void WaitForOplockBreak() {
    bool self = false;
    {
        std::lock_guard<std::recursive_mutex> guard(sim::detail::WorldLock());
        self = theHandles.oplocked && theHandles.oplockHolder == std::this_thread::get_id();
    }
    if (self)
        sim::detail::Abort("an open waits for an oplock break that is never acknowledged");
    oplockGate.Pass();
}

using namespace sim::detail;

const DWORD kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;
// Opens that ask for no more than these neither break nor wait for an oplock.
const DWORD kAttributeAccess = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;

// A host error, the native status that stands for it, and the error that CreateFileW
// reports for that status; any other is a denied access.
struct ErrorKind {
    int host;
    NTSTATUS status;
    DWORD error;
};
const ErrorKind kErrors[] = {{ENOENT, STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
                             {ENOTDIR, STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
                             {EEXIST, STATUS_OBJECT_NAME_COLLISION, ERROR_FILE_EXISTS},
                             {EINVAL, STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER}};

NTSTATUS StatusOf(int error) {
    for (const ErrorKind& k : kErrors) {
        if (k.host == error)
            return k.status;
    }
    return STATUS_ACCESS_DENIED;
}

DWORD ErrorOf(NTSTATUS status) {
    for (const ErrorKind& k : kErrors) {
        if (k.status == status)
            return k.error;
    }
    return ERROR_ACCESS_DENIED;
}

FileHandle* Find(HANDLE handle) {
    return theHandles.open.Find(handle);
}

// A host path with every link in it resolved, as final paths are.
std::string Resolved(const std::string& host) {
    char resolved[PATH_MAX];
    return realpath(host.c_str(), resolved) == nullptr ? host : std::string(resolved);
}

const std::string& RealDriveRoot() {
    std::string& root = theHandles.realDriveRoot;
    if (root.empty())
        root = Resolved(sim::HostPath(WSTR("C:\\")));
    return root;
}

bool Below(const std::string& host, const std::string& root) {
    return host == root || host.compare(0, root.size() + 1, root + "/") == 0;
}

// The volume a host path lies on: a volume without a drive letter, the world's C:, or
// outside the world a volume of its own that nothing in the world names.
Volume VolumeOf(const std::string& host) {
    const std::vector<std::string>& letterless = theHandles.letterless;
    for (std::size_t i = 0; i < letterless.size(); ++i) {
        if (Below(host, letterless[i]))
            return {letterless[i], "\\Device\\HarddiskVolume" + std::to_string(4 + i)};
    }
    if (Below(host, RealDriveRoot()))
        return {RealDriveRoot(), "\\Device\\HarddiskVolume3"};
    return {"", "\\Device\\HarddiskVolume2"};
}

// A host path as Windows names it in a final path by device.
WString WindowsFinalPath(const std::string& host) {
    Volume volume = VolumeOf(host);
    std::string rest = host.substr(volume.root.size());
    std::replace(rest.begin(), rest.end(), '/', '\\');
    return Utf8ToUtf16(volume.nt + (rest.empty() ? "\\" : rest));
}

std::string Flags(DWORD value) {
    return Hex(value, 8);
}

std::string Attributes(const OBJECT_ATTRIBUTES* attributes) {
    if (attributes == nullptr)
        return "NULL";
    const UNICODE_STRING* name = attributes->ObjectName;
    std::string quoted =
        name == nullptr || name->Buffer == nullptr
            ? "NULL"
            : "\"" + Utf16ToUtf8(name->Buffer, name->Length / sizeof(WCHAR)) + "\"";
    return "{" + std::to_string(attributes->Length) + ", " + Ptr(attributes->RootDirectory) + ", " +
           quoted + ", " + Flags(attributes->Attributes) + "}";
}

// One open as the file system makes it, below folder (a host descriptor, or AT_FDCWD for an
// absolute host path). Tells through oplocked whether the file has an oplock whose break
// this open meets.
NTSTATUS Open(int folder, const std::string& path, ACCESS_MASK access, ULONG disposition,
              ULONG options, HANDLE* handle, ULONG_PTR* information, bool* oplocked) {
    const bool openLink = (options & FILE_OPEN_REPARSE_POINT) != 0;
    struct stat seen {};
    bool exists = fstatat(folder, path.c_str(), &seen, openLink ? AT_SYMLINK_NOFOLLOW : 0) == 0;
    if (!exists && errno != ENOENT)
        return StatusOf(errno);
    if (disposition > FILE_OVERWRITE_IF)
        return STATUS_INVALID_PARAMETER;
    if (exists && disposition == FILE_CREATE)
        return STATUS_OBJECT_NAME_COLLISION;
    if (!exists && (disposition == FILE_OPEN || disposition == FILE_OVERWRITE))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (exists && S_ISDIR(seen.st_mode) && (options & FILE_NON_DIRECTORY_FILE) != 0)
        return STATUS_FILE_IS_A_DIRECTORY;

    FileHandle file;
    int flags = O_CLOEXEC;
    const bool truncate = disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE ||
                          disposition == FILE_OVERWRITE_IF;
    if (exists && (S_ISLNK(seen.st_mode) || S_ISDIR(seen.st_mode))) {
        // A reparse point opened as itself is only looked at here, its data are never used.
        flags |= O_PATH | (openLink ? O_NOFOLLOW : 0);
    } else {
        const bool appendOnly = (access & FILE_APPEND_DATA) != 0 && (access & FILE_WRITE_DATA) == 0;
        file.writable = (access & kWriteAccess) != 0;
        flags |= file.writable ? ((access & FILE_READ_DATA) != 0 ? O_RDWR : O_WRONLY) : O_RDONLY;
        flags |= (appendOnly ? O_APPEND : 0) | (truncate ? O_TRUNC : 0) |
                 (disposition == FILE_OPEN || disposition == FILE_OVERWRITE ? 0 : O_CREAT) |
                 (openLink ? O_NOFOLLOW : 0);
    }
    file.fd = openat(folder, path.c_str(), flags, 0666);
    if (file.fd < 0)
        return StatusOf(errno);
    const Handles& h = theHandles;
    *oplocked = exists && S_ISREG(seen.st_mode) && h.oplocked && seen.st_dev == h.oplockDevice &&
                seen.st_ino == h.oplockInode && (access & ~kAttributeAccess) != 0;
    if (!exists)
        *information = FILE_CREATED;
    else if (truncate)
        *information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
    else
        *information = FILE_OPENED;
    *handle = theHandles.open.Add(file);
    return *oplocked && (options & FILE_COMPLETE_IF_OPLOCKED) != 0 ? STATUS_OPLOCK_BREAK_IN_PROGRESS
                                                                   : STATUS_SUCCESS;
}

// Runs what a test asked to happen before this open, as another process could.
void BeforeOpen() {
    auto hook = theHandles.beforeCreate.find(++theHandles.creates);
    if (hook != theHandles.beforeCreate.end()) {
        std::function<void()> action = std::move(hook->second);
        theHandles.beforeCreate.erase(hook);
        action();
    }
}

} // namespace

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    if (Faulted("CreateFileW", Quote(name), Flags(access), Flags(shareMode),
                Out(attributes, "&attributes"), disposition, Flags(flagsAndAttributes),
                Ptr(templateFile)))
        return INVALID_HANDLE_VALUE;
    // The native open underneath, as the system makes it: a folder only for backup
    // semantics, and a wait for any oplock break.
    static const ULONG kDispositions[] = {0,         FILE_CREATE,  FILE_OVERWRITE_IF,
                                          FILE_OPEN, FILE_OPEN_IF, FILE_OVERWRITE};
    ULONG options =
        (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0 ? 0 : FILE_NON_DIRECTORY_FILE;
    if ((flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0)
        options |= FILE_OPEN_REPARSE_POINT;
    HANDLE handle = INVALID_HANDLE_VALUE;
    ULONG_PTR information = 0;
    bool oplocked = false;
    NTSTATUS status = STATUS_OBJECT_PATH_NOT_FOUND;
    {
        std::lock_guard<std::recursive_mutex> guard(WorldLock());
        BeforeOpen();
        std::string host;
        if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
            status = STATUS_INVALID_PARAMETER;
        else if (name != nullptr && ToHost(name, &host))
            status = Open(AT_FDCWD, host, access, kDispositions[disposition], options, &handle,
                          &information, &oplocked);
    }
    if (!NT_SUCCESS(status))
        return Fail(ErrorOf(status), INVALID_HANDLE_VALUE);
    if (oplocked)
        WaitForOplockBreak();
    // As Windows does, OPEN_ALWAYS and CREATE_ALWAYS tell whether the file was there.
    const bool existed = information == FILE_OPENED || information == FILE_OVERWRITTEN;
    SetLastError(existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return handle;
}

NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK status, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                      ULONG shareAccess, ULONG disposition, ULONG options, PVOID eaBuffer,
                      ULONG eaLength) {
    if (auto code =
            Call("NtCreateFile", Out(handle, "&handle"), Flags(access), Attributes(attributes),
                 Out(status, "&io"), Out(allocationSize, "&size"), Flags(fileAttributes),
                 Flags(shareAccess), disposition, Flags(options), Out(eaBuffer, "&ea"), eaLength))
        return static_cast<NTSTATUS>(*code);
    if (handle == nullptr || status == nullptr || attributes == nullptr ||
        attributes->Length != sizeof(OBJECT_ATTRIBUTES) || attributes->ObjectName == nullptr ||
        attributes->ObjectName->Buffer == nullptr)
        return STATUS_INVALID_PARAMETER;
    // Synchronous I/O on a handle needs the right to wait on it.
    if ((options & FILE_SYNCHRONOUS_IO_NONALERT) != 0 && (access & SYNCHRONIZE) == 0)
        return STATUS_INVALID_PARAMETER;
    const UNICODE_STRING& name = *attributes->ObjectName;
    std::string relative = Utf16ToUtf8(name.Buffer, name.Length / sizeof(WCHAR));
    bool oplocked = false;
    NTSTATUS result = STATUS_SUCCESS;
    {
        std::lock_guard<std::recursive_mutex> guard(WorldLock());
        BeforeOpen();
        // Only opens relative to a folder handle are simulated; a relative name needs one.
        FileHandle* root = Find(attributes->RootDirectory);
        struct stat folder {};
        if (attributes->RootDirectory == nullptr)
            return STATUS_OBJECT_PATH_NOT_FOUND;
        if (root == nullptr)
            return STATUS_INVALID_HANDLE;
        if (fstat(root->fd, &folder) != 0 || !S_ISDIR(folder.st_mode))
            return STATUS_OBJECT_PATH_NOT_FOUND;
        // Each name in the path is taken as it stands: the file system knows no "." or "..".
        std::replace(relative.begin(), relative.end(), '\\', '/');
        std::string padded = "/" + relative + "/";
        if (relative.empty() || padded.find("//") != std::string::npos ||
            padded.find("/./") != std::string::npos || padded.find("/../") != std::string::npos)
            return STATUS_OBJECT_NAME_INVALID;
        ULONG_PTR information = 0;
        result =
            Open(root->fd, relative, access, disposition, options, handle, &information, &oplocked);
        status->Status = result;
        status->Information = NT_SUCCESS(result) ? information : 0;
    }
    if (oplocked && result == STATUS_SUCCESS)
        WaitForOplockBreak();
    return result;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
    if (Faulted("WriteFile", Ptr(handle), Out(buffer, "&buffer"), bytesToWrite,
                Out(bytesWritten, "&written"), Out(overlapped, "&overlapped")))
        return FALSE;
    if (sim::detail::IsStandardStream(handle))
        return sim::detail::WriteStandardStream(handle, buffer, bytesToWrite, bytesWritten);
    if (bytesWritten != nullptr)
        *bytesWritten = 0;
    int fd = -1;
    {
        std::lock_guard<std::recursive_mutex> guard(WorldLock());
        FileHandle* file = Find(handle);
        if (file == nullptr)
            return Fail(ERROR_INVALID_HANDLE);
        if (!file->writable)
            return Fail(ERROR_ACCESS_DENIED);
        fd = file->fd;
    }
    // The world's lock is not held during the write, so that concurrent writers meet in
    // the host file system as they would in the Windows one.
    ssize_t done = write(fd, buffer, bytesToWrite);
    if (done < 0)
        return Fail(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED);
    if (bytesWritten != nullptr)
        *bytesWritten = static_cast<DWORD>(done);
    return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information) {
    if (Faulted("GetFileInformationByHandle", Ptr(handle), Out(information, "&information")))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    FileHandle* file = Find(handle);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (information == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    struct stat st {};
    if (fstat(file->fd, &st) != 0)
        return Fail(ERROR_ACCESS_DENIED);
    *information = BY_HANDLE_FILE_INFORMATION{};
    DWORD attributes = 0;
    if (S_ISLNK(st.st_mode)) {
        // A link to a folder is a junction or a folder symbolic link, both folders to
        // Windows; a link to a file or to nothing is a file symbolic link.
        std::string self = "/proc/self/fd/" + std::to_string(file->fd);
        char target[PATH_MAX];
        ssize_t n = readlink(self.c_str(), target, sizeof target - 1);
        struct stat pointed {};
        bool folder = false;
        if (n > 0) {
            target[n] = 0;
            folder = stat(target, &pointed) == 0 && S_ISDIR(pointed.st_mode);
        }
        attributes = FILE_ATTRIBUTE_REPARSE_POINT |
                     (folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
    } else {
        attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    }
    information->dwFileAttributes = attributes;
    information->dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev);
    auto size = static_cast<std::uint64_t>(st.st_size);
    information->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    information->nFileSizeLow = static_cast<DWORD>(size);
    // Folders have one link on Windows; the host counts their entries' back links too.
    information->nNumberOfLinks = S_ISDIR(st.st_mode) ? 1 : static_cast<DWORD>(st.st_nlink);
    auto index = static_cast<std::uint64_t>(st.st_ino);
    information->nFileIndexHigh = static_cast<DWORD>(index >> 32);
    information->nFileIndexLow = static_cast<DWORD>(index);
    return TRUE;
}

DWORD GetFinalPathNameByHandleW(HANDLE handle, LPWSTR path, DWORD size, DWORD flags) {
    if (Faulted("GetFinalPathNameByHandleW", Ptr(handle), Out(path, "&path"), size, Flags(flags)))
        return 0;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    FileHandle* file = Find(handle);
    if (file == nullptr)
        return Fail<DWORD>(ERROR_INVALID_HANDLE);
    // Normalized names by device; the other forms are not simulated.
    if (flags != VOLUME_NAME_NT)
        return Fail<DWORD>(ERROR_INVALID_PARAMETER);
    // The host names the object behind the descriptor: the file reached through every link,
    // or the link itself when it was opened as itself.
    std::string self = "/proc/self/fd/" + std::to_string(file->fd);
    char target[PATH_MAX];
    ssize_t n = readlink(self.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return Fail<DWORD>(ERROR_PATH_NOT_FOUND);
    const WString final = WindowsFinalPath(std::string(target, static_cast<std::size_t>(n)));
    if (path == nullptr || size <= final.size())
        return static_cast<DWORD>(final.size() + 1);
    std::copy(final.begin(), final.end(), path);
    path[final.size()] = 0;
    return static_cast<DWORD>(final.size());
}

BOOL CloseHandle(HANDLE handle) {
    if (Faulted("CloseHandle", Ptr(handle)))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    FileHandle* file = Find(handle);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    close(file->fd);
    theHandles.open.Close(handle);
    return TRUE;
}

void sim::detail::ResetFileHandles() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    for (auto& entry : theHandles.open.All())
        close(entry.second.fd);
    theHandles = Handles{};
    oplockGate.Reset();
}

void sim::BeforeCreateFile(unsigned n, std::function<void()> action) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theHandles.beforeCreate[theHandles.creates + n] = std::move(action);
}

std::size_t sim::OpenFileHandles() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theHandles.open.Size();
}

void sim::MakeHardLink(const WString& link, const WString& existing) {
    std::string to = HostPath(link);
    fs::create_directories(fs::path(to).parent_path());
    fs::create_hard_link(HostPath(existing), to);
}

void sim::MakeSymlink(const WString& link, const WString& target) {
    std::string to = HostPath(link);
    fs::create_directories(fs::path(to).parent_path());
    fs::create_symlink(HostPath(target), to);
}

void sim::MakeJunction(const WString& link, const WString& folder) {
    std::string to = HostPath(link);
    fs::create_directories(fs::path(to).parent_path());
    fs::create_directory_symlink(HostPath(folder), to);
}

void sim::MakeLetterlessVolume(const WString& root) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    std::string host = HostPath(root);
    fs::create_directories(host);
    theHandles.letterless.push_back(Resolved(host));
}

void sim::HoldOplock(const WString& file) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    struct stat st {};
    if (stat(HostPath(file).c_str(), &st) != 0) {
        std::fprintf(stderr, "sim: no file to hold an oplock on: %s\n", Utf16ToUtf8(file).c_str());
        std::abort();
    }
    Handles& h = theHandles;
    h.oplocked = true;
    h.oplockDevice = st.st_dev;
    h.oplockInode = st.st_ino;
    h.oplockHolder = std::this_thread::get_id();
    oplockGate.Hold();
}

void sim::ReleaseOplock() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theHandles.oplocked = false;
    oplockGate.Release();
}
