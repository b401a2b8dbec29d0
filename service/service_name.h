// The name under which the service is registered, dispatched, controlled and opened.
#pragma once

#include "platform/text.h"

inline constexpr WCHAR ServiceName[] = WSTR("RUVERODAzaroda");
