#include "repair_fixture.h"

#include "repair/ccid_inf_locator.h"

#include <ostream>

namespace {

const std::string kSystemDirectoryCall = "GetSystemDirectoryW(&buffer, 260)";
const std::string kFirstCall = "FindFirstFileW(\"" + Utf16ToUtf8(kSearchPattern) + "\", &data)";
const std::string kNextCall = "FindNextFileW(0x0000000000002000, &data)";
const std::string kCloseCall = "FindClose(0x0000000000002000)";

std::string AttributesCall(const WString& folder) {
    return "GetFileAttributesW(\"" + Utf16ToUtf8(kRepository) + "\\" + Utf16ToUtf8(folder) +
           "\\wudfusbcciddriver.inf\")";
}

using CcidInfLocator = RepairTest;

TEST_F(CcidInfLocator, FindsThePackageFolderHoldingTheInf) {
    StagePackage();
    WString path;
    EXPECT_EQ(FindCcidInfPath(path), 1);
    EXPECT_EQ(path, kInfPath);
    EXPECT_EQ(sim::Journal(),
              (std::vector<std::string>{kSystemDirectoryCall, kFirstCall,
                                        AttributesCall(kPackageFolder), kCloseCall}));
}

TEST_F(CcidInfLocator, NoMatchingEntryLeavesTheStringAlone) {
    sim::MakeDir(kRepository + WSTR("\\usbccid.inf_amd64_0123456789abcdef"));
    sim::MakeFile(kRepository + WSTR("\\usbccid.inf_amd64_0123456789abcdef\\usbccid.inf"));
    WString path = WSTR("left as it was");
    EXPECT_EQ(FindCcidInfPath(path), 0);
    EXPECT_EQ(path, WSTR("left as it was"));
    // There is no search handle to close.
    EXPECT_EQ(sim::Journal(), (std::vector<std::string>{kSystemDirectoryCall, kFirstCall}));
}

TEST_F(CcidInfLocator, MissingRepositoryFindsNothing) {
    sim::RemoveAll(kSystemDirectory + WSTR("\\DriverStore"));
    WString path;
    EXPECT_EQ(FindCcidInfPath(path), 0);
    EXPECT_TRUE(path.empty());
}

TEST_F(CcidInfLocator, FileWithMatchingNameIsPassedOverUnexamined) {
    sim::MakeFile(kRepository + WSTR("\\wudfusbcciddriver.inf_a_backup"));
    StagePackage(WSTR("wudfusbcciddriver.inf_b"));
    WString path;
    EXPECT_EQ(FindCcidInfPath(path), 1);
    EXPECT_EQ(path, kRepository + WSTR("\\wudfusbcciddriver.inf_b\\wudfusbcciddriver.inf"));
    EXPECT_EQ(sim::Journal(), (std::vector<std::string>{
                                  kSystemDirectoryCall, kFirstCall, kNextCall,
                                  AttributesCall(WSTR("wudfusbcciddriver.inf_b")), kCloseCall}));
}

TEST_F(CcidInfLocator, FolderWithoutTheInfIsPassedOver) {
    sim::MakeDir(kRepository + WSTR("\\wudfusbcciddriver.inf_a"));
    sim::MakeFile(kRepository + WSTR("\\wudfusbcciddriver.inf_a\\wudfusbcciddriver.cat"));
    StagePackage(WSTR("wudfusbcciddriver.inf_b"));
    WString path;
    EXPECT_EQ(FindCcidInfPath(path), 1);
    EXPECT_EQ(path, kRepository + WSTR("\\wudfusbcciddriver.inf_b\\wudfusbcciddriver.inf"));
    EXPECT_EQ(sim::Journal(),
              (std::vector<std::string>{
                  kSystemDirectoryCall, kFirstCall, AttributesCall(WSTR("wudfusbcciddriver.inf_a")),
                  kNextCall, AttributesCall(WSTR("wudfusbcciddriver.inf_b")), kCloseCall}));
}

TEST_F(CcidInfLocator, EmptyFoldersOnlyExhaustTheSearchAndCloseIt) {
    sim::MakeDir(kRepository + WSTR("\\wudfusbcciddriver.inf_a"));
    sim::MakeDir(kRepository + WSTR("\\wudfusbcciddriver.inf_b"));
    WString path;
    EXPECT_EQ(FindCcidInfPath(path), 0);
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(sim::Journal(),
              (std::vector<std::string>{kSystemDirectoryCall, kFirstCall,
                                        AttributesCall(WSTR("wudfusbcciddriver.inf_a")), kNextCall,
                                        AttributesCall(WSTR("wudfusbcciddriver.inf_b")), kNextCall,
                                        kCloseCall}));
}

// A search that breaks off is taken as finished.
TEST_F(CcidInfLocator, FailingSearchEndsWithoutResult) {
    sim::MakeDir(kRepository + WSTR("\\wudfusbcciddriver.inf_a"));
    StagePackage(WSTR("wudfusbcciddriver.inf_b"));
    sim::FailNext("FindNextFileW", ERROR_ACCESS_DENIED);
    WString path;
    EXPECT_EQ(FindCcidInfPath(path), 0);
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(sim::JournalOps().back(), "FindClose");
}

TEST_F(CcidInfLocator, InfThatIsAFolderStillCounts) {
    sim::MakeDir(kInfPath);
    WString path;
    EXPECT_EQ(FindCcidInfPath(path), 1);
    EXPECT_EQ(path, kInfPath);
}

struct OrderCase {
    const char* name;
    std::vector<WString> order;
    WString winner;
};

// Test names in ctest show the case, not its bytes.
void PrintTo(const OrderCase& c, std::ostream* out) {
    *out << c.name;
}

class CcidInfLocatorOrder : public RepairTest, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(CcidInfLocatorOrder, FirstFolderTheSearchReturnsWins) {
    StagePackage(WSTR("wudfusbcciddriver.inf_amd64_1111"));
    StagePackage(WSTR("wudfusbcciddriver.inf_amd64_2222"));
    sim::SetSearchOrder(kRepository, GetParam().order);
    WString path;
    EXPECT_EQ(FindCcidInfPath(path), 1);
    EXPECT_EQ(path, kRepository + WSTR("\\") + GetParam().winner + WSTR("\\wudfusbcciddriver.inf"));
    // The search stops at the first hit and is closed before the result is handed back.
    EXPECT_EQ(sim::Journal(),
              (std::vector<std::string>{kSystemDirectoryCall, kFirstCall,
                                        AttributesCall(GetParam().winner), kCloseCall}));
}

INSTANTIATE_TEST_SUITE_P(SearchOrders, CcidInfLocatorOrder,
                         ::testing::Values(OrderCase{"OlderFirst",
                                                     {WSTR("wudfusbcciddriver.inf_amd64_1111"),
                                                      WSTR("wudfusbcciddriver.inf_amd64_2222")},
                                                     WSTR("wudfusbcciddriver.inf_amd64_1111")},
                                           OrderCase{"NewerFirst",
                                                     {WSTR("wudfusbcciddriver.inf_amd64_2222"),
                                                      WSTR("wudfusbcciddriver.inf_amd64_1111")},
                                                     WSTR("wudfusbcciddriver.inf_amd64_2222")}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CcidInfLocator, LetterCaseOfDirectoryAndFolderIsKept) {
    const WString system = WSTR("C:\\WINDOWS\\system32");
    const WString folder = WSTR("WudfUsbCcidDriver.INF_amd64_ABCdef");
    sim::SetSystemDirectory(system);
    sim::MakeFile(system + WSTR("\\DriverStore\\FileRepository\\") + folder +
                  WSTR("\\wudfusbcciddriver.inf"));
    WString path;
    EXPECT_EQ(FindCcidInfPath(path), 1);
    EXPECT_EQ(path, system + WSTR("\\DriverStore\\FileRepository\\") + folder +
                        WSTR("\\wudfusbcciddriver.inf"));
}

TEST_F(CcidInfLocator, NoSystemDirectoryStartsNoSearch) {
    StagePackage();
    sim::FailNext("GetSystemDirectoryW", ERROR_ACCESS_DENIED);
    WString path;
    EXPECT_EQ(FindCcidInfPath(path), 0);
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(sim::Journal(), (std::vector<std::string>{kSystemDirectoryCall}));
}

TEST_F(CcidInfLocator, SystemDirectoryTooLongForTheBufferIsNotUsed) {
    StagePackage();
    sim::SetSystemDirectoryRequiredSize(300);
    WString path;
    EXPECT_EQ(FindCcidInfPath(path), 0);
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(sim::Journal(), (std::vector<std::string>{kSystemDirectoryCall}));
}

// A directory of n characters, made of folder names short enough for any host.
WString LongSystemDirectory(std::size_t n) {
    WString dir = WSTR("C:\\Windows\\System32");
    while (n - dir.size() > 41)
        dir += WSTR("\\") + WString(40, u'd');
    if (n - dir.size() >= 2)
        dir += WSTR("\\") + WString(n - dir.size() - 1, u'e');
    else if (n - dir.size() == 1)
        dir += u'f';
    return dir;
}

struct LengthCase {
    std::size_t length;
    int found;
};

void PrintTo(const LengthCase& c, std::ostream* out) {
    *out << c.length;
}

class CcidInfLocatorLength : public RepairTest, public ::testing::WithParamInterface<LengthCase> {};

// 259 characters and the terminator fill the buffer exactly; one more does not fit.
TEST_P(CcidInfLocatorLength, SystemDirectoryAtTheBufferLimit) {
    const WString system = LongSystemDirectory(GetParam().length);
    ASSERT_EQ(system.size(), GetParam().length);
    sim::SetSystemDirectory(system);
    sim::MakeFile(system + WSTR("\\DriverStore\\FileRepository\\wudfusbcciddriver.inf_x\\"
                                "wudfusbcciddriver.inf"));
    WString path;
    EXPECT_EQ(FindCcidInfPath(path), GetParam().found);
    EXPECT_EQ(sim::JournalOf("FindFirstFileW").size(), GetParam().found == 1 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, CcidInfLocatorLength,
                         ::testing::Values(LengthCase{259, 1}, LengthCase{260, 0}),
                         [](const auto& info) { return std::to_string(info.param.length); });

} // namespace
