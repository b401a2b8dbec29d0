// The descriptions under which the inbox UMDF2 CCID driver presents a reader: the English
// one, and those an administrator adds for Windows in other display languages.
#pragma once

#include "platform/text.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// The key of the added descriptions under HKEY_LOCAL_MACHINE, and its path from there.
extern const WCHAR ReaderDescriptionsKey[];

// The added descriptions in use. A list is never changed once in use, only replaced whole:
// a thread that took one keeps it, old or new, however the service replaces it meanwhile.
using ReaderDescriptionList = std::shared_ptr<const std::vector<WString>>;
ReaderDescriptionList CurrentReaderDescriptions();
void SetReaderDescriptions(std::vector<WString> descriptions);

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

// Reads the value "Descriptions" under HKLM\SOFTWARE\Corvane\Tessarine\KVR\Readers and puts
// what it gives in use: the descriptions taken, or none.
ReaderDescriptionsOutcome ReadReaderDescriptions();

// The same, but the list in use is replaced only when the value gives another one, which
// listChanged tells.
ReaderDescriptionsOutcome ReadReaderDescriptionsChange(bool* listChanged);

// The reading, and its outcome logged in one line, unless the value is absent: the service's
// way at its start.
ReaderDescriptionsOutcome LoadReaderDescriptions();

// Reads the value again after a change: an outcome other than the last one is logged in one
// line ("Reader descriptions removed." when the value is gone). True when descriptions were
// taken that were not in use before.
bool ReloadReaderDescriptions();

// The descriptions in use, each in double quotes, separated by ", ".
WString QuotedReaderDescriptions();

// Why the value was not taken, as a sentence; empty for Absent and Taken.
std::string ReaderDescriptionsIgnoredReason(const ReaderDescriptionsOutcome& outcome);

// Whether a device description of length characters (without terminator) is the English
// UMDF2 reader description or one of the added ones, letter case of ASCII letters aside.
bool IsUmdf2ReaderDescription(const WCHAR* description, std::size_t length);
