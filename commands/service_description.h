// What the services console and the installer package say the service does; both must
// show the same text.
#pragma once

#include "platform/text.h"

inline constexpr WCHAR ServiceDescription[] =
    WSTR("Keeps USB smart card readers of the watched vendors on their CCID driver package, "
         "repairing any that Windows bound to its inbox driver when the service starts and "
         "whenever one is plugged in.");
