#include "commands.h"

// Registration and removal through the service control manager come with the service
// control commands; until then the words are recognised and do nothing.
void InstallServiceCommand() {}

void DeleteServiceCommand() {}
