#pragma once

#include "platform/text.h"

// The process entry: opens the log, runs the service or the one command word, writes the
// stop banner, and gives the exit status (0, -1 for an unknown word, -2 for a wrong count).
int EntryMain(int argc, WCHAR* argv[]);
