// Lists the readers of watched vendors that Windows has put on its inbox UMDF2 CCID driver.
#pragma once

#include "platform/text.h"

#include <vector>

// The first hardware ID of each reader to repair, in enumeration order, duplicates kept.
using ReaderHardwareIdList = std::vector<WString>;

// Empties readers, then fills it; 1 when the smart card reader class could be enumerated,
// 0 when not.
int ListReadersWithInf(ReaderHardwareIdList& readers);
