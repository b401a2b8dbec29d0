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

// The display language of the user who runs the program, and the system's (the install
// language); both en-US (0x0409) unless set. LCIDToLocaleName knows the languages 0x0407
// de-DE, 0x0409 en-US, 0x040C fr-FR and 0x0411 ja-JP.
void SetUiLanguages(LANGID user, LANGID system);

} // namespace sim
