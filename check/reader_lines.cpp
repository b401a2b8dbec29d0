#include "findings.h"

#include "repair/reader_enumeration.h"
#include "repair/reader_prefixes.h"

#include <vector>

namespace {

const WCHAR kInfPathValue[] = WSTR("InfPath");

struct Driver {
    WString inf;      // as the driver key names it; empty without a driver
    WString original; // the name the INF came with, where Windows published it under another
};

// The INF of the device's driver, by its driver key; false, with the failed query in failure,
// when a query failed.
bool ReadDriver(WString& failure, HDEVINFO set, SP_DEVINFO_DATA& device, Driver& driver) {
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) {
        const DWORD code = GetLastError();
        // A device that has never had a driver installed has no driver key.
        if (code == ERROR_KEY_DOES_NOT_EXIST)
            return true;
        failure = FailureText(WSTR("SetupDiOpenDevRegKey"), code);
        return false;
    }
    WCHAR inf[MAX_PATH + 1] = {};
    DWORD type = 0;
    DWORD size = MAX_PATH * sizeof(WCHAR);
    LSTATUS status =
        RegQueryValueExW(key, kInfPathValue, nullptr, &type, reinterpret_cast<LPBYTE>(inf), &size);
    RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        failure =
            FailureText(WSTR("RegQueryValueExW"),
                        status != ERROR_SUCCESS ? static_cast<DWORD>(status) : ERROR_INVALID_DATA);
        return false;
    }
    driver.inf = WString(inf, BoundedWideLength(inf, MAX_PATH));
    if (driver.inf.empty())
        return true;

    // Windows publishes a package that is not its own as oemNN.inf, and remembers the name
    // the INF came with.
    DWORD needed = 0;
    if (!SetupGetInfInformationW(driver.inf.c_str(), INFINFO_DEFAULT_SEARCH, nullptr, 0, &needed)) {
        failure = FailureText(WSTR("SetupGetInfInformationW"), GetLastError());
        return false;
    }
    std::vector<DWORD> buffer(needed / sizeof(DWORD) + 1);
    auto* information = reinterpret_cast<PSP_INF_INFORMATION>(buffer.data());
    if (!SetupGetInfInformationW(driver.inf.c_str(), INFINFO_DEFAULT_SEARCH, information,
                                 static_cast<DWORD>(buffer.size() * sizeof(DWORD)), &needed)) {
        failure = FailureText(WSTR("SetupGetInfInformationW"), GetLastError());
        return false;
    }
    SP_ORIGINAL_FILE_INFO_W original{};
    original.cbSize = sizeof original;
    if (!SetupQueryInfOriginalFileInformationW(information, 0, nullptr, &original)) {
        failure = FailureText(WSTR("SetupQueryInfOriginalFileInformationW"), GetLastError());
        return false;
    }
    driver.original =
        WString(original.OriginalInfName, BoundedWideLength(original.OriginalInfName, MAX_PATH));
    return true;
}

// What the device's node shows: whether Windows waits for a restart to start it on the driver
// it installed, and any other problem, which an administrator should see.
struct Node {
    bool restartPending = false;
    bool hasProblem = false; // other than the restart one
    ULONG problem = 0;
};

// False, with the failed query in failure, when the status cannot be read (as for a device
// unplugged since the enumeration).
bool ReadNode(WString& failure, DEVINST device, Node& node) {
    ULONG status = 0;
    ULONG problem = 0;
    CONFIGRET result = CM_Get_DevNode_Status(&status, &problem, device, 0);
    if (result != CR_SUCCESS) {
        failure = FailureText(WSTR("CM_Get_DevNode_Status"), result);
        return false;
    }
    // The problem number means something only beside DN_HAS_PROBLEM.
    if ((status & DN_HAS_PROBLEM) == 0)
        return true;
    node.restartPending = problem == CM_PROB_NEED_RESTART;
    node.hasProblem = !node.restartPending;
    node.problem = problem;
    return true;
}

// One line for the device if its first hardware ID is watched. A query about this device
// that fails makes this line "cannot tell", and the others go on.
void CheckDevice(Findings& findings, HDEVINFO set, SP_DEVINFO_DATA& device,
                 const WString& packageName) {
    // Zeroed, and read as the service reads them, so that the reader rule sees what it
    // would see in a repair pass. One character more keeps the description terminated.
    WCHAR hardwareIds[ReaderPropertyCharacters] = {};
    WCHAR description[ReaderPropertyCharacters + 1] = {};
    DWORD size = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<PBYTE>(hardwareIds),
                                           ReaderPropertyBufferSize, &size))
        return; // no hardware IDs that could be watched
    if (BoundedWideLength(hardwareIds, ReaderPropertyCharacters) == ReaderPropertyCharacters ||
        !IsWatchedReaderInstance(hardwareIds))
        return;
    // A device without a driver has no description yet.
    SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DEVICEDESC, nullptr,
                                      reinterpret_cast<PBYTE>(description),
                                      ReaderPropertyBufferSize, &size);
    WString failure;
    WCHAR instanceId[MAX_DEVICE_ID_LEN] = {};
    WString name;
    if (SetupDiGetDeviceInstanceIdW(set, &device, instanceId, MAX_DEVICE_ID_LEN, nullptr)) {
        name = WString(instanceId, BoundedWideLength(instanceId, MAX_DEVICE_ID_LEN));
    } else { // named by its first hardware ID instead
        name = hardwareIds;
        failure = FailureText(WSTR("SetupDiGetDeviceInstanceIdW"), GetLastError());
    }
    Driver driver;
    Node node;
    if (!failure.empty() || !ReadDriver(failure, set, device, driver) ||
        !ReadNode(failure, device.DevInst, node)) {
        ++findings.untold;
        AddLine(findings, WSTR("reader ") + name + WSTR(": cannot tell (") + failure + WSTR(")"));
        return;
    }

    WString verdict = WSTR("other driver");
    if (IsReaderToRepair(device.ClassGuid, hardwareIds, description)) {
        verdict = WSTR("needs fixing");
        ++findings.needFixing;
    } else if (!packageName.empty() && SameIgnoringAsciiCase(driver.original, packageName)) {
        verdict = node.restartPending ? WSTR("restart pending") : WSTR("ok");
        findings.restartPending += node.restartPending ? 1 : 0;
    }
    WString inf = driver.inf.empty() ? WString(WSTR("no driver")) : driver.inf;
    if (!driver.inf.empty() && !SameIgnoringAsciiCase(driver.original, driver.inf))
        inf += WSTR(" from ") + driver.original;
    WString problem;
    if (node.hasProblem)
        problem = WSTR(", problem ") + Decimal(node.problem);
    AddLine(findings, WSTR("reader ") + name + WSTR(": ") + verdict + WSTR(" (") + inf +
                          WSTR(", \"") + description + WSTR("\"") + problem + WSTR(")"));
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
        CheckDevice(findings, set, device, packageName);
    }
    SetupDiDestroyDeviceInfoList(set);
}
