// The driver a device is bound to, as Windows records it in the device's driver key: names
// that, unlike the device description, do not depend on the display language.
#pragma once

#include "platform/text.h"

struct ReaderDriver {
    // InfPath: the name of the driver's INF in the system's INF folder; empty for a device
    // without a driver key or without the value.
    WString inf;
    // ProviderName: the provider of the driver's package. Read only for the INF of the inbox
    // UMDF2 package, the one INF whose provider matters; empty otherwise.
    WString provider;
};

// A query of the driver key that failed: the call and its error code.
struct ReaderDriverFailure {
    const WCHAR* call = nullptr;
    DWORD code = 0;
};

// Reads the driver of a device of an open set from its driver key. A device without a driver
// key, or a key without a value, reads as an empty value; false, with the failed query in
// failure, when the key or a value cannot be read or a value is not a string.
bool ReadReaderDriver(HDEVINFO set, SP_DEVINFO_DATA& device, ReaderDriver& driver,
                      ReaderDriverFailure& failure);

// Whether the driver comes from Windows' inbox UMDF2 CCID package: the INF
// usbcciddriver.inf (letter case of ASCII letters aside) of the provider Microsoft.
bool IsInboxUmdf2Driver(const ReaderDriver& driver);
