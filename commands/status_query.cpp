#include "status_query.h"

static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36, "the published size of the status record");

BOOL QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(status),
                                sizeof *status, &needed);
}
