// The command words that manage the service's own entry in the service control manager.
#pragma once

void InstallServiceCommand();
void StartServiceCommand();
void StopServiceCommand();
void DeleteServiceCommand();
