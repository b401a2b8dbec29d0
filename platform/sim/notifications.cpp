#include "internal.h"

void sim::detail::ResetNotifications() {}
