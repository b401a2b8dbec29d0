#include "log.h"
#include "log_switch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

char LogFilePath[MAX_PATH] = {};

namespace {

// Tried in this order: Everyone and app containers with a low integrity label, then
// without app containers, then Everyone alone.
const WCHAR* const kDirectorySecurity[] = {
    WSTR("D:AR(A;CIOI;GA;;;WD)(A;CIOI;GA;;;AC)S:(ML;CIOI;NW;;;LW)"),
    WSTR("D:AR(A;CIOI;GA;;;WD)S:(ML;CIOI;NW;;;LW)"),
    WSTR("D:AR(A;CIOI;GA;;;WD)"),
};

const char kStartBanner[] = "\n===========================================================\n\n"
                            "%04d-%02d-%02d %02d:%02d:%02d - Logging Started\n\n";
const char kPrefix[] = "%04d-%02d-%02d %02d:%02d:%02d - ";

// Cuts a UTF-8 text to at most limit bytes without splitting a character.
void CutUtf8(std::string& text, std::size_t limit) {
    if (text.size() <= limit)
        return;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
}

void CreateLogDirectory(const WString& windowsDirectory) {
    WString directory = windowsDirectory + WSTR("\\Temp\\Kelpix.log");
    if (directory.size() > MAX_PATH - 1)
        directory.resize(MAX_PATH - 1);

    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.bInheritHandle = FALSE;
    attributes.lpSecurityDescriptor = nullptr;
    for (const WCHAR* sddl : kDirectorySecurity) {
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
                sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr))
            break;
        attributes.lpSecurityDescriptor = nullptr;
    }
    // An existing folder keeps its own security; a failure shows later as files that
    // cannot be opened.
    CreateDirectoryW(directory.c_str(), &attributes);
    LocalFree(attributes.lpSecurityDescriptor);
}

struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// A time that cannot be converted is written as zeros rather than guessed.
LocalTime Now() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    LocalTime t;
    if (localtime_s(&tm, &now) != 0)
        return t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    return t;
}

// Opened for every entry with all sharing, so that the log can be read, moved or deleted at
// any time and each entry is with the system when the call returns. Append-only access
// makes each write land whole at the end of the file, in one step, whoever else appends.
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kAppendAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// The file is opened by its own name in the folder that was checked, so that a folder
// swapped for a link after the check cannot take the open elsewhere. A link planted at the
// file's name is opened as itself, and an oplock that another user holds on the file makes
// the open return at once instead of waiting for that user to let go.
const ULONG kFileOptions = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT |
                           FILE_OPEN_REPARSE_POINT | FILE_COMPLETE_IF_OPLOCKED;
// Device names, which every volume has, with or without a drive letter.
const DWORD kFinalPathFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_NT;

// Windows appends to an append-only handle in one step; Wine finds the end and then writes
// there, so threads of one process could overwrite each other. Held only for the write.
SRWLOCK WriteLock = {}; // all zero: unlocked, as SRWLOCK_INIT

// Stores every line feed as carriage return and line feed, as text mode did.
void TextSink(void* context, const char* text, std::size_t length) {
    auto* entry = static_cast<std::string*>(context);
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == '\n')
            entry->push_back('\r');
        entry->push_back(text[i]);
    }
}

void AppendStamped(std::string* entry, const char* format) {
    LocalTime t = Now();
    char text[128];
    int length = std::snprintf(text, sizeof text, format, t.year, t.month, t.day, t.hour, t.minute,
                               t.second);
    if (length > 0)
        TextSink(entry, text, std::min(static_cast<std::size_t>(length), sizeof text - 1));
}

// The path the system gives for an open handle, with every link resolved; empty when it
// cannot be had.
WString FinalPath(HANDLE handle) {
    WCHAR buffer[2 * MAX_PATH];
    const DWORD capacity = sizeof buffer / sizeof buffer[0];
    DWORD length = GetFinalPathNameByHandleW(handle, buffer, capacity, kFinalPathFlags);
    if (length == 0)
        return WString();
    if (length < capacity)
        return WString(buffer, length);
    WString longer(length, 0);
    DWORD again = GetFinalPathNameByHandleW(handle, longer.data(), length, kFinalPathFlags);
    if (again == 0 || again >= length)
        return WString();
    longer.resize(again);
    return longer;
}

bool SameIgnoringAsciiCase(const WString& a, const WString& b) {
    auto fold = [](WCHAR c) {
        return static_cast<WCHAR>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
    };
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i]))
            return false;
    }
    return true;
}

// Opens the folder itself and gives its final path; INVALID_HANDLE_VALUE when the folder is
// a reparse point itself or cannot be opened. A Windows directory that is legitimately
// elsewhere gives its real place here.
HANDLE OpenCheckedFolder(const WString& folder, WString* finalPath) {
    HANDLE handle =
        CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return handle;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(handle, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ==
            FILE_ATTRIBUTE_DIRECTORY)
        *finalPath = FinalPath(handle);
    if (finalPath->empty()) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// Opens or creates the file of that name in the folder; INVALID_HANDLE_VALUE when it cannot
// be had at once. While another user's oplock is being broken the open gives a handle, but
// a write through it would wait for that user: the entry is dropped instead.
HANDLE OpenInFolder(HANDLE folder, WString name) {
    UNICODE_STRING objectName;
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    objectName.MaximumLength = objectName.Length;
    objectName.Buffer = name.data();
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = folder;
    attributes.ObjectName = &objectName;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io{};
    HANDLE file = nullptr;
    NTSTATUS status =
        NtCreateFile(&file, kAppendAccess, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                     kShareAll, FILE_OPEN_IF, kFileOptions, nullptr, 0);
    if (status == STATUS_SUCCESS)
        return file;
    if (NT_SUCCESS(status))
        CloseHandle(file);
    return INVALID_HANDLE_VALUE;
}

// The folder is world-writable, so anyone may plant a link at the log's name; the service
// writes as LocalSystem and must only ever write into its own file there: no reparse point,
// no file with a second name elsewhere, nothing whose real place is not in the folder. The
// open in the checked folder already keeps to that; these checks stand behind it.
bool IsOwnLogFile(HANDLE file, const WString& expectedFinalPath) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        return false;
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        return false;
    if (info.nNumberOfLinks != 1)
        return false;
    return SameIgnoringAsciiCase(FinalPath(file), expectedFinalPath);
}

// Hands one whole entry to the system in one append, or drops it.
void AppendToLogFile(const std::string& entry) {
    WString path = Utf8ToUtf16(LogFilePath);
    std::size_t slash = path.rfind(static_cast<WCHAR>('\\'));
    if (slash == WString::npos)
        return;
    // The folder is checked, and kept open, before the file is opened in it.
    WString folderFinalPath;
    HANDLE folder = OpenCheckedFolder(path.substr(0, slash), &folderFinalPath);
    if (folder == INVALID_HANDLE_VALUE)
        return;
    HANDLE file = OpenInFolder(folder, path.substr(slash + 1));
    if (file != INVALID_HANDLE_VALUE) {
        if (IsOwnLogFile(file, folderFinalPath + path.substr(slash))) {
            DWORD written = 0;
            AcquireSRWLockExclusive(&WriteLock);
            WriteFile(file, entry.data(), static_cast<DWORD>(entry.size()), &written, nullptr);
            ReleaseSRWLockExclusive(&WriteLock);
        }
        CloseHandle(file);
    }
    CloseHandle(folder);
}

} // namespace

void OpenLogSession() {
    if (SwitchedOn()) {
        WCHAR buffer[MAX_PATH] = {};
        UINT length = GetWindowsDirectoryW(buffer, MAX_PATH);
        // A directory that does not fit the buffer is not used as a path: logging stays off.
        if (length != 0 && length < MAX_PATH) {
            WString windowsDirectory(buffer, length);
            CreateLogDirectory(windowsDirectory);
            std::string path = Utf16ToUtf8(windowsDirectory) +
                               "\\Temp\\Kelpix.log\\ruverodazaroda_P" +
                               std::to_string(GetCurrentProcessId()) + ".log";
            CutUtf8(path, MAX_PATH - 1);
            std::memcpy(LogFilePath, path.c_str(), path.size() + 1);
        }
    }

    // While logging is off the path is empty and nothing is tried.
    if (LogFilePath[0] == 0)
        return;
    std::string banner;
    AppendStamped(&banner, kStartBanner);
    AppendToLogFile(banner);
}

void LogMessageArgs(const char* format, const LogArg* args, std::size_t count) {
    if (LogFilePath[0] == 0)
        return;
    std::string entry;
    AppendStamped(&entry, kPrefix);
    FormatLogText(format, args, count, TextSink, &entry);
    AppendToLogFile(entry);
}
