// A simulated Windows with a driver store and smart card readers, for the repair tests.
#pragma once

#include "fixture.h"
#include "platform/sim/devices.h"
#include "repair/device_detection.h"

#include <string>
#include <vector>

inline const WString kSystemDirectory = WSTR("C:\\Windows\\System32");
inline const WString kRepository = kSystemDirectory + WSTR("\\DriverStore\\FileRepository");
inline const WString kSearchPattern = kRepository + WSTR("\\wudfusbcciddriver.inf*");
inline const WString kPackageFolder = WSTR("wudfusbcciddriver.inf_amd64_4e3a7f0d1c2b5a69");
inline const WString kInfPath =
    kRepository + WSTR("\\") + kPackageFolder + WSTR("\\wudfusbcciddriver.inf");
inline const std::string kInfPathText = Utf16ToUtf8(kInfPath);

inline const WString kUmdf2 = WSTR("Microsoft Usbccid Smartcard Reader (UMDF2)");
inline const WString kVendorDriver = WSTR("Corvane Tessarine Smartcard Reader");

// The first and second hardware IDs of readers of each watched vendor and of others.
inline const WString kReaderA = WSTR("USB\\VID_F0C1&PID_1234&REV_0100");
inline const WString kReaderAModel = WSTR("USB\\VID_F0C1&PID_1234");
inline const WString kReaderB = WSTR("USB\\VID_F0C2&PID_0A0B&REV_0200");
inline const WString kReaderC = WSTR("USB\\VID_F0C3&PID_7777&REV_0001");
inline const WString kReaderD = WSTR("USB\\VID_F0C4&PID_0042&REV_0110");
inline const WString kOtherVendor = WSTR("USB\\VID_F0C5&PID_1234&REV_0100");

inline const std::string kSetHandle = "0x0000000000003000";
inline const std::string kClassDevs =
    "SetupDiGetClassDevsW({50DD5230-BA8A-11D1-BF5D-0000F805F530}, NULL, NULL, 0x00000002)";

// Journal lines of the device setup calls, as ListReadersWithInf makes them.
inline std::string EnumLine(unsigned index) {
    return "SetupDiEnumDeviceInfo(" + kSetHandle + ", " + std::to_string(index) + ", {cbSize=32})";
}
inline std::string PropertyLine(DWORD devInst, const std::string& property) {
    return "SetupDiGetDeviceRegistryPropertyW(" + kSetHandle +
           ", {cbSize=32, DevInst=" + std::to_string(devInst) + "}, " + property +
           ", NULL, &buffer, 1024, &size)";
}
inline std::string UpdateLine(const WString& hardwareId, const std::string& inf = kInfPathText) {
    return "UpdateDriverForPlugAndPlayDevicesW(NULL, \"" + Utf16ToUtf8(hardwareId) + "\", \"" +
           inf + "\", 0x00000005, &reboot)";
}

// The journal without the log's own file calls.
inline std::vector<std::string> PlatformCalls() {
    std::vector<std::string> out;
    for (const std::string& line : sim::Journal()) {
        if (!IsLogFileCall(line))
            out.push_back(line);
    }
    return out;
}

// Puts the CCID package into the driver store; returns its INF path.
inline WString StagePackage(const WString& folder = kPackageFolder) {
    WString inf = kRepository + WSTR("\\") + folder + WSTR("\\wudfusbcciddriver.inf");
    sim::MakeFile(inf, "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n");
    return inf;
}

// A reader of a watched model with its usual two hardware IDs, on the driver of inf.
inline DWORD AddWatchedReader(const WString& firstId, const WString& description = kUmdf2,
                              const WString& inf = WString()) {
    sim::Device d;
    d.hardwareIds = sim::MultiSz({firstId, firstId.substr(0, firstId.rfind(u'&'))});
    d.description = description;
    d.infName = inf;
    return sim::AddDevice(d);
}

class RepairTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::MakeDir(kRepository);
    }
    void TearDown() override {
        sim::ReleaseDriverUpdates();
        sim::WaitForDeviceEvents();
        // Whatever a test did, nothing that the system opened may stay open.
        EXPECT_EQ(sim::OpenDeviceInfoSets(), 0u);
        EXPECT_EQ(sim::OpenSearches(), 0u);
        EXPECT_EQ(sim::UnseenUi(), std::vector<std::string>{});
        SimTest::TearDown();
    }
    // Logging on, the prefixes filled as in service mode, and a clean journal.
    void StartLikeService() {
        OpenLogWithSwitchOn();
        BuildReaderPrefixList();
        sim::ClearJournal();
    }
};
