#include "status_query.h"

#include "log/log.h"
#include "service/service_name.h"

#include <cstddef>

static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36, "the published size of the status record");
static_assert(offsetof(SERVICE_STATUS_PROCESS, dwWaitHint) == offsetof(SERVICE_STATUS, dwWaitHint),
              "a status record begins with a SERVICE_STATUS");

LPSERVICE_STATUS AsServiceStatus(SERVICE_STATUS_PROCESS* status) {
    return reinterpret_cast<LPSERVICE_STATUS>(status);
}

BOOL QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(status),
                                sizeof *status, &needed);
}

bool OpenOwnServiceAndQuery(DWORD access, ScHandle& manager, ScHandle& service,
                            SERVICE_STATUS_PROCESS* status) {
    manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        LogMessage("OpenSCManager failed (%d)\n", GetLastError());
        return false;
    }
    service.reset(OpenServiceW(manager.get(), ServiceName, access));
    if (!service) {
        LogMessage("OpenService failed (%d)\n", GetLastError());
        return false;
    }
    if (!QueryStatus(service.get(), status)) {
        LogMessage("QueryServiceStatusEx failed (%d)\n", GetLastError());
        return false;
    }
    return true;
}
