#include "fixture.h"
#include "platform/sim/devices.h"

#include <cstring>

#include <ostream>

namespace {

using SimDevices = SimTest;

const WString kId = WSTR("USB\\VID_F0C1&PID_1234&REV_0100");
const WString kModel = WSTR("USB\\VID_F0C1&PID_1234");

HDEVINFO OpenReaders() {
    return SetupDiGetClassDevsW(&GUID_DEVCLASS_SMARTCARDREADER, nullptr, nullptr, DIGCF_PRESENT);
}

SP_DEVINFO_DATA Record() {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    return data;
}

TEST_F(SimDevices, PropertyThatDoesNotFitReportsItsSize) {
    sim::AddReader({kId, kModel}, WSTR("Reader"));
    HDEVINFO set = OpenReaders();
    SP_DEVINFO_DATA data = Record();
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    BYTE small[8];
    DWORD required = 0;
    DWORD type = 0;
    SetLastError(0);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, small,
                                                   sizeof small, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, (kId.size() + 1 + kModel.size() + 1 + 1) * 2);
    EXPECT_EQ(type, REG_MULTI_SZ);

    std::vector<BYTE> exact(required, 0xCC);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, nullptr,
                                                  exact.data(), required, nullptr));
    EXPECT_EQ(exact, sim::MultiSz({kId, kModel}));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(sim::OpenDeviceInfoSets(), 0u);
}

TEST_F(SimDevices, MissingPropertyIsInvalidData) {
    sim::Device device;
    device.hasDescription = false;
    device.hardwareIds = sim::MultiSz({kId});
    sim::AddDevice(device);
    HDEVINFO set = OpenReaders();
    SP_DEVINFO_DATA data = Record();
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    BYTE buffer[1024];
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_DEVICEDESC, nullptr, buffer,
                                                   sizeof buffer, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SimDevices, EnumerationEndsWithNoMoreItemsAndChecksTheRecordSize) {
    sim::AddReader({kId}, WSTR("Reader"));
    sim::Device absent;
    absent.present = false;
    sim::AddDevice(absent);
    HDEVINFO set = OpenReaders();
    SP_DEVINFO_DATA data = Record();
    data.cbSize = 28;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    data.cbSize = 32;
    EXPECT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(data.DevInst, 1u);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(sim::OpenDeviceInfoSets(), 1u);
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SimDevices, UpdateRebindsEveryPresentCarrierOfTheId) {
    DWORD a = sim::AddReader({kId, kModel}, WSTR("Old"));
    DWORD b = sim::AddReader({WSTR("USB\\VID_F0C1&PID_1234&REV_0200"), kModel}, WSTR("Old"));
    DWORD c = sim::AddReader({kId, kModel}, WSTR("Old"));
    sim::SetDevicePresent(c, false);
    sim::SetPackageDescription(WSTR("C:\\x.inf"), WSTR("New"));
    sim::MakeFile(WSTR("C:\\x.inf"));
    BOOL reboot = TRUE;
    EXPECT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, WSTR("usb\\vid_f0c1&pid_1234"),
                                                   WSTR("C:\\x.inf"), INSTALLFLAG_FORCE, &reboot));
    EXPECT_FALSE(reboot);
    EXPECT_EQ(sim::DeviceDescription(a), WSTR("New"));
    EXPECT_EQ(sim::DeviceDescription(b), WSTR("New"));
    EXPECT_EQ(sim::DeviceDescription(c), WSTR("Old"));
    sim::RevertDriverUpdates();
    EXPECT_EQ(sim::DeviceDescription(a), WSTR("Old"));
    EXPECT_EQ(sim::DriverInstalls(a), 1u);
    // With nowhere to report a restart, a call that may show no UI fails; any other prompts
    // where no one sees it.
    sim::SetRestartNeeded(a, true);
    const DWORD quiet = INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE;
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, kId.c_str(), WSTR("C:\\x.inf"), quiet,
                                                    nullptr));
    EXPECT_EQ(GetLastError(), 1308u);
    EXPECT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, kId.c_str(), WSTR("C:\\x.inf"),
                                                   INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(sim::UnseenUi(), std::vector<std::string>{"blocked on a restart prompt"});
}

struct UpdateFailure {
    const char* name;
    const WCHAR* hardwareId;
    DWORD flags;
    DWORD code;
    const WCHAR* inf = WSTR("C:\\x.inf");
};

// Test names in ctest show the case, not its bytes.
void PrintTo(const UpdateFailure& c, std::ostream* out) {
    *out << c.name;
}

class SimDriverUpdate : public SimTest, public ::testing::WithParamInterface<UpdateFailure> {};

TEST_P(SimDriverUpdate, FailsAsWindowsDoes) {
    DWORD reader = sim::AddReader({kId}, WSTR("Old"));
    sim::AddReader({WSTR("USB\\VID_F0C9&PID_0001")}, WSTR("Gone"));
    sim::SetDevicePresent(2, false);
    sim::MakeFile(WSTR("C:\\x.inf"));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, GetParam().hardwareId, GetParam().inf,
                                                    GetParam().flags, nullptr));
    EXPECT_EQ(GetLastError(), GetParam().code);
    EXPECT_EQ(sim::DeviceDescription(reader), WSTR("Old"));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SimDriverUpdate,
    ::testing::Values(
        UpdateFailure{"NoSuchId", WSTR("USB\\VID_F0C1&PID_9999"), INSTALLFLAG_FORCE,
                      static_cast<DWORD>(ERROR_NO_SUCH_DEVINST)},
        UpdateFailure{"OnlyAbsentCarrier", WSTR("USB\\VID_F0C9&PID_0001"), INSTALLFLAG_FORCE,
                      static_cast<DWORD>(ERROR_NO_SUCH_DEVINST)},
        UpdateFailure{"NotForced", kId.c_str(), 0, static_cast<DWORD>(ERROR_NO_MORE_ITEMS)},
        UpdateFailure{"NoSuchInf", kId.c_str(), INSTALLFLAG_FORCE,
                      static_cast<DWORD>(ERROR_FILE_NOT_FOUND), WSTR("C:\\none.inf")},
        UpdateFailure{"UnknownFlag", kId.c_str(), 0x100, static_cast<DWORD>(ERROR_INVALID_FLAGS)},
        UpdateFailure{"EmptyId", WSTR(""), INSTALLFLAG_FORCE,
                      static_cast<DWORD>(ERROR_INVALID_PARAMETER)}),
    [](const auto& info) { return std::string(info.param.name); });

DWORD CALLBACK CountingCallback(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION,
                                PCM_NOTIFY_EVENT_DATA, DWORD) {
    ++*static_cast<int*>(context);
    return 0;
}

CM_NOTIFY_FILTER AllInstances() {
    CM_NOTIFY_FILTER filter;
    std::memset(&filter, 0, sizeof filter);
    filter.cbSize = sizeof filter;
    filter.Flags = CM_NOTIFY_FILTER_FLAG_ALL_DEVICE_INSTANCES;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE;
    return filter;
}

TEST_F(SimDevices, RegistrationChecksTheFilter) {
    int calls = 0;
    HCMNOTIFICATION handle = nullptr;
    CM_NOTIFY_FILTER filter = AllInstances();
    filter.cbSize = 412;
    EXPECT_EQ(CM_Register_Notification(&filter, &calls, CountingCallback, &handle),
              CR_INVALID_DATA);
    filter = AllInstances();
    filter.u.DeviceInstance.InstanceId[0] = u'U';
    EXPECT_EQ(CM_Register_Notification(&filter, &calls, CountingCallback, &handle),
              CR_INVALID_DATA);
    filter = AllInstances();
    EXPECT_EQ(CM_Register_Notification(&filter, &calls, nullptr, &handle), CR_INVALID_POINTER);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(sim::ActiveRegistrations(), 0u);
}

TEST_F(SimDevices, HandlesCountUpUnlessChosen) {
    int calls = 0;
    CM_NOTIFY_FILTER filter = AllInstances();
    HCMNOTIFICATION first = nullptr, second = nullptr, third = nullptr;
    ASSERT_EQ(CM_Register_Notification(&filter, &calls, CountingCallback, &first), CR_SUCCESS);
    sim::SetNextNotificationHandle(0x123456789ABCDEF0u);
    ASSERT_EQ(CM_Register_Notification(&filter, &calls, CountingCallback, &second), CR_SUCCESS);
    ASSERT_EQ(CM_Register_Notification(&filter, &calls, CountingCallback, &third), CR_SUCCESS);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first), 0x5000u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(second), 0x123456789ABCDEF0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(third), 0x5001u);
    sim::WaitForDeviceEvent(
        sim::PostDeviceInstanceEvent(CM_NOTIFY_ACTION_DEVICEINSTANCEREMOVED, WSTR("X")));
    EXPECT_EQ(calls, 3);
    CM_Unregister_Notification(first);
    CM_Unregister_Notification(second);
    CM_Unregister_Notification(third);
    EXPECT_EQ(sim::ActiveRegistrations(), 0u);
}

} // namespace
