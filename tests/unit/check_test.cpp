// The check program against the simulated Windows: its whole output and its status, with the
// numbers that detection scripts read.
#include "check/check.h"
#include "command_fixture.h"
#include "platform/sim/console.h"
#include "platform/sim/scm.h"
#include "repair/reader_descriptions.h"
#include "repair/repair_pass.h"
#include "repair_fixture.h"

namespace {

const WString kCcid = WSTR("USB Smart Card Reader (CCID)");
const WString kFrench = WSTR("Lecteur de carte à puce Microsoft Usbccid (UMDF2)");
const char kPackaged[] =
    "restart after 60000 ms, restart after 60000 ms, none; reset after 86400 s";
const std::string kOut = "0x0000000000000064";

// The report of a compliant machine: the service installed by its own command and running,
// one reader on the package, one of another vendor that is not listed.
Lines Compliant() {
    return {"service: running",
            "start type: automatic",
            "account: LocalSystem",
            "image path: \"C:\\Program Files\\RUVERODAzaroda\\ruverodazaroda.exe\" (quoted)",
            "description: present",
            std::string("recovery: ") + kPackaged,
            "driver package: " + kInfPathText,
            "logging: off",
            "reader USB\\VID_F0C1&PID_1234&REV_0100\\1: ok (wudfusbcciddriver.inf, \"" +
                Utf16ToUtf8(kCcid) + "\")",
            "result: compliant"};
}

// The compliant report with the lines that begin as each replacement does replaced, and
// lines that no line begins as (a whole new line, such as another reader's) put before the
// result. An empty replacement after a prefix and "|" removes the line.
Lines Report(std::initializer_list<std::string> replacements) {
    Lines lines = Compliant();
    for (const std::string& r : replacements) {
        const std::string key = r.substr(0, r.find(": ") + 2);
        bool replaced = false;
        for (std::size_t i = 0; i < lines.size() && !replaced; ++i) {
            if (lines[i].compare(0, key.size(), key) != 0)
                continue;
            replaced = true;
            if (r.back() == '|')
                lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
            else
                lines[i] = r;
        }
        if (!replaced)
            lines.insert(lines.end() - 1, r);
    }
    return lines;
}

// A present reader with this first hardware ID and description, on the driver of this INF.
DWORD AddReaderOn(const WString& firstId, const WString& description, const WString& inf) {
    sim::Device device;
    device.hardwareIds = sim::MultiSz({firstId, firstId.substr(0, firstId.rfind(u'&'))});
    device.description = description;
    device.infName = inf;
    return sim::AddDevice(device);
}

// A French reader on the inbox UMDF2 driver of a Windows that names its package otherwise
// (usbccid.inf), so that only the added descriptions value (REG_MULTI_SZ bytes as given) can
// pick it; then whatever arrange does.
Arrange WithFrenchReader(
    const WString& value, Arrange arrange = [] {}) {
    return [value, arrange] {
        sim::SetRegValue(kReadersKey, WSTR("Descriptions"), REG_MULTI_SZ, sim::WideBytes(value));
        AddReaderOn(kReaderD, kFrench, WSTR("usbccid.inf"));
        arrange();
    };
}

// The report with a line where the check puts the lines that follow logging.
Lines AfterLogging(Lines lines, const std::string& line) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].compare(0, 9, "logging: ") == 0)
            return lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(i) + 1, line), lines;
    }
    return lines;
}

struct CheckCase {
    const char* name;
    Arrange arrange;
    Lines output;
    int status;
    Lines lastCalls; // the journal's last lines
    std::vector<const char*> args = {};
};

std::string CaseName(const ::testing::TestParamInfo<CheckCase>& info) {
    return info.param.name;
}

class CheckTest : public SimTest, public ::testing::WithParamInterface<CheckCase> {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::MakeDir(kRepository);
        StagePackage();
        InstallServiceCommand();
        // No elevation needed.
        sim::SetElevated(false);
        AddReaderOn(kReaderA, kCcid, WSTR("wudfusbcciddriver.inf"));
        AddReaderOn(kOtherVendor, kUmdf2, WSTR("usbcciddriver.inf"));
        sim::ClearJournal();
    }
};

TEST_P(CheckTest, ReportsEachFactAndItsStatus) {
    const CheckCase& c = GetParam();
    c.arrange();
    std::vector<WString> words = {WSTR("ruverodazaroda-check.exe")};
    for (const char* a : c.args)
        words.push_back(Utf8ToUtf16(a));
    std::vector<WCHAR*> argv;
    for (WString& w : words)
        argv.push_back(w.data());
    EXPECT_EQ(c.status, CheckMain(static_cast<int>(argv.size()), argv.data()));
    std::string expected;
    for (const std::string& line : c.output)
        expected += line + "\r\n";
    EXPECT_EQ(expected,
              sim::StandardStreamText(c.args.empty() ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE));
    const Lines journal = sim::Journal();
    ASSERT_GE(journal.size(), c.lastCalls.size());
    EXPECT_EQ(c.lastCalls, Lines(journal.end() - static_cast<std::ptrdiff_t>(c.lastCalls.size()),
                                 journal.end()));
    EXPECT_EQ(0u, sim::OpenServiceHandles());
    EXPECT_EQ(0u, sim::OpenRegKeys());
    EXPECT_EQ(0u, sim::OpenDeviceInfoSets());
}

// A watched reader on the UMDF2 driver, then whatever arrange does.
Arrange WithUmdf2Reader(Arrange arrange = kNothing) {
    return [arrange] {
        AddReaderOn(kReaderB, kUmdf2, WSTR("usbcciddriver.inf"));
        arrange();
    };
}

Arrange Service(std::function<void(sim::ServiceRecord&)> change) {
    return [change] { sim::ChangeServiceRecord(ServiceName, change); };
}

// The service re-registered in this state, with what install registered.
Arrange InState(DWORD state) {
    return [state] {
        const sim::ServiceRecord installed = sim::ServiceRecordOf(ServiceName);
        sim::AddService(ServiceName, {{{0, state}}});
        sim::ChangeServiceRecord(ServiceName, [&](sim::ServiceRecord& r) { r = installed; });
    };
}

// A reader on the package that waits for a restart, as the check lists it.
void RestartPendingReader() {
    DWORD reader = AddReaderOn(kReaderC, kUmdf2, WSTR("usbcciddriver.inf"));
    sim::SetRestartNeeded(reader, true);
    BOOL reboot = FALSE;
    UpdateDriverForPlugAndPlayDevicesW(nullptr, kReaderC.c_str(), kInfPath.c_str(),
                                       INSTALLFLAG_FORCE, &reboot);
}
const std::string kRestartPending = "reader USB\\VID_F0C3&PID_7777&REV_0001\\3: restart pending "
                                    "(wudfusbcciddriver.inf, \"USB Smart Card Reader (CCID)\")";

std::string Written(std::size_t characters) {
    return "WriteConsoleW(" + kOut + ", &buffer, " + std::to_string(characters) +
           ", &written, NULL)";
}

const std::string kReaderB1 = "reader USB\\VID_F0C2&PID_0A0B&REV_0200\\3: ";
const std::string kNeedsFixing =
    kReaderB1 + "needs fixing (usbcciddriver.inf, \"Microsoft Usbccid Smartcard Reader (UMDF2)\")";
const std::string kReaderA1 = "reader USB\\VID_F0C1&PID_1234&REV_0100\\1: ";

INSTANTIATE_TEST_SUITE_P(
    Check, CheckTest,
    ::testing::Values(
        CheckCase{"Compliant", kNothing, Compliant(), 0, {}},
        CheckCase{"OneReaderNeedsFixing",
                  WithUmdf2Reader(),
                  Report({kNeedsFixing, "result: not compliant: 1 reader needs fixing"}),
                  1,
                  {}},
        CheckCase{"NotInstalledTwoNeedFixing",
                  WithUmdf2Reader([] {
                      AddReaderOn(kReaderD, kUmdf2, WSTR("usbcciddriver.inf"));
                      sim::SetElevated(true);
                      StopServiceCommand();
                      DeleteServiceCommand();
                  }),
                  Report({"service: not installed", "start type: |", "account: |", "image path: |",
                          "description: |", "recovery: |", kNeedsFixing,
                          "reader USB\\VID_F0C4&PID_0042&REV_0110\\4: needs fixing (usbcciddriver.inf, "
                          "\"Microsoft Usbccid Smartcard Reader (UMDF2)\")",
                          "result: not compliant: service not installed; 2 readers need fixing"}),
                  1,
                  {}},
        CheckCase{"StoppedWithLoggingOnAndARestartPending",
                  [] {
                      RestartPendingReader();
                      sim::SetElevated(true);
                      StopServiceCommand();
                      sim::SetRegDword(kLogKey, WSTR("Enabled"), 1);
                  },
                  Report({"service: stopped", "logging: on", kRestartPending,
                          "result: not compliant: service not running"}),
                  1,
                  {}},
        CheckCase{"RestartPending",
                  RestartPendingReader,
                  Report({kRestartPending, "result: compliant after a restart"}),
                  3010,
                  {}},
        CheckCase{"StopPending", InState(SERVICE_STOP_PENDING),
                  Report({"service: stop pending", "result: not compliant: service not running"}),
                  1, {}},
        CheckCase{"StartPending", InState(SERVICE_START_PENDING),
                  Report({"service: start pending", "result: not compliant: service not running"}),
                  1, {}},
        CheckCase{"StatusUnreadable", QueryFails(1, ERROR_ACCESS_DENIED, kNothing),
                  Report({"service: |", "start type: |", "account: |", "image path: |",
                          "description: |", "recovery: |",
                          "result: cannot tell: QueryServiceStatusEx failed (5)"}),
                  2, {}},
        CheckCase{"PackagePublishedUnderAnotherName",
                  [] {
                      DWORD reader = AddReaderOn(kReaderC, kUmdf2, WSTR("usbcciddriver.inf"));
                      (void)reader;
                      sim::PublishInf(WSTR("oem7.inf"), kInfPath);
                      UpdateDriverForPlugAndPlayDevicesW(
                          nullptr, kReaderC.c_str(), kInfPath.c_str(), INSTALLFLAG_FORCE, nullptr);
                  },
                  Report({"reader USB\\VID_F0C3&PID_7777&REV_0001\\3: ok (oem7.inf from "
                          "wudfusbcciddriver.inf, \"USB Smart Card Reader (CCID)\")"}),
                  0,
                  {}},
        CheckCase{
            "TranslatedDescriptionOnConsole",
            [] { AddReaderOn(kReaderD, kFrench, WSTR("usbccid.inf")); },
            Report({"reader USB\\VID_F0C4&PID_0042&REV_0110\\3: other driver (usbccid.inf, \"" +
                    Utf16ToUtf8(kFrench) + "\")"}),
            0,
            {"GetStdHandle(-11)", "GetConsoleMode(" + kOut + ", &mode)", Written(632)}},
        CheckCase{"TranslatedDescriptionRedirectedAsUtf8",
                  [] {
                      AddReaderOn(kReaderD, kFrench, WSTR("usbccid.inf"));
                      sim::RedirectStandardStream(STD_OUTPUT_HANDLE, true);
                  },
                  Report({"reader USB\\VID_F0C4&PID_0042&REV_0110\\3: other driver (usbccid.inf, "
                          "\"Lecteur de carte \xC3\xA0 puce Microsoft Usbccid (UMDF2)\")"}),
                  0,
                  {"GetStdHandle(-11)", "GetConsoleMode(" + kOut + ", &mode)",
                   "WriteFile(" + kOut + ", &buffer, 633, &written, NULL)"}},
        CheckCase{
            "AddedDescriptionNeedsFixing",
            WithFrenchReader(kFrench + WString(2, 0)),
            AfterLogging(Report({"reader USB\\VID_F0C4&PID_0042&REV_0110\\3: needs fixing "
                                         "(usbccid.inf, \"" +
                                             Utf16ToUtf8(kFrench) + "\")",
                                         "result: not compliant: 1 reader needs fixing"}),
                                 "reader descriptions: \"" + Utf16ToUtf8(kFrench) + "\""),
            1,
            {}},
        CheckCase{"AddedDescriptionOkAfterTheServicesPass",
                  WithFrenchReader(kFrench + WString(2, 0),
                                   [] { // the service's pass, in a process of its own
                                       BuildReaderPrefixList();
                                       ReadReaderDescriptions();
                                       ApplyCcidDriverFix();
                                       ReaderPrefixList.clear();
                                   }),
                  AfterLogging(Report({"reader USB\\VID_F0C4&PID_0042&REV_0110\\3: ok "
                                               "(wudfusbcciddriver.inf, \"" +
                                               Utf16ToUtf8(kCcid) + "\")"}),
                                       "reader descriptions: \"" + Utf16ToUtf8(kFrench) + "\""),
                  0,
                  {}},
        CheckCase{"TranslatedOnInboxPackageNeedsFixing",
                  [] {
                      sim::SetInfProvider(WSTR("usbcciddriver.inf"), WSTR("Microsoft"));
                      AddReaderOn(kReaderD, kFrench, WSTR("UsbccidDriver.inf"));
                  },
                  Report({"reader USB\\VID_F0C4&PID_0042&REV_0110\\3: needs fixing "
                          "(UsbccidDriver.inf, \"" +
                              Utf16ToUtf8(kFrench) + "\")",
                          "result: not compliant: 1 reader needs fixing"}),
                  CheckNotCompliant,
                  {}},
        CheckCase{
            "AddedDescriptionIgnored",
            WithFrenchReader(kFrench),
            AfterLogging(Report({"reader USB\\VID_F0C4&PID_0042&REV_0110\\3: other driver "
                                         "(usbccid.inf, \"" +
                                         Utf16ToUtf8(kFrench) + "\")"}),
                                 "reader descriptions: ignored: the value is not terminated."),
            0,
            {}},
        CheckCase{
            "VendorDriverNoDriverOtherClass",
            [] {
                AddReaderOn(kReaderB, kVendorDriver, WSTR("corvane.inf"));
                sim::AddUnboundReader(WSTR("USB\\VID_F0C4&PID_0042\\7&1D&0&2"), {kReaderD});
                // The UMDF2 description outside the smart card reader class is not the rule's.
                AddReaderOn(kReaderC, kUmdf2, WSTR("usbcciddriver.inf"));
                sim::AddDevice([] {
                    sim::Device d;
                    d.classGuid = GUID{};
                    d.hardwareIds = sim::MultiSz({kReaderC});
                    d.description = kUmdf2;
                    return d;
                }());
            },
            Report({kReaderB1 + "other driver (corvane.inf, \"" + Utf16ToUtf8(kVendorDriver) +
                        "\")",
                    "reader USB\\VID_F0C4&PID_0042\\7&1D&0&2: other driver (no driver, \"\")",
                    "reader USB\\VID_F0C3&PID_7777&REV_0001\\5: needs fixing (usbcciddriver.inf, \"" +
                        Utf16ToUtf8(kUmdf2) + "\")",
                    "reader USB\\VID_F0C3&PID_7777&REV_0001\\6: other driver (no driver, \"" +
                        Utf16ToUtf8(kUmdf2) + "\")",
                    "result: not compliant: 1 reader needs fixing"}),
            1,
            {}},
        CheckCase{"RegistrationDiffersEverywhere",
                  Service([](sim::ServiceRecord& r) {
                      r.startType = SERVICE_DEMAND_START;
                      r.account = WSTR(".\\svc-reader");
                      r.binaryPath = WSTR("C:\\Program Files\\RUVERODAzaroda\\ruverodazaroda.exe");
                      r.description = WString(WSTR("Repairs readers."));
                      r.failureActions->actions = {{SC_ACTION_REBOOT, 1000}};
                  }),
                  Report({"start type: manual (packaged: automatic)",
                          "account: .\\svc-reader (packaged: LocalSystem)",
                          "image path: C:\\Program Files\\RUVERODAzaroda\\ruverodazaroda.exe (not "
                          "quoted) (packaged: quoted)",
                          "description: another text (packaged: present)",
                          std::string("recovery: reboot after 1000 ms; reset after 86400 s "
                                      "(packaged: ") +
                              kPackaged + ")"}),
                  0,
                  {}},
        CheckCase{"NoDescriptionNoRecovery",
                  Service([](sim::ServiceRecord& r) {
                      r.description.reset();
                      r.failureActions.reset();
                  }),
                  Report({"description: none (packaged: present)",
                          std::string("recovery: none (packaged: ") + kPackaged + ")"}),
                  0,
                  {}},
        CheckCase{"AccountInOtherCaseImagePathHalfQuoted",
                  Service([](sim::ServiceRecord& r) {
                      r.account = WSTR("localsystem");
                      r.binaryPath = WSTR("\"C:\\Program Files\\RUVERODAzaroda\\ruverodazaroda.exe");
                  }),
                  Report({"account: localsystem",
                          "image path: \"C:\\Program Files\\RUVERODAzaroda\\ruverodazaroda.exe (not "
                          "quoted) (packaged: quoted)"}),
                  0,
                  {}},
        CheckCase{"RecoveryUnreadableIsNoVerdict",
                  Failing("QueryServiceConfig2W", 2, ERROR_INVALID_LEVEL),
                  Report({"recovery: unknown (QueryServiceConfig2W failed (124))"}),
                  0,
                  {}},
        CheckCase{
            "ManagerCannotBeOpened",
            Failing("OpenSCManagerW", 1, ERROR_ACCESS_DENIED),
            Report({"service: |", "start type: |", "account: |", "image path: |", "description: |",
                    "recovery: |", "result: cannot tell: OpenSCManagerW failed (5)"}),
            2,
            {}},
        CheckCase{"EnumerationFailsServiceStopped",
                  Failing("SetupDiGetClassDevsW", 1, ERROR_NOT_ENOUGH_MEMORY, [] {
                      sim::SetElevated(true);
                      StopServiceCommand();
                  }),
                  Report({"service: stopped", kReaderA1 + "|",
                          "result: not compliant: service not running; SetupDiGetClassDevsW "
                          "failed (8)"}),
                  1,
                  {}},
        CheckCase{"DriverKeyOfAnUnpluggedReader",
                  Failing("SetupDiOpenDevRegKey", 1, ERROR_NO_SUCH_DEVINST,
                          [] { AddReaderOn(kReaderC, kCcid, WSTR("wudfusbcciddriver.inf")); }),
                  Report({kReaderA1 + "cannot tell (SetupDiOpenDevRegKey failed (0xE000020B))",
                          "reader USB\\VID_F0C3&PID_7777&REV_0001\\3: ok (wudfusbcciddriver.inf, "
                          "\"USB Smart Card Reader (CCID)\")",
                          "result: cannot tell: 1 reader cannot be told"}),
                  2,
                  {}},
        CheckCase{"DriverKeyUnreadableBesideOneThatNeedsFixing",
                  Failing("SetupDiOpenDevRegKey", 1, ERROR_ACCESS_DENIED, WithUmdf2Reader()),
                  Report({kReaderA1 + "cannot tell (SetupDiOpenDevRegKey failed (5))", kNeedsFixing,
                          "result: not compliant: 1 reader needs fixing; 1 reader cannot be told"}),
                  1,
                  {}},
        CheckCase{"DriverKeyWithoutInfPath", // after the read of the descriptions
                  Failing("RegQueryValueExW", 2, ERROR_FILE_NOT_FOUND),
                  Report({kReaderA1 + "other driver (no driver, \"" + Utf16ToUtf8(kCcid) + "\")"}),
                  0,
                  {}},
        CheckCase{"InstanceIdUnreadable",
                  Failing("SetupDiGetDeviceInstanceIdW", 1, ERROR_NOT_ENOUGH_MEMORY),
                  Report({kReaderA1 + "|",
                          "reader USB\\VID_F0C1&PID_1234&REV_0100: cannot tell "
                          "(SetupDiGetDeviceInstanceIdW failed (8))",
                          "result: cannot tell: 1 reader cannot be told"}),
                  2,
                  {}},
        CheckCase{"UnpluggedBeforeItsNodeStatus",
                  Failing("CM_Get_DevNode_Status", 1, CR_NO_SUCH_DEVINST),
                  Report({kReaderA1 + "cannot tell (CM_Get_DevNode_Status failed (13))",
                          "result: cannot tell: 1 reader cannot be told"}),
                  2,
                  {}},
        CheckCase{"DisabledReaderOnThePackage",
                  [] {
                      sim::Device disabled;
                      disabled.hardwareIds = sim::MultiSz({kReaderC});
                      disabled.description = kCcid;
                      disabled.infName = WSTR("wudfusbcciddriver.inf");
                      disabled.problem = CM_PROB_DISABLED;
                      sim::AddDevice(disabled);
                  },
                  Report({"reader USB\\VID_F0C3&PID_7777&REV_0001\\3: ok (wudfusbcciddriver.inf, "
                          "\"USB Smart Card Reader (CCID)\", problem 22)"}),
                  0,
                  {}},
        CheckCase{"NoPackageReaderWithoutDriver",
                  [] {
                      sim::RemoveAll(kRepository + WSTR("\\") + kPackageFolder);
                      sim::AddUnboundReader(WSTR("USB\\VID_F0C4&PID_0042\\7&1D&0&2"), {kReaderD});
                  },
                  Report({"driver package: not found",
                          kReaderA1 + "other driver (wudfusbcciddriver.inf, \"" +
                              Utf16ToUtf8(kCcid) + "\")",
                          "reader USB\\VID_F0C4&PID_0042\\7&1D&0&2: other driver (no driver, \"\")"}),
                  0,
                  {}},
        CheckCase{"AfterADeviceWithoutHardwareIds",
                  [] {
                      sim::Device software;
                      software.hasHardwareIds = false;
                      sim::AddDevice(software);
                      AddReaderOn(kReaderB, kUmdf2, WSTR("usbcciddriver.inf"));
                  },
                  Report({"reader USB\\VID_F0C2&PID_0A0B&REV_0200\\4: needs fixing (usbcciddriver.inf, "
                          "\"Microsoft Usbccid Smartcard Reader (UMDF2)\")",
                          "result: not compliant: 1 reader needs fixing"}),
                  1,
                  {}},
        CheckCase{"DisplayLanguagesDiffer",
                  [] { sim::SetUiLanguages(0x0409, 0x0407); },
                  AfterLogging(Compliant(),
                               "display language: en-US (the service reads descriptions in de-DE)"),
                  0,
                  {}},
        CheckCase{"DisplayLanguageWithoutALocaleName",
                  [] { sim::SetUiLanguages(0x0407, 0x2C01); },
                  AfterLogging(Compliant(),
                               "display language: de-DE (the service reads descriptions in 0x2C01)"),
                  0,
                  {}},
        CheckCase{"AnyArgument",
                  kNothing,
                  {"usage: ruverodazaroda-check.exe (it takes no arguments)"},
                  2,
                  {"GetStdHandle(-12)", "GetConsoleMode(0x0000000000000068, &mode)",
                   "WriteConsoleW(0x0000000000000068, &buffer, 57, &written, NULL)"},
                  {"/fix"}}),
    CaseName);

} // namespace
