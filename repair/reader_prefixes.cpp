#include "reader_prefixes.h"

std::vector<WString> ReaderPrefixList;

void BuildReaderPrefixList() {
    ReaderPrefixList.push_back(WSTR("USB\\VID_F0C1&PID_"));
    ReaderPrefixList.push_back(WSTR("USB\\VID_F0C2&PID_"));
    ReaderPrefixList.push_back(WSTR("USB\\VID_F0C3&PID_"));
    ReaderPrefixList.push_back(WSTR("USB\\VID_F0C4&PID_"));
}

bool EqualIgnoringAsciiCase(const WCHAR* a, const WCHAR* b, std::size_t length) {
    // No locale takes part: identifiers compare the same on every system.
    auto fold = [](WCHAR c) {
        return static_cast<WCHAR>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
    };
    for (std::size_t i = 0; i < length; ++i) {
        if (fold(a[i]) != fold(b[i]))
            return false;
    }
    return true;
}

int IsWatchedReaderInstance(const WCHAR* instanceId) {
    std::size_t length = WideLength(instanceId);
    for (const WString& prefix : ReaderPrefixList) {
        if (length < prefix.size())
            continue;
        if (EqualIgnoringAsciiCase(instanceId, prefix.c_str(), prefix.size()))
            return 1;
    }
    return 0;
}
