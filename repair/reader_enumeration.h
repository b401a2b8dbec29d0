// Lists the readers of watched vendors that Windows has put on its inbox UMDF2 CCID driver.
#pragma once

#include "platform/text.h"

#include <vector>

// The first hardware ID of each reader to repair, in enumeration order, duplicates kept.
using ReaderHardwareIdList = std::vector<WString>;

// The size of the buffers that the device properties are read into, in bytes; the reader rule
// takes its values from buffers of this size.
constexpr DWORD ReaderPropertyBufferSize = 1024;
constexpr std::size_t ReaderPropertyCharacters = ReaderPropertyBufferSize / sizeof(WCHAR);

// The reader rule: whether a repair pass installs the package on a device of this setup class
// with these hardware IDs and this description, each value read into a zeroed buffer of
// ReaderPropertyCharacters. It is a smart card reader whose complete first hardware ID
// begins with a watched prefix and whose description is one of the inbox UMDF2 driver
// (IsUmdf2ReaderDescription).
bool IsReaderToRepair(const GUID& setupClass, const WCHAR* hardwareIds, const WCHAR* description);

// Empties readers, then fills it; 1 when the smart card reader class could be enumerated,
// 0 when not.
int ListReadersWithInf(ReaderHardwareIdList& readers);
