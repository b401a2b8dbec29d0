#include "repair_fixture.h"

#include "repair/repair_pass.h"

#include <ostream>

namespace {

const std::string kPathLine = "CCID Inf path = " + kInfPathText;
const std::string kRestartLine = "A restart is needed to complete the CCID driver fix.";

std::string FoundLine(int n) {
    return std::to_string(n) + " devices that need CCID driver fixing found.";
}

std::string FailureLine(const WString& hardwareId, const std::string& code) {
    return "Failed to update driver for device " + Utf16ToUtf8(hardwareId) + ". Error: " + code;
}

using RepairPass = RepairTest;

TEST_F(RepairPass, MissingPackageIsTheOnlyLine) {
    StartLikeService();
    AddWatchedReader(kReaderA);
    ApplyCcidDriverFix();
    EXPECT_EQ(LogEntries(), (std::vector<std::string>{"Failed to get inf path location."}));
    EXPECT_TRUE(sim::JournalOf("SetupDiGetClassDevsW").empty());
    EXPECT_TRUE(sim::JournalOf("UpdateDriverForPlugAndPlayDevicesW").empty());
}

TEST_F(RepairPass, NoQualifyingReaderLogsPathAndZero) {
    StartLikeService();
    StagePackage();
    AddWatchedReader(kReaderA, kVendorDriver);
    ApplyCcidDriverFix();
    EXPECT_EQ(LogEntries(), (std::vector<std::string>{kPathLine, FoundLine(0)}));
    EXPECT_TRUE(sim::JournalOf("UpdateDriverForPlugAndPlayDevicesW").empty());
}

TEST_F(RepairPass, FailedEnumerationEndsThePass) {
    StartLikeService();
    StagePackage();
    AddWatchedReader(kReaderA);
    sim::FailNext("SetupDiGetClassDevsW", ERROR_INVALID_PARAMETER);
    ApplyCcidDriverFix();
    EXPECT_EQ(LogEntries(),
              (std::vector<std::string>{kPathLine, "Error: ListReadersWithInf failed!"}));
    EXPECT_TRUE(sim::JournalOf("UpdateDriverForPlugAndPlayDevicesW").empty());
}

TEST_F(RepairPass, OneReaderIsRepaired) {
    StartLikeService();
    StagePackage();
    sim::SetPackageDescription(kInfPath, WSTR("Corvane CCID Smartcard Reader"));
    DWORD reader = AddWatchedReader(kReaderA);
    ApplyCcidDriverFix();
    EXPECT_EQ(LogEntries(), (std::vector<std::string>{kPathLine, FoundLine(1),
                                                      "Applying CCID driver fix.", "Done!"}));
    EXPECT_EQ(PlatformCalls(),
              (std::vector<std::string>{
                  "GetSystemDirectoryW(&buffer, 260)",
                  "FindFirstFileW(\"" + Utf16ToUtf8(kSearchPattern) + "\", &data)",
                  "GetFileAttributesW(\"" + kInfPathText + "\")", "FindClose(0x0000000000002000)",
                  kClassDevs, EnumLine(0), PropertyLine(1, "SPDRP_HARDWAREID"),
                  PropertyLine(1, "SPDRP_DEVICEDESC"), EnumLine(1),
                  "SetupDiDestroyDeviceInfoList(" + kSetHandle + ")", UpdateLine(kReaderA)}));
    EXPECT_EQ(sim::DeviceDescription(reader), WSTR("Corvane CCID Smartcard Reader"));
}

TEST_F(RepairPass, SecondOfThreeUpdatesFails) {
    StartLikeService();
    StagePackage();
    // The first reader is held open, so its new driver waits for a restart.
    sim::SetRestartNeeded(AddWatchedReader(kReaderA), true);
    AddWatchedReader(kReaderB);
    AddWatchedReader(kReaderC);
    sim::FailNth("UpdateDriverForPlugAndPlayDevicesW", 2, ERROR_ACCESS_DENIED);
    ApplyCcidDriverFix();
    EXPECT_EQ(LogEntries(), (std::vector<std::string>{
                                kPathLine, FoundLine(3), "Applying CCID driver fix.",
                                FailureLine(kReaderB, "0x00000005"), kRestartLine, "Done!"}));
    EXPECT_EQ(sim::JournalOf("UpdateDriverForPlugAndPlayDevicesW"),
              (std::vector<std::string>{UpdateLine(kReaderA), UpdateLine(kReaderB),
                                        UpdateLine(kReaderC)}));
}

struct CodeCase {
    DWORD code;
    const char* text;
};

// Test names in ctest show the case, not its bytes.
void PrintTo(const CodeCase& c, std::ostream* out) {
    *out << c.text;
}

class RepairPassFailureCodes : public RepairTest, public ::testing::WithParamInterface<CodeCase> {};

TEST_P(RepairPassFailureCodes, EveryFailedUpdateHasItsLineThenDone) {
    StartLikeService();
    StagePackage();
    AddWatchedReader(kReaderA);
    AddWatchedReader(kReaderD);
    sim::FailAlways("UpdateDriverForPlugAndPlayDevicesW", GetParam().code);
    ApplyCcidDriverFix();
    EXPECT_EQ(LogEntries(),
              (std::vector<std::string>{kPathLine, FoundLine(2), "Applying CCID driver fix.",
                                        FailureLine(kReaderA, GetParam().text),
                                        FailureLine(kReaderD, GetParam().text), "Done!"}));
}

INSTANTIATE_TEST_SUITE_P(Codes, RepairPassFailureCodes,
                         ::testing::Values(CodeCase{ERROR_ACCESS_DENIED, "0x00000005"},
                                           CodeCase{ERROR_INSUFFICIENT_BUFFER, "0x0000007A"},
                                           CodeCase{ERROR_NO_SUCH_DEVINST, "0xE000020B"},
                                           CodeCase{ERROR_NO_DRIVER_SELECTED, "0xE0000203"},
                                           CodeCase{0, "0x00000000"},
                                           CodeCase{0xFFFFFFFFu, "0xFFFFFFFF"}),
                         [](const auto& info) { return std::string(info.param.text); });

// The code logged is the one that the platform gave the failed update.
TEST_F(RepairPass, LoggedCodeComesFromTheFailedUpdate) {
    StartLikeService();
    StagePackage();
    DWORD reader = AddWatchedReader(kReaderA);
    AddWatchedReader(kReaderB);
    sim::HoldDriverUpdates();
    std::thread pass(ApplyCcidDriverFix);
    sim::WaitForHeldUpdates(1);
    // The reader is unplugged between the enumeration and its update.
    sim::SetDevicePresent(reader, false);
    sim::ReleaseDriverUpdates();
    pass.join();
    EXPECT_EQ(LogEntries(),
              (std::vector<std::string>{kPathLine, FoundLine(2), "Applying CCID driver fix.",
                                        FailureLine(kReaderA, "0xE000020B"), "Done!"}));
}

TEST_F(RepairPass, TwoReadersOfOneModelEachGetTheirUpdate) {
    StartLikeService();
    StagePackage();
    DWORD first = AddWatchedReader(kReaderA);
    DWORD second = AddWatchedReader(kReaderA);
    sim::SetRestartNeeded(second, true);
    ApplyCcidDriverFix();
    EXPECT_EQ(LogEntries(),
              (std::vector<std::string>{kPathLine, FoundLine(2), "Applying CCID driver fix.",
                                        kRestartLine, "Done!"}));
    EXPECT_EQ(sim::JournalOf("UpdateDriverForPlugAndPlayDevicesW"),
              (std::vector<std::string>{UpdateLine(kReaderA), UpdateLine(kReaderA)}));
    // Each update installs on every reader that carries the ID.
    EXPECT_EQ(sim::DriverInstalls(first), 2u);
    EXPECT_EQ(sim::DriverInstalls(second), 2u);
}

TEST_F(RepairPass, RepairedReaderIsLeftAloneByTheNextPass) {
    StartLikeService();
    StagePackage();
    DWORD reader = AddWatchedReader(kReaderA);
    // One found by its driver's package: counted in a line of its own, then left alone too.
    sim::SetInfProvider(WSTR("usbcciddriver.inf"), WSTR("Microsoft"));
    AddWatchedReader(kReaderB, kFrenchUmdf2, WSTR("usbcciddriver.inf"));
    ApplyCcidDriverFix();
    ApplyCcidDriverFix();
    EXPECT_EQ(LogEntries(), (std::vector<std::string>{
                                kPathLine, FoundLine(2),
                                "1 of them recognised by driver package usbcciddriver.inf.",
                                "Applying CCID driver fix.", "Done!", kPathLine, FoundLine(0)}));
    EXPECT_EQ(sim::DriverInstalls(reader), 1u);
}

TEST_F(RepairPass, ReaderStillOnUmdf2IsRepairedAgain) {
    StartLikeService();
    StagePackage();
    AddWatchedReader(kReaderA);
    sim::FailNext("UpdateDriverForPlugAndPlayDevicesW", ERROR_NO_DRIVER_SELECTED);
    ApplyCcidDriverFix();
    ApplyCcidDriverFix();
    EXPECT_EQ(LogEntries(),
              (std::vector<std::string>{kPathLine, FoundLine(1), "Applying CCID driver fix.",
                                        FailureLine(kReaderA, "0xE0000203"), "Done!", kPathLine,
                                        FoundLine(1), "Applying CCID driver fix.", "Done!"}));
    EXPECT_EQ(sim::JournalOf("UpdateDriverForPlugAndPlayDevicesW"),
              (std::vector<std::string>{UpdateLine(kReaderA), UpdateLine(kReaderA)}));
}

TEST_F(RepairPass, SearchesTheStoreAgainOnEveryPass) {
    StartLikeService();
    StagePackage();
    ApplyCcidDriverFix();
    sim::RemoveAll(kRepository + WSTR("\\") + kPackageFolder);
    StagePackage(WSTR("wudfusbcciddriver.inf_amd64_newer"));
    ApplyCcidDriverFix();
    EXPECT_EQ(LogEntries(),
              (std::vector<std::string>{kPathLine, FoundLine(0),
                                        "CCID Inf path = " + Utf16ToUtf8(kRepository) +
                                            "\\wudfusbcciddriver.inf_amd64_newer\\"
                                            "wudfusbcciddriver.inf",
                                        FoundLine(0)}));
}

TEST_F(RepairPass, WithLoggingOffThePassStillRepairs) {
    BuildReaderPrefixList();
    StagePackage();
    DWORD reader = AddWatchedReader(kReaderA);
    ApplyCcidDriverFix();
    EXPECT_EQ(sim::DriverInstalls(reader), 1u);
    EXPECT_TRUE(sim::JournalOf("CreateFileW").empty());
    EXPECT_FALSE(sim::Exists(LogFileOf(4242)));
}

} // namespace
