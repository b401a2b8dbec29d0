#include "commands.h"
#include "packaged_recovery.h"
#include "service_description.h"
#include "service_handle.h"

#include "log/log.h"
#include "repair/reader_descriptions.h"
#include "service/service_name.h"

namespace {

// The longest path Windows knows, terminator included. GetModuleFileNameW cuts a longer path
// without failing and then fills the whole buffer.
constexpr DWORD LongestPath = 32768;

// Best effort: an entry without a description or recovery actions still works, so neither
// result is looked at.
void DescribeAndSetRecovery(SC_HANDLE service) {
    WString text = ServiceDescription;
    SERVICE_DESCRIPTIONW description{};
    description.lpDescription = text.data();
    ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);

    SC_ACTION actions[PackagedActionCount];
    for (DWORD i = 0; i < PackagedActionCount; ++i)
        actions[i] = PackagedActions[i];
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = PackagedFailureCountReset;
    failure.cActions = PackagedActionCount;
    failure.lpsaActions = actions;
    ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
}

// The key of the added reader descriptions, made empty for the running service to watch, so
// that its watch sits there and not on a key above, which other programs change. Like the
// policy, it is kept out of the way of no one: it holds nothing until an administrator adds
// the value.
void CreateReaderDescriptionsKey() {
    HKEY key = nullptr;
    const LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ReaderDescriptionsKey, 0, nullptr, 0,
                                           KEY_READ, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        LogMessage("RegCreateKeyEx failed (%d)\n", static_cast<int>(status));
        return;
    }
    RegCloseKey(key);
}

bool DeleteKeyIfEmpty(const WString& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD subKeys = 1;
    DWORD values = 1;
    const LSTATUS status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr,
                                            nullptr, &values, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && subKeys == 0 && values == 0 &&
           RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()) == ERROR_SUCCESS;
}

// The key that install made, and the keys above it up to the vendor's, each only while it is
// empty: an administrator's descriptions, the log switch or another program's key keep theirs.
void DeleteReaderDescriptionsKey() {
    WString path = ReaderDescriptionsKey;
    while (path.find(WCHAR('\\')) != WString::npos && DeleteKeyIfEmpty(path))
        path.resize(path.rfind(WCHAR('\\')));
}

} // namespace

void InstallServiceCommand() {
    WString path(LongestPath, 0);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), LongestPath);
    if (length == 0) {
        LogMessage("Cannot install service (%d)\n", GetLastError());
        return;
    }
    // A cut path would register another program, or none at all.
    if (length >= LongestPath) {
        LogMessage("Cannot install service (%d)\n", static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        return;
    }
    path.resize(length);
    // Unquoted, a path with spaces lets the control manager run a program named by any of
    // its prefixes, such as C:\Program.exe.
    const WString binaryPath = WSTR("\"") + path + WSTR("\"");

    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        LogMessage("OpenSCManager failed (%d)\n", GetLastError());
        return;
    }
    ScHandle service(CreateServiceW(manager.get(), ServiceName, ServiceName, SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                    SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr,
                                    nullptr, nullptr, nullptr));
    if (!service) {
        LogMessage("CreateService failed (%d)\n", GetLastError());
        return;
    }
    DescribeAndSetRecovery(service.get());
    CreateReaderDescriptionsKey();
    LogMessage("Service installed successfully\n");
    // Whether the service comes up shows in its own status; the entry stays either way.
    StartServiceW(service.get(), 0, nullptr);
}

void DeleteServiceCommand() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        LogMessage("OpenSCManager failed (%d)\n", GetLastError());
        return;
    }
    ScHandle service(OpenServiceW(manager.get(), ServiceName, DELETE));
    if (!service) {
        LogMessage("OpenService failed (%d)\n", GetLastError());
        return;
    }
    if (!DeleteService(service.get())) {
        LogMessage("DeleteService failed (%d)\n", GetLastError());
        return;
    }
    DeleteReaderDescriptionsKey();
    LogMessage("Service deleted successfully\n");
}
