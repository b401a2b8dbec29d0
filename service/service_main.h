#pragma once

#include "platform/text.h"

// The service main function that the dispatcher runs on a thread of its own.
void WINAPI RunService(DWORD argc, LPWSTR* argv);
