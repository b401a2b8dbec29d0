#include "commands.h"

// Stopping through the service control manager comes with the service control commands.
void StopServiceCommand() {}
