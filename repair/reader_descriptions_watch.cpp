#include "reader_descriptions_watch.h"

#include "log/log.h"
#include "reader_descriptions.h"

#include <cstddef>

HANDLE ReaderDescriptionsChanged = nullptr;

namespace {

// The value's key and the keys above it, below HKEY_LOCAL_MACHINE, where SOFTWARE always is.
// install and the package create the value's key, so that normally the watch sits on it and
// on its parent; the keys above are watched only while it is missing.
const WCHAR* const kPath[] = {
    WSTR("SOFTWARE"),
    WSTR("SOFTWARE\\Corvane"),
    WSTR("SOFTWARE\\Corvane\\Tessarine"),
    WSTR("SOFTWARE\\Corvane\\Tessarine\\KVR"),
    ReaderDescriptionsKey,
};
constexpr std::size_t kValueKey = sizeof kPath / sizeof kPath[0] - 1;

// The watched key and its parent. A registration reports one change only, and ends when its
// key is closed (which signals the event too).
HKEY Watched[2] = {nullptr, nullptr};

void CloseWatchedKeys() {
    for (HKEY& key : Watched) {
        if (key != nullptr)
            RegCloseKey(key);
        key = nullptr;
    }
}

bool KeyExists(std::size_t level) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPath[level], 0, KEY_NOTIFY, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

LSTATUS Watch(HKEY& key, std::size_t level, DWORD filter) {
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPath[level], 0, KEY_NOTIFY, &key);
    if (status != ERROR_SUCCESS) {
        key = nullptr;
        return status;
    }
    return RegNotifyChangeKeyValue(key, FALSE, filter, ReaderDescriptionsChanged, TRUE);
}

// Watches the deepest key of the path that exists: the value's own key for a change of its
// values, or else a key for its next subkey to appear; and that key's parent for a subkey
// deleted, since a key's own registration is not told of its deletion. The service main
// thread registers and lives until the watch ends, so the registrations need not outlive
// their thread.
LSTATUS Arm() {
    // Closing the keys of the last watch signals the event: reset only afterwards. A change
    // from here on is either reported or seen by the reading that follows.
    CloseWatchedKeys();
    ResetEvent(ReaderDescriptionsChanged);
    std::size_t level = kValueKey;
    while (level > 0 && !KeyExists(level))
        --level;
    // The parent first: the key may be deleted before its own registration.
    LSTATUS status =
        level == 0 ? ERROR_SUCCESS : Watch(Watched[1], level - 1, REG_NOTIFY_CHANGE_NAME);
    if (status == ERROR_SUCCESS)
        status = Watch(Watched[0], level,
                       level == kValueKey ? REG_NOTIFY_CHANGE_LAST_SET : REG_NOTIFY_CHANGE_NAME);
    // A key that went, or came, between the look and the registrations: look again.
    const bool moved = status == ERROR_FILE_NOT_FOUND || status == ERROR_KEY_DELETED ||
                       (status == ERROR_SUCCESS && level < kValueKey && KeyExists(level + 1));
    if (moved) {
        SetEvent(ReaderDescriptionsChanged);
        return ERROR_SUCCESS;
    }
    return status;
}

// A watch that cannot be made is given up: the descriptions in use stay until the service
// starts again.
void ArmOrGiveUp() {
    const LSTATUS status = Arm();
    if (status == ERROR_SUCCESS)
        return;
    LogMessage("Reader descriptions cannot be watched. Error: %lu\n", static_cast<DWORD>(status));
    EndReaderDescriptionsWatch();
}

} // namespace

void StartReaderDescriptionsWatch() {
    ReaderDescriptionsChanged = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ReaderDescriptionsChanged == nullptr)
        LogMessage("Reader descriptions cannot be watched. Error: %lu\n", GetLastError());
    else
        ArmOrGiveUp();
    LoadReaderDescriptions();
}

bool FollowReaderDescriptions() {
    ArmOrGiveUp();
    return ReloadReaderDescriptions();
}

// The event is not closed: like the stop event, it lives until the process ends.
void EndReaderDescriptionsWatch() {
    CloseWatchedKeys();
    ReaderDescriptionsChanged = nullptr;
}
