// File handles of the simulated Windows: CreateFileW and what may be done with its handles.
// Each handle is a host file descriptor. Links in the world's folder stand for their
// Windows kinds: a host symbolic link is a reparse point (a symbolic link, or a junction
// when it names a folder), and a host hard link is one more link of the same file.
#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct FileHandle {
    int fd = -1;
    // Only appends: every write lands at the end of the file, in one step.
    bool appendOnly = false;
    bool writable = false;
    off_t position = 0;
};

struct Handles {
    std::map<std::uintptr_t, FileHandle> open;
    std::uintptr_t next = 0xF000;
    unsigned creates = 0;
    std::string realDriveRoot; // found at the first final path of a world

    std::map<unsigned, std::function<void()>> beforeCreate; // by call number
};

Handles& TheHandles() {
    static Handles handles;
    return handles;
}

using sim::detail::Call;
using sim::detail::Hex;
using sim::detail::Ptr;
using sim::detail::Quote;
using sim::detail::WorldLock;

const DWORD kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

DWORD ErrorOf(int error) {
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

FileHandle* Find(HANDLE handle) {
    auto it = TheHandles().open.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == TheHandles().open.end() ? nullptr : &it->second;
}

// The host path of the world's C:\, with every link in it resolved, as final paths are.
const std::string& RealDriveRoot() {
    std::string& root = TheHandles().realDriveRoot;
    if (root.empty()) {
        std::string drive = sim::HostPath(WSTR("C:\\"));
        char resolved[PATH_MAX];
        root = realpath(drive.c_str(), resolved) == nullptr ? drive : resolved;
    }
    return root;
}

// A host path as Windows names it in a final path; outside the world's C:\, a drive of its
// own that nothing in the world names.
WString WindowsFinalPath(const std::string& host) {
    const std::string& root = RealDriveRoot();
    std::string rest;
    std::string drive;
    if (host == root) {
        drive = "C:";
    } else if (host.compare(0, root.size() + 1, root + "/") == 0) {
        drive = "C:";
        rest = host.substr(root.size());
    } else {
        drive = "Z:";
        rest = host;
    }
    std::replace(rest.begin(), rest.end(), '/', '\\');
    if (rest.empty())
        rest = "\\";
    return WSTR("\\\\?\\") + Utf8ToUtf16(drive + rest);
}

std::string Flags(DWORD value) {
    return Hex(value, 8);
}

} // namespace

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    DWORD code = 0;
    if (Call("CreateFileW", &code, Quote(name), Flags(access), Flags(shareMode),
             attributes == nullptr ? "NULL" : "&attributes", disposition, Flags(flagsAndAttributes),
             Ptr(templateFile))) {
        SetLastError(code);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    auto hook = TheHandles().beforeCreate.find(++TheHandles().creates);
    if (hook != TheHandles().beforeCreate.end()) {
        std::function<void()> action = std::move(hook->second);
        TheHandles().beforeCreate.erase(hook);
        action();
    }
    std::string host;
    if (name == nullptr || !sim::detail::ToHost(name, &host)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const bool openLink = (flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
    const bool backup = (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0;
    struct stat seen {};
    bool exists = (openLink ? lstat(host.c_str(), &seen) : stat(host.c_str(), &seen)) == 0;
    if (!exists && errno != ENOENT) {
        SetLastError(ErrorOf(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (exists && disposition == CREATE_NEW) {
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    if (!exists && disposition == OPEN_EXISTING) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }

    FileHandle file;
    int flags = O_CLOEXEC;
    if (exists && (S_ISLNK(seen.st_mode) || S_ISDIR(seen.st_mode))) {
        // A folder opens only for backup semantics; a reparse point opened as itself is
        // only looked at here, its data are never used.
        if (S_ISDIR(seen.st_mode) && !backup) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        flags |= O_PATH | (openLink ? O_NOFOLLOW : 0);
    } else {
        file.writable = (access & kWriteAccess) != 0;
        file.appendOnly = (access & FILE_APPEND_DATA) != 0 && (access & FILE_WRITE_DATA) == 0;
        flags |= file.writable ? ((access & FILE_READ_DATA) != 0 ? O_RDWR : O_WRONLY) : O_RDONLY;
        if (file.appendOnly)
            flags |= O_APPEND;
        if (disposition == CREATE_ALWAYS)
            flags |= O_TRUNC;
        if (disposition != OPEN_EXISTING)
            flags |= O_CREAT;
    }
    file.fd = open(host.c_str(), flags, 0666);
    if (file.fd < 0) {
        SetLastError(ErrorOf(errno));
        return INVALID_HANDLE_VALUE;
    }
    // As Windows does, OPEN_ALWAYS and CREATE_ALWAYS tell whether the file was there.
    SetLastError(exists && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    std::uintptr_t handle = TheHandles().next++;
    TheHandles().open[handle] = file;
    return reinterpret_cast<HANDLE>(handle);
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
    DWORD code = 0;
    if (Call("WriteFile", &code, Ptr(handle), buffer == nullptr ? "NULL" : "&buffer", bytesToWrite,
             bytesWritten == nullptr ? "NULL" : "&written",
             overlapped == nullptr ? "NULL" : "&overlapped")) {
        SetLastError(code);
        return FALSE;
    }
    if (bytesWritten != nullptr)
        *bytesWritten = 0;
    int fd = -1;
    bool appendOnly = false;
    off_t position = 0;
    {
        std::lock_guard<std::recursive_mutex> guard(WorldLock());
        FileHandle* file = Find(handle);
        if (file == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (!file->writable) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        fd = file->fd;
        appendOnly = file->appendOnly;
        position = file->position;
    }
    // The world's lock is not held during the write, so that concurrent writers meet in
    // the host file system as they would in the Windows one.
    ssize_t done =
        appendOnly ? write(fd, buffer, bytesToWrite) : pwrite(fd, buffer, bytesToWrite, position);
    if (done < 0) {
        SetLastError(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!appendOnly) {
        std::lock_guard<std::recursive_mutex> guard(WorldLock());
        if (FileHandle* file = Find(handle))
            file->position = position + done;
    }
    if (bytesWritten != nullptr)
        *bytesWritten = static_cast<DWORD>(done);
    return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information) {
    DWORD code = 0;
    if (Call("GetFileInformationByHandle", &code, Ptr(handle),
             information == nullptr ? "NULL" : "&information")) {
        SetLastError(code);
        return FALSE;
    }
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    FileHandle* file = Find(handle);
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (information == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct stat st {};
    if (fstat(file->fd, &st) != 0) {
        SetLastError(ErrorOf(errno));
        return FALSE;
    }
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
    DWORD code = 0;
    if (Call("GetFinalPathNameByHandleW", &code, Ptr(handle), path == nullptr ? "NULL" : "&path",
             size, Flags(flags))) {
        SetLastError(code);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    FileHandle* file = Find(handle);
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (flags != (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // The host names the object behind the descriptor: the file reached through every link,
    // or the link itself when it was opened as itself.
    std::string self = "/proc/self/fd/" + std::to_string(file->fd);
    char target[PATH_MAX];
    ssize_t n = readlink(self.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    WString final = WindowsFinalPath(std::string(target, static_cast<std::size_t>(n)));
    if (path == nullptr || size <= final.size())
        return static_cast<DWORD>(final.size() + 1);
    std::copy(final.begin(), final.end(), path);
    path[final.size()] = 0;
    return static_cast<DWORD>(final.size());
}

BOOL CloseHandle(HANDLE handle) {
    DWORD code = 0;
    if (Call("CloseHandle", &code, Ptr(handle))) {
        SetLastError(code);
        return FALSE;
    }
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    auto it = TheHandles().open.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == TheHandles().open.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    close(it->second.fd);
    TheHandles().open.erase(it);
    return TRUE;
}

void sim::detail::ResetFileHandles() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    for (auto& entry : TheHandles().open)
        close(entry.second.fd);
    TheHandles() = Handles{};
}

void sim::BeforeCreateFile(unsigned n, std::function<void()> action) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    TheHandles().beforeCreate[TheHandles().creates + n] = std::move(action);
}

std::size_t sim::OpenFileHandles() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return TheHandles().open.size();
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
