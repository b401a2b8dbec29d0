#include "repair_pass.h"

#include "ccid_inf_locator.h"
#include "log/log.h"
#include "reader_enumeration.h"

void ApplyCcidDriverFix() {
    WString infPath;
    ReaderHardwareIdList readers;
    std::size_t byPackage = 0;

    if (!FindCcidInfPath(infPath)) {
        LogMessage("Failed to get inf path location.\n");
        return;
    }
    LogMessage("CCID Inf path = %S\n", infPath);

    if (!ListReadersWithInf(readers, &byPackage)) {
        LogMessage("Error: ListReadersWithInf failed!\n");
        return;
    }
    LogMessage("%d devices that need CCID driver fixing found.\n",
               static_cast<int>(readers.size()));
    // Only where the package decided, so that a pass on an English Windows logs as before.
    if (byPackage != 0)
        LogMessage("%d of them recognised by driver package usbcciddriver.inf.\n",
                   static_cast<int>(byPackage));
    if (readers.empty())
        return;

    LogMessage("Applying CCID driver fix.\n");
    bool restartNeeded = false;
    for (const WString& hardwareId : readers) {
        // Forced, because Windows ranks its inbox UMDF2 driver above the package and would
        // otherwise keep it. Two readers of one model share an ID; each gets its own call.
        // The service runs where no one sees a dialog: an installation that wants one fails
        // instead of waiting for ever, and a needed restart is reported to us rather than
        // prompted for or done by Windows.
        BOOL restart = FALSE;
        if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId.c_str(), infPath.c_str(),
                                                INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE,
                                                &restart)) {
            DWORD error = GetLastError();
            LogMessage("Failed to update driver for device %S. Error: 0x%.8X\n", hardwareId, error);
        } else if (restart) {
            restartNeeded = true;
        }
    }
    // The machine is never restarted from here: someone may be working on it.
    if (restartNeeded)
        LogMessage("A restart is needed to complete the CCID driver fix.\n");
    LogMessage("Done!\n");
}
