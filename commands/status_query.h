#pragma once

#include "service_handle.h"

#include "platform/text.h"

// The record's first seven fields are a SERVICE_STATUS, as the platform lays them out.
LPSERVICE_STATUS AsServiceStatus(SERVICE_STATUS_PROCESS* status);

// Refills status with what the service reports now; FALSE with the code in GetLastError().
BOOL QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status);

// The first steps of the start and stop commands: opens the control manager with full access
// and this system's service with access, and reads its status. Logs the failing step and
// gives false; handles already opened stay with the caller, to be closed in order.
bool OpenOwnServiceAndQuery(DWORD access, ScHandle& manager, ScHandle& service,
                            SERVICE_STATUS_PROCESS* status);
