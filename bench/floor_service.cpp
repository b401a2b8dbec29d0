// The smallest service that can be started and stopped: the floor for the service's idle
// memory and its time from the start request to the running report. Built like the
// product (MinGW-w64, static runtime), run under Wine by bench/wine_figures.sh only.
#include <windows.h>

namespace {

WCHAR name[] = L"RuverodazarodaFloor";
SERVICE_STATUS status = {
    SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;

DWORD WINAPI OnControl(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP)
        SetEvent(stopEvent);
    return NO_ERROR;
}

void WINAPI FloorMain(DWORD, LPWSTR*) {
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    statusHandle = RegisterServiceCtrlHandlerExW(name, OnControl, nullptr);
    if (statusHandle == nullptr)
        return;
    SetServiceStatus(statusHandle, &status);
    WaitForSingleObject(stopEvent, INFINITE);
    status.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(statusHandle, &status);
}

} // namespace

int wmain() {
    SERVICE_TABLE_ENTRYW table[] = {{name, FloorMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherW(table);
    return 0;
}
