// The recovery that the install command sets and the installer package sets the same way:
// restart after a minute on the first and second failure, then leave the service stopped; a
// day without failures starts the count again.
#pragma once

#include "platform/text.h"

inline constexpr DWORD PackagedRestartDelay = 60000;      // milliseconds
inline constexpr DWORD PackagedFailureCountReset = 86400; // seconds
inline constexpr DWORD PackagedActionCount = 3;
inline constexpr SC_ACTION PackagedActions[PackagedActionCount] = {
    {SC_ACTION_RESTART, PackagedRestartDelay},
    {SC_ACTION_RESTART, PackagedRestartDelay},
    {SC_ACTION_NONE, 0},
};
