#include "fixture.h"

namespace {

// "YYYY-MM-DD hh:mm:ss - " at position at.
bool HasStamp(const std::string& text, std::size_t at) {
    static const char shape[] = "0000-00-00 00:00:00 - ";
    const std::size_t n = sizeof shape - 1;
    if (text.size() < at + n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = text[at + i];
        bool ok = shape[i] == '0' ? (c >= '0' && c <= '9') : c == shape[i];
        if (!ok)
            return false;
    }
    return true;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

} // namespace

std::vector<std::string> LogLines(DWORD pid) {
    std::vector<std::string> lines;
    for (const std::string& line : SplitCrLf(sim::ReadFile(LogFileOf(pid))))
        lines.push_back(HasStamp(line, 0) ? line.substr(22) : line);
    return lines;
}

std::vector<std::string> LogEntries(DWORD pid) {
    std::vector<std::string> entries;
    for (const std::string& line : SplitCrLf(sim::ReadFile(LogFileOf(pid)))) {
        if (!HasStamp(line, 0))
            continue;
        std::string entry = line.substr(22);
        if (entry != "Logging Started" && entry != "Logging Stopped")
            entries.push_back(entry);
    }
    return entries;
}

bool IsLogFileCall(const std::string& line) {
    static const char* const kOps[] = {"CreateFileW(",
                                       "GetFileInformationByHandle(",
                                       "GetFinalPathNameByHandleW(",
                                       "WriteFile(",
                                       "CloseHandle(",
                                       "AcquireSRWLockExclusive(",
                                       "ReleaseSRWLockExclusive(",
                                       "NtCreateFile("};
    for (const char* op : kOps) {
        if (line.rfind(op, 0) == 0)
            return true;
    }
    return false;
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    sim::Cleanup();
    return status;
}
