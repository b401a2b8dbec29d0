// Lists the readers of watched vendors that Windows has put on its inbox UMDF2 CCID driver.
#pragma once

#include "platform/text.h"
#include "reader_driver.h"

#include <functional>
#include <vector>

// The first hardware ID of each reader to repair, in enumeration order, duplicates kept.
using ReaderHardwareIdList = std::vector<WString>;

// The size of the buffers that the device properties are read into, in bytes; the reader rule
// takes its values from buffers of this size.
constexpr DWORD ReaderPropertyBufferSize = 1024;
constexpr std::size_t ReaderPropertyCharacters = ReaderPropertyBufferSize / sizeof(WCHAR);

// Why the reader rule picks a device.
enum class ReaderMatch {
    None,          // not a reader to repair
    ByDescription, // its description is one of the inbox UMDF2 driver
    ByPackage,     // its driver comes from the inbox UMDF2 package
};

// The reader rule: whether a repair pass installs the package on a device of this setup class
// with these hardware IDs and this description, each value read into a zeroed buffer of
// ReaderPropertyCharacters, and why. It is a smart card reader whose complete first hardware
// ID begins with a watched prefix, and whose description is one of the inbox UMDF2 driver
// (IsUmdf2ReaderDescription) or, where it is not, whose driver comes from the inbox UMDF2
// package (IsInboxUmdf2Driver). Only then is readDriver asked for the device's driver; where
// it answers false, the driver cannot be read and the description alone decides.
ReaderMatch MatchReaderToRepair(const GUID& setupClass, const WCHAR* hardwareIds,
                                const WCHAR* description,
                                const std::function<bool(ReaderDriver&)>& readDriver);

// Empties readers, then fills it; 1 when the smart card reader class could be enumerated,
// 0 when not. recognisedByPackage, where given, counts the readers listed by their driver's
// package rather than their description.
int ListReadersWithInf(ReaderHardwareIdList& readers, std::size_t* recognisedByPackage = nullptr);
