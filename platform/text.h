// The system's one wide string type and the conversions the log and the tests need.
#pragma once

#include "platform_api.h"

#include <string>

using WString = std::basic_string<WCHAR>;

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const WCHAR* text, std::size_t length);
std::string Utf16ToUtf8(const WString& text);
std::string Utf16ToUtf8(const WCHAR* text);

// UTF-8 to UTF-16, for the log file path, tests and the simulated platform; malformed
// input becomes U+FFFD.
WString Utf8ToUtf16(const std::string& text);

// Length of a zero-terminated wide string.
std::size_t WideLength(const WCHAR* text);
// The same, for text in a buffer of limit characters that may lack its terminator: never
// reads past the buffer.
std::size_t BoundedWideLength(const WCHAR* text, std::size_t limit);
