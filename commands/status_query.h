#pragma once

#include "platform/text.h"

// Refills status with what the service reports now; FALSE with the code in GetLastError().
BOOL QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status);
