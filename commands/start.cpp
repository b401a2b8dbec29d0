#include "commands.h"

// Starting through the service control manager comes with the service control commands.
void StartServiceCommand() {}
