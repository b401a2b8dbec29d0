#include "findings.h"

#include "commands/packaged_recovery.h"
#include "commands/service_description.h"
#include "commands/service_handle.h"
#include "service/service_name.h"

#include <cstdint>

namespace {

// The largest record either configuration query gives.
constexpr DWORD kConfigBufferSize = 8192;

const WCHAR kPackagedStartType[] = WSTR("automatic");
const WCHAR kPackagedAccount[] = WSTR("LocalSystem");

WString StateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED:
        return WSTR("stopped");
    case SERVICE_START_PENDING:
        return WSTR("start pending");
    case SERVICE_STOP_PENDING:
        return WSTR("stop pending");
    case SERVICE_RUNNING:
        return WSTR("running");
    case SERVICE_CONTINUE_PENDING:
        return WSTR("continue pending");
    case SERVICE_PAUSE_PENDING:
        return WSTR("pause pending");
    case SERVICE_PAUSED:
        return WSTR("paused");
    default:
        return WSTR("state ") + Decimal(state);
    }
}

WString StartTypeName(DWORD startType) {
    switch (startType) {
    case SERVICE_BOOT_START:
        return WSTR("boot");
    case SERVICE_SYSTEM_START:
        return WSTR("system");
    case SERVICE_AUTO_START:
        return WSTR("automatic");
    case SERVICE_DEMAND_START:
        return WSTR("manual");
    case SERVICE_DISABLED:
        return WSTR("disabled");
    default:
        return WSTR("type ") + Decimal(startType);
    }
}

// "name: value", and what the package sets when the value differs from it.
void Fact(Findings& findings, const WCHAR* name, const WString& value, bool packaged,
          const WString& packagedValue) {
    WString line = WString(name) + WSTR(": ") + value;
    if (!packaged)
        line += WSTR(" (packaged: ") + packagedValue + WSTR(")");
    AddLine(findings, line);
}

WString ActionsText(DWORD resetPeriod, const SC_ACTION* actions, DWORD count) {
    if (count == 0 || actions == nullptr)
        return WSTR("none");
    WString text;
    for (DWORD i = 0; i < count; ++i) {
        if (i > 0)
            text += WSTR(", ");
        switch (actions[i].Type) {
        case SC_ACTION_NONE:
            text += WSTR("none");
            continue;
        case SC_ACTION_RESTART:
            text += WSTR("restart");
            break;
        case SC_ACTION_REBOOT:
            text += WSTR("reboot");
            break;
        case SC_ACTION_RUN_COMMAND:
            text += WSTR("run command");
            break;
        default:
            text += WSTR("action ") + Decimal(static_cast<DWORD>(actions[i].Type));
            break;
        }
        text += WSTR(" after ") + Decimal(actions[i].Delay) + WSTR(" ms");
    }
    return text + WSTR("; reset after ") + Decimal(resetPeriod) + WSTR(" s");
}

// A fact that a failed query leaves unknown. The registration is reported, not judged: the
// status does not depend on it.
void Unknown(Findings& findings, const WCHAR* name, const WCHAR* call) {
    AddLine(findings,
            WString(name) + WSTR(": unknown (") + FailureText(call, GetLastError()) + WSTR(")"));
}

// Both configuration queries fill a record followed by what it points to.
union ConfigBuffer {
    std::uint64_t alignment;
    BYTE bytes[kConfigBufferSize];
};

void Registration(Findings& findings, SC_HANDLE service) {
    ConfigBuffer buffer;
    DWORD needed = 0;
    const auto* config = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.bytes);
    if (!QueryServiceConfigW(service, reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.bytes),
                             kConfigBufferSize, &needed)) {
        Unknown(findings, WSTR("registration"), WSTR("QueryServiceConfigW"));
    } else {
        const WString startType = StartTypeName(config->dwStartType);
        Fact(findings, WSTR("start type"), startType, startType == kPackagedStartType,
             kPackagedStartType);
        const WString account = config->lpServiceStartName ? config->lpServiceStartName : WString();
        Fact(findings, WSTR("account"), account, SameIgnoringAsciiCase(account, kPackagedAccount),
             kPackagedAccount);
        // Unquoted, a path with spaces lets the manager run a program named by a prefix of it.
        const WString path = config->lpBinaryPathName ? config->lpBinaryPathName : WString();
        const bool quoted = path.size() >= 2 && path.front() == WCHAR('"') &&
                            path.find(WCHAR('"'), 1) != WString::npos;
        Fact(findings, WSTR("image path"),
             path + (quoted ? WSTR(" (quoted)") : WSTR(" (not quoted)")), quoted, WSTR("quoted"));
    }

    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer.bytes, kConfigBufferSize,
                              &needed)) {
        Unknown(findings, WSTR("description"), WSTR("QueryServiceConfig2W"));
    } else {
        const WCHAR* text = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.bytes)->lpDescription;
        const bool none = text == nullptr || *text == 0;
        const bool same = !none && WString(text) == ServiceDescription;
        Fact(findings, WSTR("description"),
             none   ? WSTR("none")
             : same ? WSTR("present")
                    : WSTR("another text"),
             same, WSTR("present"));
    }

    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.bytes,
                              kConfigBufferSize, &needed)) {
        Unknown(findings, WSTR("recovery"), WSTR("QueryServiceConfig2W"));
    } else {
        const auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer.bytes);
        const WString stored =
            ActionsText(failure->dwResetPeriod, failure->lpsaActions, failure->cActions);
        const WString packaged =
            ActionsText(PackagedFailureCountReset, PackagedActions, PackagedActionCount);
        Fact(findings, WSTR("recovery"), stored, stored == packaged, packaged);
    }
}

} // namespace

void CheckService(Findings& findings) {
    // Connecting and reading need no elevation, as an administrator's prompt or a
    // remediation tool running as LocalSystem may or may not have it.
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return QueryFailed(findings, WSTR("OpenSCManagerW"), GetLastError());
    ScHandle service(
        OpenServiceW(manager.get(), ServiceName, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service) {
        const DWORD code = GetLastError();
        if (code != ERROR_SERVICE_DOES_NOT_EXIST)
            return QueryFailed(findings, WSTR("OpenServiceW"), code);
        findings.serviceKnown = true;
        AddLine(findings, WSTR("service: not installed"));
        return;
    }
    findings.installed = true;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&status), sizeof status, &needed))
        return QueryFailed(findings, WSTR("QueryServiceStatusEx"), GetLastError());
    findings.serviceKnown = true;
    // A service on its way up or down does not repair readers yet, or no longer.
    findings.running = status.dwCurrentState == SERVICE_RUNNING;
    AddLine(findings, WSTR("service: ") + StateName(status.dwCurrentState));
    Registration(findings, service.get());
}
