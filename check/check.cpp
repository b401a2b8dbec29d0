#include "check.h"
#include "findings.h"

#include "log/log_switch.h"
#include "repair/ccid_inf_locator.h"
#include "repair/reader_descriptions.h"
#include "repair/reader_prefixes.h"

#include <cstdio>
#include <string>

namespace {

const WCHAR kUsage[] = WSTR("usage: ruverodazaroda-check.exe (it takes no arguments)\r\n");

// Writes text to a standard handle: as characters to a console, as UTF-8 to a file or a
// pipe, where WriteConsoleW would fail.
void Write(DWORD which, const WString& text) {
    HANDLE out = GetStdHandle(which);
    if (out == nullptr || out == INVALID_HANDLE_VALUE)
        return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string bytes = Utf16ToUtf8(text);
    for (std::size_t done = 0; done < bytes.size(); done += written) {
        if (!WriteFile(out, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                       nullptr) ||
            written == 0)
            return;
    }
}

void AddReason(WString& reasons, const WString& reason) {
    reasons += (reasons.empty() ? WSTR("") : WSTR("; ")) + reason;
}

WString Readers(unsigned count, const WCHAR* one, const WCHAR* many) {
    return Decimal(count) + (count == 1 ? one : many);
}

// The last line, and the status it stands for: what is known to be wrong comes first, even
// where something else could not be told, and every reason is named.
int Result(Findings& findings) {
    WString wrong;
    if (findings.serviceKnown && !findings.installed)
        AddReason(wrong, WSTR("service not installed"));
    else if (findings.serviceKnown && !findings.running)
        AddReason(wrong, WSTR("service not running"));
    if (findings.needFixing > 0)
        AddReason(wrong, Readers(findings.needFixing, WSTR(" reader needs fixing"),
                                 WSTR(" readers need fixing")));
    WString untold;
    if (findings.untold > 0)
        AddReason(untold, Readers(findings.untold, WSTR(" reader cannot be told"),
                                  WSTR(" readers cannot be told")));
    if (!findings.failure.empty())
        AddReason(untold, findings.failure);
    if (!wrong.empty()) {
        if (!untold.empty())
            AddReason(wrong, untold);
        AddLine(findings, WSTR("result: not compliant: ") + wrong);
        return CheckNotCompliant;
    }
    if (!untold.empty()) {
        AddLine(findings, WSTR("result: cannot tell: ") + untold);
        return CheckCannotTell;
    }
    if (findings.restartPending > 0) {
        AddLine(findings, WSTR("result: compliant after a restart"));
        return CheckCompliantAfterRestart;
    }
    AddLine(findings, WSTR("result: compliant"));
    return CheckCompliant;
}

// A language as its locale name ("de-DE"), or as its number where it has none.
WString LanguageName(LANGID language) {
    WCHAR name[LOCALE_NAME_MAX_LENGTH] = {};
    if (LCIDToLocaleName(MAKELCID(language, SORT_DEFAULT), name, LOCALE_NAME_MAX_LENGTH, 0) > 0)
        return WString(name, BoundedWideLength(name, LOCALE_NAME_MAX_LENGTH));
    char number[8];
    std::snprintf(number, sizeof number, "0x%04X", static_cast<unsigned>(language));
    return Utf8ToUtf16(number);
}

// Device descriptions come in the display language of whoever reads them: the service runs
// as LocalSystem, in the system's language, and may see other descriptions than this user.
void DisplayLanguage(Findings& findings) {
    const LANGID user = GetUserDefaultUILanguage();
    const LANGID system = GetSystemDefaultUILanguage();
    if (user != system)
        AddLine(findings, WSTR("display language: ") + LanguageName(user) +
                              WSTR(" (the service reads descriptions in ") + LanguageName(system) +
                              WSTR(")"));
}

} // namespace

void AddLine(Findings& findings, const WString& line) {
    findings.report += line;
    findings.report += WSTR("\r\n");
}

WString FailureText(const WCHAR* call, DWORD code) {
    // Setup and device errors are large numbers, read in hexadecimal.
    char number[16];
    std::snprintf(number, sizeof number, code > 0xFFFF ? "0x%08X" : "%u",
                  static_cast<unsigned>(code));
    return WString(call) + WSTR(" failed (") + Utf8ToUtf16(number) + WSTR(")");
}

void QueryFailed(Findings& findings, const WCHAR* call, DWORD code) {
    if (findings.failure.empty())
        findings.failure = FailureText(call, code);
}

WString Decimal(DWORD value) {
    return Utf8ToUtf16(std::to_string(value));
}

bool SameIgnoringAsciiCase(const WString& a, const WString& b) {
    return a.size() == b.size() && EqualIgnoringAsciiCase(a.c_str(), b.c_str(), a.size());
}

int CheckMain(int argc, WCHAR* argv[]) {
    (void)argv;
    if (argc != 1) {
        Write(STD_ERROR_HANDLE, kUsage);
        return CheckCannotTell;
    }
    BuildReaderPrefixList();
    Findings findings;
    CheckService(findings);
    WString package;
    AddLine(findings, WSTR("driver package: ") +
                          (FindCcidInfPath(package) ? package : WString(WSTR("not found"))));
    AddLine(findings, SwitchedOn() ? WSTR("logging: on") : WSTR("logging: off"));
    DisplayLanguage(findings);
    // As the service logs it at its start: only where the administrator has set the value.
    const ReaderDescriptionsOutcome descriptions = ReadReaderDescriptions();
    if (descriptions.result == ReaderDescriptionsResult::Taken)
        AddLine(findings, WSTR("reader descriptions: ") + QuotedReaderDescriptions());
    else if (descriptions.result != ReaderDescriptionsResult::Absent)
        AddLine(findings, WSTR("reader descriptions: ignored: ") +
                              Utf8ToUtf16(ReaderDescriptionsIgnoredReason(descriptions)));
    const std::size_t slash = package.find_last_of(WCHAR('\\'));
    CheckReaders(findings, slash == WString::npos ? WString() : package.substr(slash + 1));
    const int status = Result(findings);
    Write(STD_OUTPUT_HANDLE, findings.report);
    return status;
}
