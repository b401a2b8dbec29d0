#include "reader_driver.h"

#include "reader_prefixes.h"

namespace {

const WCHAR kInboxUmdf2Inf[] = WSTR("usbcciddriver.inf");
const WCHAR kInboxProvider[] = WSTR("Microsoft");

template <std::size_t N> bool IsText(const WString& value, const WCHAR (&text)[N]) {
    return value.size() == N - 1 && EqualIgnoringAsciiCase(value.c_str(), text, N - 1);
}

// One string value of the key into text; a missing value leaves text empty. False, with the
// failed query, when the value cannot be read or is not a string.
bool ReadString(HKEY key, const WCHAR* name, WString& text, ReaderDriverFailure& failure) {
    WCHAR value[MAX_PATH + 1] = {};
    DWORD type = 0;
    DWORD size = MAX_PATH * sizeof(WCHAR);
    const LSTATUS status =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(value), &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        failure = {WSTR("RegQueryValueExW"),
                   static_cast<DWORD>(status != ERROR_SUCCESS ? status : ERROR_INVALID_DATA)};
        return false;
    }
    text.assign(value, BoundedWideLength(value, MAX_PATH));
    return true;
}

} // namespace

bool ReadReaderDriver(HDEVINFO set, SP_DEVINFO_DATA& device, ReaderDriver& driver,
                      ReaderDriverFailure& failure) {
    driver = ReaderDriver{};
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) {
        const DWORD code = GetLastError();
        // A device that has never had a driver installed has no driver key.
        if (code == ERROR_KEY_DOES_NOT_EXIST)
            return true;
        failure = {WSTR("SetupDiOpenDevRegKey"), code};
        return false;
    }
    bool read = ReadString(key, WSTR("InfPath"), driver.inf, failure);
    if (read && IsText(driver.inf, kInboxUmdf2Inf))
        read = ReadString(key, WSTR("ProviderName"), driver.provider, failure);
    RegCloseKey(key);
    return read;
}

bool IsInboxUmdf2Driver(const ReaderDriver& driver) {
    // The provider as the package names it: the same INF name from anyone else is not
    // Windows' own driver.
    return IsText(driver.inf, kInboxUmdf2Inf) && driver.provider == kInboxProvider;
}
