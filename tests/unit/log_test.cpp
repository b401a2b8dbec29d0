#include "fixture.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

namespace {

const WCHAR kLogDir[] = WSTR("C:\\Windows\\Temp\\Kelpix.log");
const char kSd1[] = "D:AR(A;CIOI;GA;;;WD)(A;CIOI;GA;;;AC)S:(ML;CIOI;NW;;;LW)";
const char kSd2[] = "D:AR(A;CIOI;GA;;;WD)S:(ML;CIOI;NW;;;LW)";
const char kSd3[] = "D:AR(A;CIOI;GA;;;WD)";
const std::string kRule59(59, '=');
const std::string kFolderOpen =
    R"(CreateFileW("C:\Windows\Temp\Kelpix.log", 0x00000080, 0x00000007, NULL, 3, 0x02200000, NULL))";

// The calls that append one entry of size bytes, the folder's handle being folder and the
// file's the next one.
std::vector<std::string> AppendCalls(unsigned size, unsigned folder = 0xF000) {
    char d[32], f[32];
    std::snprintf(d, sizeof d, "0x%016X", folder);
    std::snprintf(f, sizeof f, "0x%016X", folder + 1);
    std::string dir = d, file = f;
    return {
        kFolderOpen,
        "GetFileInformationByHandle(" + dir + ", &information)",
        "GetFinalPathNameByHandleW(" + dir + ", &path, 520, 0x00000002)",
        "NtCreateFile(&handle, 0x00100084, {48, " + dir +
            R"(, "ruverodazaroda_P4242.log", )"
            R"(0x00000040}, &io, NULL, 0x00000080, 0x00000007, 3, 0x00200160, NULL, 0))",
        "GetFileInformationByHandle(" + file + ", &information)",
        "GetFinalPathNameByHandleW(" + file + ", &path, 520, 0x00000002)",
        "AcquireSRWLockExclusive(&lock1)",
        "WriteFile(" + file + ", &buffer, " + std::to_string(size) + ", &written, NULL)",
        "ReleaseSRWLockExclusive(&lock1)",
        "CloseHandle(" + file + ")",
        "CloseHandle(" + dir + ")",
    };
}

std::tm FixedTime() {
    std::tm tm{};
    tm.tm_year = 126; // 2026
    tm.tm_mon = 2;    // March
    tm.tm_mday = 4;
    tm.tm_hour = 5;
    tm.tm_min = 6;
    tm.tm_sec = 7;
    return tm;
}

std::vector<std::uint8_t> Bytes(std::initializer_list<std::uint8_t> bytes) {
    return bytes;
}

class LogTest : public SimTest {};

// How each form of the registry switch turns logging on or off.
struct SwitchCase {
    const char* name;
    bool createKey;
    bool setValue;
    DWORD type;
    std::vector<std::uint8_t> data;
    bool on;
};

class LogSwitchTest : public SimTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(LogSwitchTest, DecidesWhetherAnythingIsWritten) {
    const SwitchCase& c = GetParam();
    if (c.createKey)
        sim::CreateRegKey(kLogKey);
    if (c.setValue)
        sim::SetRegValue(kLogKey, WSTR("Enabled"), c.type, c.data);

    OpenLogSession();
    LogMessage("hello\n");

    EXPECT_EQ(sim::Exists(kLogDir), c.on);
    EXPECT_EQ(sim::Exists(LogFileOf(4242)), c.on);
    EXPECT_EQ(LogFilePath[0] != 0, c.on);
    const std::vector<std::string> regOps = {"RegOpenKeyExW", "RegQueryValueExW", "RegCloseKey"};
    if (c.on)
        EXPECT_EQ(LogEntries(), std::vector<std::string>{"hello"});
    else
        EXPECT_EQ(sim::JournalOps(),
                  c.createKey ? regOps : std::vector<std::string>{"RegOpenKeyExW"});
    EXPECT_EQ(sim::OpenRegKeys(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, LogSwitchTest,
    ::testing::Values(
        SwitchCase{"NoKey", false, false, 0, {}, false},
        SwitchCase{"NoValue", true, false, 0, {}, false},
        SwitchCase{"DwordZero", true, true, REG_DWORD, Bytes({0, 0, 0, 0}), false},
        SwitchCase{"DwordOne", true, true, REG_DWORD, Bytes({1, 0, 0, 0}), true},
        SwitchCase{"DwordHighByte", true, true, REG_DWORD, Bytes({0, 0, 0, 1}), true},
        SwitchCase{"QwordOne", true, true, REG_QWORD, Bytes({1, 0, 0, 0, 0, 0, 0, 0}), false},
        SwitchCase{"QwordZero", true, true, REG_QWORD, Bytes({0, 0, 0, 0, 0, 0, 0, 0}), false},
        SwitchCase{"OneCharacterString", true, true, REG_SZ, Bytes({'A', 0, 0, 0}), true},
        SwitchCase{"EmptyString", true, true, REG_SZ, Bytes({0, 0}), false},
        SwitchCase{"TwoCharacterString", true, true, REG_SZ, Bytes({'A', 0, 'B', 0, 0, 0}), false},
        SwitchCase{"TwoBytesNonZero", true, true, REG_BINARY, Bytes({1, 0}), true},
        SwitchCase{"EmptyBinary", true, true, REG_BINARY, {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LogTest, OpeningCallsThePlatformInOrder) {
    sim::SetRegDword(kLogKey, WSTR("Enabled"), 1);
    OpenLogSession();
    std::vector<std::string> expected = {
        R"(RegOpenKeyExW(HKEY_LOCAL_MACHINE, "SOFTWARE\Corvane\Tessarine\KVR\Log", 0, 0x00020019))",
        R"(RegQueryValueExW(0x0000000000001000, "Enabled", NULL, &type, &data, 4))",
        R"(RegCloseKey(0x0000000000001000))",
        R"(GetWindowsDirectoryW(&buffer, 260))",
        std::string(R"(ConvertStringSecurityDescriptorToSecurityDescriptorW(")") + kSd1 +
            R"(", 1, &descriptor, NULL))",
        std::string(R"(CreateDirectoryW("C:\Windows\Temp\Kelpix.log", {24, descriptor ")") + kSd1 +
            R"(", 0}))",
        std::string(R"(LocalFree(descriptor ")") + kSd1 + R"("))",
        "GetCurrentProcessId()",
    };
    std::vector<std::string> write = AppendCalls(106);
    expected.insert(expected.end(), write.begin(), write.end());
    EXPECT_EQ(sim::Journal(), expected);
    EXPECT_EQ(sim::DirectorySecurity(kLogDir), kSd1);
    EXPECT_EQ(std::string(LogFilePath), R"(C:\Windows\Temp\Kelpix.log\ruverodazaroda_P4242.log)");
    EXPECT_EQ(sim::LiveDescriptors(), 0u);
}

// Which descriptor the folder gets when the first ones cannot be converted.
struct DescriptorCase {
    std::vector<const char*> failing;
    std::string expected; // "" is the default security
    std::size_t conversions;
};

class LogDescriptorTest : public SimTest, public ::testing::WithParamInterface<DescriptorCase> {};

TEST_P(LogDescriptorTest, FallsBackInOrder) {
    const DescriptorCase& c = GetParam();
    for (const char* sddl : c.failing)
        sim::FailSddl(Utf8ToUtf16(sddl), ERROR_INVALID_PARAMETER);
    OpenLogWithSwitchOn();
    EXPECT_EQ(sim::JournalOf("ConvertStringSecurityDescriptorToSecurityDescriptorW").size(),
              c.conversions);
    EXPECT_EQ(sim::DirectorySecurity(kLogDir), c.expected);
    std::string freed =
        c.expected.empty() ? "LocalFree(NULL)" : "LocalFree(descriptor \"" + c.expected + "\")";
    EXPECT_EQ(sim::JournalOf("LocalFree"), std::vector<std::string>{freed});
    EXPECT_EQ(sim::LiveDescriptors(), 0u);
    EXPECT_EQ(LogLines()[3], "Logging Started");
}

INSTANTIATE_TEST_SUITE_P(Fallback, LogDescriptorTest,
                         ::testing::Values(DescriptorCase{{}, kSd1, 1},
                                           DescriptorCase{{kSd1}, kSd2, 2},
                                           DescriptorCase{{kSd1, kSd2}, kSd3, 3},
                                           DescriptorCase{{kSd1, kSd2, kSd3}, "", 3}));

TEST_F(LogTest, ExistingFolderKeepsItsSecurity) {
    sim::MakeDir(kLogDir);
    OpenLogWithSwitchOn();
    EXPECT_EQ(sim::DirectorySecurity(kLogDir), "(not created)");
    EXPECT_EQ(sim::JournalOf("CreateDirectoryW").size(), 1u);
    EXPECT_EQ(LogLines()[3], "Logging Started");
}

TEST_F(LogTest, MissingTempFolderDropsEveryMessageQuietly) {
    sim::RemoveAll(WSTR("C:\\Windows\\Temp"));
    OpenLogWithSwitchOn();
    LogMessage("lost\n");
    EXPECT_FALSE(sim::Exists(WSTR("C:\\Windows\\Temp")));
    EXPECT_EQ(std::string(LogFilePath), R"(C:\Windows\Temp\Kelpix.log\ruverodazaroda_P4242.log)");
    EXPECT_EQ(sim::JournalOf("CreateFileW"), (std::vector<std::string>{kFolderOpen, kFolderOpen}));
}

TEST_F(LogTest, NoWindowsDirectoryMeansLoggingOff) {
    sim::FailNext("GetWindowsDirectoryW", ERROR_ACCESS_DENIED);
    OpenLogWithSwitchOn();
    LogMessage("x\n");
    EXPECT_EQ(LogFilePath[0], 0);
    EXPECT_TRUE(sim::JournalOf("CreateDirectoryW").empty());
    EXPECT_TRUE(sim::JournalOf("CreateFileW").empty());
}

// A path longer than its buffer is cut to it, terminator included.
TEST_F(LogTest, LongWindowsDirectoryCutsThePathOrTurnsLoggingOff) {
    // Never inside a character: the cut falls on the second folder's first one.
    const WString windows =
        WSTR("C:\\") + WString(127, u'\u00e9') + WSTR("\\") + WString(127, u'\u00e9');
    sim::SetWindowsDirectory(windows);
    OpenLogWithSwitchOn();
    EXPECT_EQ(std::string(LogFilePath), Utf16ToUtf8(windows.substr(0, 131)));
    LogFilePath[0] = 0;
    sim::ClearJournal();
    sim::SetWindowsDirectory(WSTR("C:\\") + WString(300, u'w'));
    OpenLogSession();
    EXPECT_EQ(LogFilePath[0], 0);
    EXPECT_TRUE(sim::JournalOf("CreateDirectoryW").empty());
}

TEST_F(LogTest, FileIsNamedAfterTheProcessId) {
    sim::SetProcessId(812);
    OpenLogWithSwitchOn();
    EXPECT_TRUE(sim::Exists(LogFileOf(812)));
    LogFilePath[0] = 0;
    sim::SetProcessId(4294967295u);
    OpenLogSession();
    EXPECT_TRUE(sim::Exists(LogFileOf(4294967295u)));
}

TEST_F(LogTest, BannerAndEntriesAreWrittenExactly) {
    sim::SetLocalTime(FixedTime());
    OpenLogWithSwitchOn();
    LogMessage("Value %d\n", 3);
    LogMessage("no end"); // runs into the next entry
    LogMessage("next\n");
    sim::FailNext("localtime_s", EINVAL);
    LogMessage("x\n");
    const std::string big(20000, 'x'); // not cut
    LogMessage("%s\n", big);
    const std::string stamp = "2026-03-04 05:06:07 - ";
    EXPECT_EQ(sim::ReadFile(LogFileOf(4242)),
              "\r\n" + kRule59 + "\r\n\r\n" + stamp + "Logging Started\r\n\r\n" + stamp +
                  "Value 3\r\n" + stamp + "no end" + stamp + "next\r\n0000-00-00 00:00:00 - x\r\n" +
                  stamp + big + "\r\n");
}

TEST_F(LogTest, EveryMessageIsOneAppendToTheCheckedFile) {
    OpenLogWithSwitchOn();
    sim::ClearJournal();
    LogMessage("one\n");
    LogMessage("three\n");
    std::vector<std::string> expected = AppendCalls(27, 0xF002);
    std::vector<std::string> second = AppendCalls(29, 0xF004);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(sim::Journal(), expected);
    EXPECT_EQ(sim::OpenFileHandles(), 0u);
}

TEST_F(LogTest, DeletedFileIsCreatedAgainWithoutBanner) {
    OpenLogWithSwitchOn();
    sim::RemoveAll(LogFileOf(4242));
    LogMessage("again\n");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"again"}));
}

// A failure at any step drops that message only, and leaves no handle open.
struct StepFailure {
    const char* op;
    unsigned nth;        // of the op's calls in one message
    unsigned writes = 2; // tried in all: the banner's, the failed one if any, and "kept"
    DWORD error = ERROR_ACCESS_DENIED;
    // Not a failure: another user's oplock on the file, let go after the dropped message.
    bool oplock = false;
};

void PrintTo(const StepFailure& c, std::ostream* out) {
    *out << c.op << " #" << c.nth;
}

class LogStepFailureTest : public SimTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(LogStepFailureTest, DropsOnlyThatMessage) {
    OpenLogWithSwitchOn();
    if (GetParam().oplock)
        sim::HoldOplock(LogFileOf(4242));
    else
        sim::FailNth(GetParam().op, GetParam().nth, GetParam().error);
    LogMessage("dropped\n");
    sim::ReleaseOplock();
    LogMessage("kept\n");
    EXPECT_EQ(LogEntries(), (std::vector<std::string>{"kept"}));
    EXPECT_EQ(sim::JournalOf("WriteFile").size(), GetParam().writes);
    EXPECT_EQ(sim::OpenFileHandles(), 0u);
}

const StepFailure kStepFailures[] = {{"CreateFileW", 1},
                                     {"NtCreateFile", 1, 2, DWORD(STATUS_ACCESS_DENIED)},
                                     {"NtCreateFileOplocked", 1, 2, 0, true},
                                     {"GetFileInformationByHandle", 1},
                                     {"GetFileInformationByHandle", 2},
                                     {"GetFinalPathNameByHandleW", 1},
                                     {"GetFinalPathNameByHandleW", 2},
                                     {"WriteFile", 1, 3, ERROR_DISK_FULL}};

INSTANTIATE_TEST_SUITE_P(Steps, LogStepFailureTest, ::testing::ValuesIn(kStepFailures),
                         [](const auto& info) {
                             return std::string(info.param.op) + std::to_string(info.param.nth);
                         });

TEST_F(LogTest, LaterProcessWithTheSamePidAppendsItsSession) {
    OpenLogWithSwitchOn();
    LogMessage("first\n");
    LogFilePath[0] = 0;
    OpenLogSession();
    std::vector<std::string> lines = LogLines();
    std::vector<std::string> expected = {"", kRule59, "", "Logging Started", "", "first",
                                         "", kRule59, "", "Logging Started", ""};
    EXPECT_EQ(lines, expected);
}

TEST_F(LogTest, TwoProcessesWriteTwoFiles) {
    OpenLogWithSwitchOn();
    LogMessage("service\n");
    LogFilePath[0] = 0;
    sim::SetProcessId(900);
    OpenLogSession();
    LogMessage("command\n");
    EXPECT_EQ(LogEntries(4242), std::vector<std::string>{"service"});
    EXPECT_EQ(LogEntries(900), std::vector<std::string>{"command"});
}

TEST_F(LogTest, ConcurrentMessagesStayWholeAndNoneIsLost) {
    OpenLogWithSwitchOn();
    constexpr int kThreads = 8;
    constexpr int kMessages = 5000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int m = 0; m < kMessages; ++m)
                LogMessage("thread %d message %d of a longer line to make tearing likely\n", t, m);
        });
    }
    for (auto& thread : threads)
        thread.join();

    std::vector<std::string> entries = LogEntries();
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(kThreads * kMessages));
    std::vector<std::vector<bool>> seen(kThreads, std::vector<bool>(kMessages, false));
    static const std::regex whole(
        R"(thread (\d) message (\d+) of a longer line to make tearing likely)");
    for (const std::string& e : entries) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(e, m, whole)) << e;
        seen[std::stoul(m[1])][std::stoul(m[2])] = true;
    }
    for (const auto& row : seen)
        for (bool s : row)
            EXPECT_TRUE(s);
    // Every line of the file is a banner line or one whole entry.
    std::string text = sim::ReadFile(LogFileOf(4242));
    EXPECT_EQ(text.find("\n\n"), std::string::npos); // CR before every LF
}

const WCHAR kVictimFolder[] = WSTR("C:\\Victim");
const WCHAR kVictim[] = WSTR("C:\\Victim\\secret.txt");
const WCHAR kVictimAtLogName[] = WSTR("C:\\Victim\\ruverodazaroda_P4242.log");
const char kVictimText[] = "not the log's\r\n";

// Links that anyone may plant at the log's names, and where each would have the service
// write; the message is dropped and nothing changes there.
struct PlantCase {
    const char* name;
    void (*plant)();
    const WCHAR* victim;
    const char* victimAfter; // nullptr: still absent
};

void PrintTo(const PlantCase& c, std::ostream* out) {
    *out << c.name;
}

void ReplaceFolder(void (*link)(const WString&, const WString&)) {
    std::filesystem::rename(sim::HostPath(kLogDir),
                            sim::HostPath(WSTR("C:\\Windows\\Temp\\moved")));
    link(kLogDir, kVictimFolder);
}

class LogPlantTest : public SimTest, public ::testing::WithParamInterface<PlantCase> {};

TEST_P(LogPlantTest, MessageIsDroppedAndTheTargetUnchanged) {
    const PlantCase& c = GetParam();
    OpenLogWithSwitchOn();
    sim::MakeFile(kVictim, kVictimText);
    sim::RemoveAll(LogFileOf(4242));
    c.plant();
    sim::ClearJournal();

    LogMessage("planted\n");

    if (c.victimAfter == nullptr)
        EXPECT_FALSE(sim::Exists(c.victim));
    else
        EXPECT_EQ(sim::ReadFile(c.victim), c.victimAfter);
    EXPECT_TRUE(sim::JournalOf("WriteFile").empty());
    EXPECT_EQ(sim::OpenFileHandles(), 0u);
}

const PlantCase kPlantCases[] = {
    {"HardLink", [] { sim::MakeHardLink(LogFileOf(4242), kVictim); }, kVictim, kVictimText},
    {"FileSymlink", [] { sim::MakeSymlink(LogFileOf(4242), kVictim); }, kVictim, kVictimText},
    {"SymlinkToNothing", [] { sim::MakeSymlink(LogFileOf(4242), kVictimAtLogName); },
     kVictimAtLogName, nullptr},
    {"JunctionAsTheFolder", [] { ReplaceFolder(sim::MakeJunction); }, kVictimAtLogName, nullptr},
    {"FolderSymlink", [] { ReplaceFolder(sim::MakeSymlink); }, kVictimAtLogName, nullptr},
    // The folder is swapped for a junction after it was checked.
    {"FolderSwappedAfterItsCheck",
     [] { sim::BeforeCreateFile(2, [] { ReplaceFolder(sim::MakeJunction); }); }, kVictimAtLogName,
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Links, LogPlantTest, ::testing::ValuesIn(kPlantCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A Windows directory whose Temp folder is legitimately elsewhere keeps its log, however long
// the real path.
struct RedirectCase {
    const char* name;
    const WCHAR* realTemp;
    bool letterless = false; // a volume of its own without a drive letter
};

void PrintTo(const RedirectCase& c, std::ostream* out) {
    *out << c.name;
}

class LogRedirectTest : public SimTest, public ::testing::WithParamInterface<RedirectCase> {};

TEST_P(LogRedirectTest, LogIsWrittenThroughTheRedirectedFolder) {
    WString realTemp = GetParam().realTemp;
    sim::RemoveAll(WSTR("C:\\Windows\\Temp"));
    sim::MakeDir(realTemp);
    if (GetParam().letterless)
        sim::MakeLetterlessVolume(realTemp);
    sim::MakeJunction(WSTR("C:\\Windows\\Temp"), realTemp);
    OpenLogWithSwitchOn();
    LogMessage("kept\n");
    EXPECT_EQ(LogEntries(), std::vector<std::string>{"kept"});
    EXPECT_EQ(sim::ReadFile(realTemp + WSTR("\\Kelpix.log\\ruverodazaroda_P4242.log")),
              sim::ReadFile(LogFileOf(4242)));
}

// Its final path is longer than 520 characters.
const WString kLongTemp = WSTR("C:\\") + WString(250, u'd') + WSTR("\\") + WString(250, u'e');

INSTANTIATE_TEST_SUITE_P(Folders, LogRedirectTest,
                         ::testing::Values(RedirectCase{"Short", WSTR("C:\\Data\\Temp")},
                                           RedirectCase{"Long", kLongTemp.c_str()},
                                           RedirectCase{"NoDriveLetter", WSTR("C:\\V"), true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
