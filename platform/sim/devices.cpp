#include "internal.h"

void sim::detail::ResetDevices() {}
