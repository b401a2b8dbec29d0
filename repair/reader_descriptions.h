// The descriptions under which the inbox UMDF2 CCID driver presents a reader: the English
// one, and those an administrator adds for Windows in other display languages.
#pragma once

#include "platform/text.h"

#include <cstddef>
#include <string>
#include <vector>

// The added descriptions. Filled at most once, by ReadReaderDescriptions (for the service:
// LoadReaderDescriptions), before any other thread exists; read without a lock afterwards.
extern std::vector<WString> ReaderDescriptionList;

// At most this many added descriptions, each of 1 to kMaxDescriptionLength characters.
constexpr std::size_t kMaxReaderDescriptions = 16;
constexpr std::size_t kMaxDescriptionLength = 255;

enum class ReaderDescriptionsResult {
    Absent,        // no value (or no key): nothing logged
    Taken,         // the descriptions are in use
    ReadFailed,    // detail: the error code
    WrongType,     // detail: the value's type
    NotTerminated, // the data does not end with the list's terminator
    NoDescription, // the list is empty
    EmptyString,   // an empty string before the list's end
    TooMany,       // more than kMaxReaderDescriptions strings
    TooLong,       // a string longer than kMaxDescriptionLength characters
};

struct ReaderDescriptionsOutcome {
    ReaderDescriptionsResult result;
    DWORD detail;
};

// Takes the bytes of a registry value apart as the list of added descriptions. Reads only
// the size bytes at data, whatever they hold; descriptions is filled on Taken only, and
// emptied otherwise.
ReaderDescriptionsOutcome ParseReaderDescriptions(const BYTE* data, std::size_t size, DWORD type,
                                                  std::vector<WString>& descriptions);

// Reads the value "Descriptions" under HKLM\SOFTWARE\Corvane\Tessarine\KVR\Readers into
// ReaderDescriptionList. Runs at most once per process, before any thread that reads the list
// exists.
ReaderDescriptionsOutcome ReadReaderDescriptions();

// The same, and the outcome logged in one line, unless the value is absent: the service's way.
ReaderDescriptionsOutcome LoadReaderDescriptions();

// The descriptions taken, each in double quotes, separated by ", ".
WString QuotedReaderDescriptions();

// Why the value was not taken, as a sentence; empty for Absent and Taken.
std::string ReaderDescriptionsIgnoredReason(const ReaderDescriptionsOutcome& outcome);

// Whether a device description of length characters (without terminator) is the English
// UMDF2 reader description or one of the added ones, letter case of ASCII letters aside.
bool IsUmdf2ReaderDescription(const WCHAR* description, std::size_t length);
