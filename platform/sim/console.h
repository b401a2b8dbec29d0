// The simulated standard output and standard error as the tests see them: each is a console
// or redirected to a file or a pipe.
#pragma once

#include "world.h"

#include <string>

namespace sim {

// Both streams are consoles unless set.
void RedirectStandardStream(DWORD which, bool redirected);
// What was written to the stream: the bytes of WriteFile on a redirected one, the UTF-8 of
// the characters WriteConsoleW wrote to a console.
std::string StandardStreamText(DWORD which);

} // namespace sim
