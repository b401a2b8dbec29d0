#include "internal.h"

using sim::detail::Call;

// A process that the service control manager did not start: the dispatcher call fails at
// once, as it does for a program run from a console.
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
    std::string entries;
    for (const SERVICE_TABLE_ENTRYW* e = table; e != nullptr; ++e) {
        if (!entries.empty())
            entries += ", ";
        entries += "{" + sim::detail::Quote(e->lpServiceName) + ", " +
                   (e->lpServiceProc == nullptr ? "NULL" : "proc") + "}";
        if (e->lpServiceName == nullptr && e->lpServiceProc == nullptr)
            break;
    }
    DWORD code = 0;
    if (Call("StartServiceCtrlDispatcherW", &code, "[" + entries + "]")) {
        SetLastError(code);
        return FALSE;
    }
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
}
