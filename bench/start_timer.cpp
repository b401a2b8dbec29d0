// Times a service's start: from the start request to the first status query that finds
// it running, polled every millisecond. Prints the milliseconds with three decimals.
// Usage: start_timer.exe SERVICE_NAME
#include <windows.h>

#include <cstdio>

int wmain(int argc, WCHAR* argv[]) {
    if (argc != 2)
        return 2;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager ? OpenServiceW(manager, argv[1], SERVICE_ALL_ACCESS) : nullptr;
    if (service == nullptr)
        return 1;
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!StartServiceW(service, 0, nullptr))
        return 1;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    for (;;) {
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                  sizeof status, &needed))
            return 1;
        if (status.dwCurrentState == SERVICE_RUNNING)
            break;
        if (status.dwCurrentState == SERVICE_STOPPED)
            return 1;
        Sleep(1);
    }
    QueryPerformanceCounter(&now);
    printf("%.3f\n", static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 /
                         static_cast<double>(frequency.QuadPart));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}
