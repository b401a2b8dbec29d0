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

// The last line, and the status it stands for.
int Result(Findings& findings) {
    if (!findings.failure.empty()) {
        AddLine(findings, WSTR("result: cannot tell: ") + findings.failure);
        return CheckCannotTell;
    }
    WString reasons;
    auto reason = [&reasons](const WString& text) {
        reasons += (reasons.empty() ? WSTR("") : WSTR("; ")) + text;
    };
    if (!findings.installed)
        reason(WSTR("service not installed"));
    else if (!findings.running)
        reason(WSTR("service not running"));
    if (findings.needFixing == 1)
        reason(WSTR("1 reader needs fixing"));
    else if (findings.needFixing > 1)
        reason(Decimal(findings.needFixing) + WSTR(" readers need fixing"));
    if (!reasons.empty()) {
        AddLine(findings, WSTR("result: not compliant: ") + reasons);
        return CheckNotCompliant;
    }
    if (findings.restartPending > 0) {
        AddLine(findings, WSTR("result: compliant after a restart"));
        return CheckCompliantAfterRestart;
    }
    AddLine(findings, WSTR("result: compliant"));
    return CheckCompliant;
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
