#include "log.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

char LogFilePath[MAX_PATH] = {};

namespace {

const WCHAR kSwitchKey[] = WSTR("SOFTWARE\\Corvane\\Tessarine\\KVR\\Log");
const WCHAR kSwitchValue[] = WSTR("Enabled");

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

bool SwitchedOn() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD enabled = 0;
    DWORD type = 0;
    DWORD size = sizeof enabled;
    LSTATUS status = RegQueryValueExW(key, kSwitchValue, nullptr, &type,
                                      reinterpret_cast<LPBYTE>(&enabled), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && enabled != 0;
}

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

// Every write opens the file afresh, sharing it with everyone, so that the log can be read,
// moved or deleted at any time and each message is on disk when the call returns.
std::FILE* OpenLogFile() {
    // While logging is off the name is empty; no open is attempted, since the runtime treats
    // an empty name as an invalid parameter.
    if (LogFilePath[0] == 0)
        return nullptr;
    return _fsopen(LogFilePath, "a+t", _SH_DENYNO);
}

void FileSink(void* context, const char* text, std::size_t length) {
    std::fwrite(text, 1, length, static_cast<std::FILE*>(context));
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

    std::FILE* file = OpenLogFile();
    if (file == nullptr)
        return;
    LocalTime t = Now();
    std::fprintf(file, kStartBanner, t.year, t.month, t.day, t.hour, t.minute, t.second);
    std::fflush(file);
    std::fclose(file);
}

void LogMessageArgs(const char* format, const LogArg* args, std::size_t count) {
    std::FILE* file = OpenLogFile();
    if (file == nullptr)
        return;
    LocalTime t = Now();
    std::fprintf(file, kPrefix, t.year, t.month, t.day, t.hour, t.minute, t.second);
    FormatLogText(format, args, count, FileSink, file);
    std::fflush(file);
    std::fclose(file);
}
