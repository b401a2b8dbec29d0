#include "reader_descriptions.h"

#include "reader_prefixes.h"

#include <cstring>
#include <string>

const WCHAR ReaderDescriptionsKey[] = WSTR("SOFTWARE\\Corvane\\Tessarine\\KVR\\Readers");

namespace {

const WCHAR kUmdf2ReaderDescription[] = WSTR("Microsoft Usbccid Smartcard Reader (UMDF2)");
const WCHAR kSettingValue[] = WSTR("Descriptions");

// Taken and replaced through the atomic operations only.
ReaderDescriptionList InUse = std::make_shared<const std::vector<WString>>();

// The largest list that can be taken, with every terminator: a larger value is refused by
// the read itself (ERROR_MORE_DATA).
constexpr DWORD kValueBytes =
    (kMaxReaderDescriptions * (kMaxDescriptionLength + 1) + 1) * sizeof(WCHAR);

bool SameDescription(const WCHAR* description, std::size_t length, const WCHAR* known,
                     std::size_t knownLength) {
    return length == knownLength && EqualIgnoringAsciiCase(description, known, length);
}

} // namespace

ReaderDescriptionList CurrentReaderDescriptions() {
    return std::atomic_load(&InUse);
}

void SetReaderDescriptions(std::vector<WString> descriptions) {
    std::atomic_store(&InUse, ReaderDescriptionList(std::make_shared<const std::vector<WString>>(
                                  std::move(descriptions))));
}

ReaderDescriptionsOutcome ParseReaderDescriptions(const BYTE* data, std::size_t size, DWORD type,
                                                  std::vector<WString>& descriptions) {
    descriptions.clear();
    if (type != REG_MULTI_SZ)
        return {ReaderDescriptionsResult::WrongType, type};
    // Half a character cannot be the list's terminator.
    if (size % sizeof(WCHAR) != 0)
        return {ReaderDescriptionsResult::NotTerminated, 0};
    const std::size_t count = size / sizeof(WCHAR);
    // The data need not be aligned for WCHAR.
    auto at = [data](std::size_t i) {
        WCHAR c;
        std::memcpy(&c, data + i * sizeof(WCHAR), sizeof c);
        return c;
    };
    if (count == 0 || (count == 1 && at(0) == 0))
        return {ReaderDescriptionsResult::NoDescription, 0};

    // Strings each ended by a zero, the list ended by an empty string as its last character.
    std::vector<WString> found;
    std::size_t next = 0;
    for (;;) {
        const std::size_t start = next;
        while (next < count && at(next) != 0)
            ++next;
        if (next == count)
            return {ReaderDescriptionsResult::NotTerminated, 0};
        const std::size_t length = next - start;
        ++next;
        if (length == 0) {
            if (next != count)
                return {ReaderDescriptionsResult::EmptyString, 0};
            descriptions.swap(found);
            return {ReaderDescriptionsResult::Taken, 0};
        }
        if (length > kMaxDescriptionLength)
            return {ReaderDescriptionsResult::TooLong, 0};
        if (found.size() == kMaxReaderDescriptions)
            return {ReaderDescriptionsResult::TooMany, 0};
        WString description(length, 0);
        std::memcpy(&description[0], data + start * sizeof(WCHAR), length * sizeof(WCHAR));
        found.push_back(std::move(description));
    }
}

namespace {

ReaderDescriptionsOutcome ReadValue(std::vector<WString>& descriptions) {
    descriptions.clear();
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ReaderDescriptionsKey, 0, KEY_READ, &key);
    if (status == ERROR_FILE_NOT_FOUND)
        return {ReaderDescriptionsResult::Absent, 0};
    if (status != ERROR_SUCCESS)
        return {ReaderDescriptionsResult::ReadFailed, static_cast<DWORD>(status)};
    std::vector<BYTE> buffer(kValueBytes);
    DWORD type = REG_NONE;
    DWORD size = kValueBytes;
    status = RegQueryValueExW(key, kSettingValue, nullptr, &type, buffer.data(), &size);
    RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND)
        return {ReaderDescriptionsResult::Absent, 0};
    if (status != ERROR_SUCCESS)
        return {ReaderDescriptionsResult::ReadFailed, static_cast<DWORD>(status)};
    // The data may lack its terminators, and it is never taken from beyond the buffer.
    return ParseReaderDescriptions(buffer.data(), size < kValueBytes ? size : kValueBytes, type,
                                   descriptions);
}

} // namespace

ReaderDescriptionsOutcome ReadReaderDescriptionsChange(bool* listChanged) {
    std::vector<WString> descriptions;
    const ReaderDescriptionsOutcome outcome = ReadValue(descriptions);
    *listChanged = descriptions != *CurrentReaderDescriptions();
    if (*listChanged)
        SetReaderDescriptions(std::move(descriptions));
    return outcome;
}

// A list equal to the one in use is as good as put in use.
ReaderDescriptionsOutcome ReadReaderDescriptions() {
    bool listChanged = false;
    return ReadReaderDescriptionsChange(&listChanged);
}

WString QuotedReaderDescriptions() {
    WString quoted;
    for (const WString& description : *CurrentReaderDescriptions()) {
        quoted += quoted.empty() ? WSTR("\"") : WSTR(", \"");
        quoted += description + WSTR("\"");
    }
    return quoted;
}

std::string ReaderDescriptionsIgnoredReason(const ReaderDescriptionsOutcome& outcome) {
    switch (outcome.result) {
    case ReaderDescriptionsResult::ReadFailed:
        return "the value cannot be read. Error: " + std::to_string(outcome.detail);
    case ReaderDescriptionsResult::WrongType:
        return "the value is of type " + std::to_string(outcome.detail) + ", not REG_MULTI_SZ.";
    case ReaderDescriptionsResult::NotTerminated:
        return "the value is not terminated.";
    case ReaderDescriptionsResult::NoDescription:
        return "the value holds no description.";
    case ReaderDescriptionsResult::EmptyString:
        return "a description is empty.";
    case ReaderDescriptionsResult::TooMany:
        return "more than 16 descriptions.";
    case ReaderDescriptionsResult::TooLong:
        return "a description is longer than 255 characters.";
    case ReaderDescriptionsResult::Absent:
    case ReaderDescriptionsResult::Taken:
        break;
    }
    return std::string();
}

bool IsUmdf2ReaderDescription(const WCHAR* description, std::size_t length) {
    if (SameDescription(description, length, kUmdf2ReaderDescription,
                        sizeof kUmdf2ReaderDescription / sizeof(WCHAR) - 1))
        return true;
    const ReaderDescriptionList added = CurrentReaderDescriptions();
    for (const WString& one : *added) {
        if (SameDescription(description, length, one.c_str(), one.size()))
            return true;
    }
    return false;
}
