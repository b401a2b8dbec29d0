// What the control manager holds for a service, read back as QueryServiceConfigW and
// QueryServiceConfig2W give it: a record, then the strings and arrays it points to, all in
// the caller's buffer.
#include "internal.h"

#include <cstring>

namespace {

using sim::detail::Fail;
using sim::detail::Faulted;
using sim::detail::Out;
using sim::detail::Ptr;
using sim::detail::WorldLock;

// Lays out a record and what it points to in one buffer, each piece aligned as its type.
class Layout {
  public:
    explicit Layout(std::size_t recordSize) : size_(recordSize) {}
    std::size_t Add(std::size_t bytes, std::size_t alignment) {
        size_ = (size_ + alignment - 1) / alignment * alignment;
        std::size_t at = size_;
        size_ += bytes;
        return at;
    }
    DWORD Size() const { return static_cast<DWORD>(size_); }

  private:
    std::size_t size_;
};

LPWSTR PutText(LPBYTE buffer, std::size_t at, const WString& text) {
    auto* target = reinterpret_cast<LPWSTR>(buffer + at);
    std::memcpy(target, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return target;
}

} // namespace

BOOL QueryServiceConfigW(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD bufferSize,
                         LPDWORD bytesNeeded) {
    if (Faulted("QueryServiceConfigW", Ptr(service), Out(config, "&config"), bufferSize,
                Out(bytesNeeded, "&needed")))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    const sim::ServiceRecord* record = sim::detail::RecordOfHandle(service, SERVICE_QUERY_CONFIG);
    if (record == nullptr)
        return FALSE;
    if (bytesNeeded == nullptr)
        return Fail(ERROR_INVALID_ADDRESS);
    // No group, no dependencies in this world.
    const WString& display = record->displayName;
    Layout layout(sizeof(QUERY_SERVICE_CONFIGW));
    const std::size_t path = layout.Add((record->binaryPath.size() + 1) * 2, 2);
    const std::size_t group = layout.Add(2, 2);
    const std::size_t dependencies = layout.Add(4, 2);
    const std::size_t account = layout.Add((record->account.size() + 1) * 2, 2);
    const std::size_t name = layout.Add((display.size() + 1) * 2, 2);
    *bytesNeeded = layout.Size();
    if (config == nullptr || bufferSize < layout.Size())
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    auto* bytes = reinterpret_cast<LPBYTE>(config);
    config->dwServiceType = record->serviceType;
    config->dwStartType = record->startType;
    config->dwErrorControl = record->errorControl;
    config->lpBinaryPathName = PutText(bytes, path, record->binaryPath);
    config->lpLoadOrderGroup = PutText(bytes, group, WString());
    config->dwTagId = 0;
    config->lpDependencies = PutText(bytes, dependencies, WString(1, 0));
    config->lpServiceStartName = PutText(bytes, account, record->account);
    config->lpDisplayName = PutText(bytes, name, display);
    return TRUE;
}

BOOL QueryServiceConfig2W(SC_HANDLE service, DWORD infoLevel, LPBYTE buffer, DWORD bufferSize,
                          LPDWORD bytesNeeded) {
    if (Faulted("QueryServiceConfig2W", Ptr(service), infoLevel, Out(buffer, "&buffer"), bufferSize,
                Out(bytesNeeded, "&needed")))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    const sim::ServiceRecord* record = sim::detail::RecordOfHandle(service, SERVICE_QUERY_CONFIG);
    if (record == nullptr)
        return FALSE;
    if (infoLevel != SERVICE_CONFIG_DESCRIPTION && infoLevel != SERVICE_CONFIG_FAILURE_ACTIONS)
        return Fail(ERROR_INVALID_LEVEL);
    if (bytesNeeded == nullptr)
        return Fail(ERROR_INVALID_ADDRESS);
    if (infoLevel == SERVICE_CONFIG_DESCRIPTION) {
        // A service without a description gives a null pointer.
        Layout layout(sizeof(SERVICE_DESCRIPTIONW));
        const std::size_t text =
            record->description ? layout.Add((record->description->size() + 1) * 2, 2) : 0;
        *bytesNeeded = layout.Size();
        if (buffer == nullptr || bufferSize < layout.Size())
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer);
        description->lpDescription =
            record->description ? PutText(buffer, text, *record->description) : nullptr;
        return TRUE;
    }
    const sim::FailureActions none;
    const sim::FailureActions& actions = record->failureActions ? *record->failureActions : none;
    Layout layout(sizeof(SERVICE_FAILURE_ACTIONSW));
    const std::size_t list =
        layout.Add(actions.actions.size() * sizeof(SC_ACTION), alignof(SC_ACTION));
    *bytesNeeded = layout.Size();
    if (buffer == nullptr || bufferSize < layout.Size())
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer);
    failure->dwResetPeriod = actions.resetPeriod;
    // Neither a reboot message nor a command is ever set by this system; given, they would
    // be empty strings here.
    failure->lpRebootMsg = nullptr;
    failure->lpCommand = nullptr;
    failure->cActions = static_cast<DWORD>(actions.actions.size());
    failure->lpsaActions =
        actions.actions.empty() ? nullptr : reinterpret_cast<SC_ACTION*>(buffer + list);
    for (std::size_t i = 0; i < actions.actions.size(); ++i)
        failure->lpsaActions[i] = SC_ACTION{actions.actions[i].first, actions.actions[i].second};
    return TRUE;
}
