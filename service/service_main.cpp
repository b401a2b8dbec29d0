#include "service_main.h"

// Brought up and stopped by the service runtime; until that is built, a service started
// here reports nothing and returns.
void WINAPI RunService(DWORD argc, LPWSTR* argv) {
    (void)argc;
    (void)argv;
}
