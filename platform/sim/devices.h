// The simulated Plug and Play side of Windows as the tests see it: devices with their setup
// class and properties, driver packages that UpdateDriverForPlugAndPlayDevicesW binds, and
// device-instance notifications delivered on threads of the simulated platform.
#pragma once

#include "world.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace sim {

// A device as the setup interface sees it. The hardware-ID value is kept as the raw bytes
// of its REG_MULTI_SZ value, so that a test can store a value without terminators or one
// that needs more than any caller's buffer.
struct Device {
    GUID classGuid = GUID_DEVCLASS_SMARTCARDREADER;
    bool present = true;
    bool hasHardwareIds = true;
    std::vector<std::uint8_t> hardwareIds;
    bool hasDescription = true;
    WString description;
    // When not empty, the description value's bytes as stored, used instead of description
    // until a package is installed on the device; a terminator is not added.
    std::vector<std::uint8_t> descriptionBytes;
    // Whether a driver installed on it takes full effect only after a restart, as for a
    // reader that a smart card session holds open.
    bool restartNeeded = false;
    // The problem code of its node (CM_PROB_DISABLED for a device disabled in Device
    // Manager), 0 for none; it comes before a restart the node waits for.
    ULONG problem = 0;
    // The device instance ID. When set, a forced installation restarts the started device,
    // whose started notice then follows. When empty, the ID is the first hardware ID, a
    // backslash and the device instance number, and no notice follows an installation.
    WString instanceId;
    // The InfPath value of its driver key, the name of its driver's INF in the system's INF
    // folder; empty for a device without a driver key.
    WString infName;
};

// The bytes of a well-formed REG_MULTI_SZ value: each ID with its terminator, then the
// empty string that ends the list.
std::vector<std::uint8_t> MultiSz(std::initializer_list<WString> ids);
// The UTF-16 bytes of text, without any terminator.
std::vector<std::uint8_t> WideBytes(const WString& text);

// Adds a device at the end of the enumeration order; returns its device instance number.
DWORD AddDevice(const Device& device);
// A present smart card reader with these hardware IDs and this description.
DWORD AddReader(std::initializer_list<WString> hardwareIds, const WString& description);
// A device node as Plug and Play creates it when a reader arrives for the first time, before
// Windows has installed a driver on it: hardware IDs, but no setup class and no description.
DWORD AddUnboundReader(const WString& instanceId, std::initializer_list<WString> hardwareIds);
// What Windows' installation of a driver on such a node writes: the smart card reader class
// and this description.
void BindDriver(DWORD devInst, const WString& description);
void SetDevicePresent(DWORD devInst, bool present);
void SetRestartNeeded(DWORD devInst, bool needed);
// Takes every device away, with no device information set open; instance numbers start
// again at 1.
void RemoveDevices();
// The description the device shows now: its own, or that of the package installed on it.
WString DeviceDescription(DWORD devInst);
// How many times a driver package was installed on the device.
unsigned DriverInstalls(DWORD devInst);
// Installations that showed UI in session 0, where no one sees it: "blocked on a restart
// prompt" (without INSTALLFLAG_NONINTERACTIVE, which fails the call instead).
std::vector<std::string> UnseenUi();
// Puts every device back on the driver it was added with.
void RevertDriverUpdates();

// The device description that installing the package with this INF gives a device; a
// package not named here gives "USB Smart Card Reader (CCID)".
void SetPackageDescription(const WString& infPath, const WString& description);

// The system's INF folder: the INF of the package at storePath published under another name
// (oemNN.inf), as Windows publishes a package that is not its own. Installing that package
// on a device then puts publishedName into the device's driver key, and the original name of
// publishedName is the file name of storePath. Any other INF in the folder has its own name.
void PublishInf(const WString& publishedName, const WString& storePath);
// The provider that the INF of this name in the INF folder gives its package, which the driver
// key of a device on it names (ProviderName); empty for an INF not named here.
void SetInfProvider(const WString& infName, const WString& provider);

// Device information sets handed out and not destroyed.
std::size_t OpenDeviceInfoSets();

// While off, the device setup and driver installation calls are neither journalled nor
// checked for faults, so that a benchmark sees only the cost of the calls themselves.
void SetDeviceJournal(bool on);

// While held, every UpdateDriverForPlugAndPlayDevicesW call waits inside the platform,
// after it was journalled, until the updates are released.
void HoldDriverUpdates();
void ReleaseDriverUpdates();
// Waits until this many calls are held at the same time.
void WaitForHeldUpdates(std::size_t count);

// Device-instance notifications. The next successful registration hands out this value as
// its handle; by default handles count up from 0x5000.
void SetNextNotificationHandle(std::uint64_t value);
// Registrations made and not ended.
std::size_t ActiveRegistrations();

// Starts delivering one device-instance event, on a platform thread of its own, to every
// registration that the event passes; returns at once with the event's number. The event
// data is a CM_NOTIFY_EVENT_DATA of the device-instance type holding instanceId and its
// terminator, and its size is exactly that.
unsigned PostDeviceInstanceEvent(CM_NOTIFY_ACTION action, const WString& instanceId);
// The same with event data of the test's making: the callback gets exactly these bytes,
// in an allocation of exactly their size, and their size as the event data size.
unsigned PostRawDeviceEvent(CM_NOTIFY_ACTION action, const std::vector<std::uint8_t>& data);
// Waits until the event has been delivered to every registration it was meant for.
void WaitForDeviceEvent(unsigned event);
// Waits until every posted event has been delivered.
void WaitForDeviceEvents();
// Callbacks running now, and CM_Unregister_Notification calls waiting for them to end.
std::size_t RunningCallbacks();
void WaitForWaitingUnregistrations(std::size_t count);

} // namespace sim
