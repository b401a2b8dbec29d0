#include "log_switch.h"

namespace {

const WCHAR kSwitchKey[] = WSTR("SOFTWARE\\Corvane\\Tessarine\\KVR\\Log");
const WCHAR kSwitchValue[] = WSTR("Enabled");

} // namespace

bool SwitchedOn() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD enabled = 0;
    DWORD type = 0;
    DWORD size = sizeof enabled;
    LSTATUS status = RegQueryValueExW(key, kSwitchValue, nullptr, &type,
                                      reinterpret_cast<LPBYTE>(&enabled), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && enabled != 0;
}
