#include "findings.h"

#include "repair/reader_enumeration.h"
#include "repair/reader_prefixes.h"

#include <vector>

namespace {

struct Driver : ReaderDriver {
    WString original; // the name the INF came with, where Windows published it under another
};

// The INF of the device's driver, by its driver key; false when a query failed.
bool ReadDriver(Findings& findings, HDEVINFO set, SP_DEVINFO_DATA& device, Driver& driver) {
    ReaderDriverFailure failure;
    if (!ReadReaderDriver(set, device, driver, failure)) {
        QueryFailed(findings, failure.call, failure.code);
        return false;
    }
    if (driver.inf.empty())
        return true;

    // Windows publishes a package that is not its own as oemNN.inf, and remembers the name
    // the INF came with.
    DWORD needed = 0;
    if (!SetupGetInfInformationW(driver.inf.c_str(), INFINFO_DEFAULT_SEARCH, nullptr, 0, &needed)) {
        QueryFailed(findings, WSTR("SetupGetInfInformationW"), GetLastError());
        return false;
    }
    std::vector<DWORD> buffer(needed / sizeof(DWORD) + 1);
    auto* information = reinterpret_cast<PSP_INF_INFORMATION>(buffer.data());
    if (!SetupGetInfInformationW(driver.inf.c_str(), INFINFO_DEFAULT_SEARCH, information,
                                 static_cast<DWORD>(buffer.size() * sizeof(DWORD)), &needed)) {
        QueryFailed(findings, WSTR("SetupGetInfInformationW"), GetLastError());
        return false;
    }
    SP_ORIGINAL_FILE_INFO_W original{};
    original.cbSize = sizeof original;
    if (!SetupQueryInfOriginalFileInformationW(information, 0, nullptr, &original)) {
        QueryFailed(findings, WSTR("SetupQueryInfOriginalFileInformationW"), GetLastError());
        return false;
    }
    driver.original =
        WString(original.OriginalInfName, BoundedWideLength(original.OriginalInfName, MAX_PATH));
    return true;
}

// Whether Windows waits for a restart to start the device on the driver it installed.
bool RestartPending(Findings& findings, DEVINST device, bool& pending) {
    ULONG status = 0;
    ULONG problem = 0;
    CONFIGRET result = CM_Get_DevNode_Status(&status, &problem, device, 0);
    if (result != CR_SUCCESS) {
        QueryFailed(findings, WSTR("CM_Get_DevNode_Status"), result);
        return false;
    }
    pending = (status & DN_HAS_PROBLEM) != 0 && problem == CM_PROB_NEED_RESTART;
    return true;
}

// One line for the device if its first hardware ID is watched; false when a query failed.
bool CheckDevice(Findings& findings, HDEVINFO set, SP_DEVINFO_DATA& device,
                 const WString& packageName) {
    // Zeroed, and read as the service reads them, so that the reader rule sees what it
    // would see in a repair pass. One character more keeps the description terminated.
    WCHAR hardwareIds[ReaderPropertyCharacters] = {};
    WCHAR description[ReaderPropertyCharacters + 1] = {};
    DWORD size = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<PBYTE>(hardwareIds),
                                           ReaderPropertyBufferSize, &size))
        return true; // no hardware IDs that could be watched
    if (BoundedWideLength(hardwareIds, ReaderPropertyCharacters) == ReaderPropertyCharacters ||
        !IsWatchedReaderInstance(hardwareIds))
        return true;
    // A device without a driver has no description yet.
    SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DEVICEDESC, nullptr,
                                      reinterpret_cast<PBYTE>(description),
                                      ReaderPropertyBufferSize, &size);
    WCHAR instanceId[MAX_DEVICE_ID_LEN] = {};
    if (!SetupDiGetDeviceInstanceIdW(set, &device, instanceId, MAX_DEVICE_ID_LEN, nullptr)) {
        QueryFailed(findings, WSTR("SetupDiGetDeviceInstanceIdW"), GetLastError());
        return false;
    }
    Driver driver;
    if (!ReadDriver(findings, set, device, driver))
        return false;

    WString verdict = WSTR("other driver");
    if (MatchReaderToRepair(device.ClassGuid, hardwareIds, description, [&](ReaderDriver& d) {
            d = driver;
            return true;
        }) != ReaderMatch::None) {
        verdict = WSTR("needs fixing");
        ++findings.needFixing;
    } else if (!packageName.empty() && SameIgnoringAsciiCase(driver.original, packageName)) {
        bool pending = false;
        if (!RestartPending(findings, device.DevInst, pending))
            return false;
        verdict = pending ? WSTR("restart pending") : WSTR("ok");
        findings.restartPending += pending ? 1 : 0;
    }
    WString inf = driver.inf.empty() ? WString(WSTR("no driver")) : driver.inf;
    if (!driver.inf.empty() && !SameIgnoringAsciiCase(driver.original, driver.inf))
        inf += WSTR(" from ") + driver.original;
    AddLine(findings, WString(WSTR("reader ")) + instanceId + WSTR(": ") + verdict + WSTR(" (") +
                          inf + WSTR(", \"") + description + WSTR("\")"));
    return true;
}

} // namespace

void CheckReaders(Findings& findings, const WString& packageName) {
    // Every class: a reader on a vendor's own driver may sit in another setup class.
    HDEVINFO set =
        SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return QueryFailed(findings, WSTR("SetupDiGetClassDevsW"), GetLastError());
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device; // 32 on 64-bit Windows, as the setup interface checks
    for (DWORD index = 0;; ++index) {
        if (!SetupDiEnumDeviceInfo(set, index, &device)) {
            const DWORD code = GetLastError();
            if (code != ERROR_NO_MORE_ITEMS)
                QueryFailed(findings, WSTR("SetupDiEnumDeviceInfo"), code);
            break;
        }
        if (!CheckDevice(findings, set, device, packageName))
            break;
    }
    SetupDiDestroyDeviceInfoList(set);
}
