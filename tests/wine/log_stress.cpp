// Test-only Windows program around the log, used as the service uses it.
//   log_stress stress: opens the session and logs 8 threads x 500 messages at once.
//   log_stress wait: opens the session, prints the log file's path, waits for a line on
//     standard input (time for the test to plant something at that name), logs one message.
//   log_stress probe PATH: prints what the system reports for PATH opened as the log opens
//     its file: attributes, number of links and final path.
#include "log/log.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kThreads = 8;
constexpr int kMessages = 500;

DWORD WINAPI Writer(LPVOID context) {
    int thread = static_cast<int>(reinterpret_cast<INT_PTR>(context));
    for (int m = 0; m < kMessages; ++m)
        LogMessage("thread %d message %d of a longer line to make tearing likely\n", thread, m);
    return 0;
}

int Stress() {
    HANDLE threads[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        threads[t] =
            CreateThread(nullptr, 0, Writer, reinterpret_cast<LPVOID>(INT_PTR{t}), 0, nullptr);
        if (threads[t] == nullptr)
            return 2;
    }
    WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
    for (HANDLE thread : threads)
        CloseHandle(thread);
    return 0;
}

int Wait() {
    std::printf("%s\n", LogFilePath);
    std::fflush(stdout);
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr)
        return 3;
    LogMessage("planted\n");
    return 0;
}

int Probe(const char* path) {
    WString wide = Utf8ToUtf16(path);
    HANDLE file =
        CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("open failed %lu\n", GetLastError());
        return 5;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    BOOL got = GetFileInformationByHandle(file, &info);
    WCHAR final[1024] = {};
    DWORD length = GetFinalPathNameByHandleW(file, final, 1024, FILE_NAME_NORMALIZED);
    std::printf("attributes=0x%08lX links=%lu final=%s\n", got ? info.dwFileAttributes : 0ul,
                got ? info.nNumberOfLinks : 0ul,
                length != 0 && length < 1024 ? Utf16ToUtf8(final, length).c_str() : "(none)");
    CloseHandle(file);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "probe") == 0)
        return Probe(argv[2]);
    OpenLogSession();
    if (LogFilePath[0] == 0)
        return 1;
    if (argc == 2 && std::strcmp(argv[1], "stress") == 0)
        return Stress();
    if (argc == 2 && std::strcmp(argv[1], "wait") == 0)
        return Wait();
    return 4;
}
