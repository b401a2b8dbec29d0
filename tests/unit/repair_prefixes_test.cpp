#include "fixture.h"

#include <cctype>
#include <string>

#include <ostream>

namespace {

struct PrefixCase {
    const char* name;
    WString id;
    int watched;
};

// Test names in ctest show the case, not its bytes.
void PrintTo(const PrefixCase& c, std::ostream* out) {
    *out << c.name;
}

const PrefixCase kPrefixCases[] = {
    {"device with product and instance", WSTR("USB\\VID_F0C1&PID_1234\\5&1A2B3C4D&0&2"), 1},
    {"second vendor", WSTR("USB\\VID_F0C2&PID_0A0B\\6&2B&0&1"), 1},
    {"third vendor", WSTR("USB\\VID_F0C3&PID_7777\\7&3C&0&3"), 1},
    {"fourth vendor", WSTR("USB\\VID_F0C4&PID_0042\\8&4D&0&4"), 1},
    {"lower case", WSTR("usb\\vid_f0c1&pid_1234\\5&1a2b3c4d&0&2"), 1},
    {"mixed case", WSTR("Usb\\Vid_f0C4&Pid_0042"), 1},
    {"exactly an entry", WSTR("USB\\VID_F0C1&PID_"), 1},
    {"exactly an entry in lower case", WSTR("usb\\vid_f0c3&pid_"), 1},
    {"sixteen characters", WSTR("USB\\VID_F0C1&PID"), 0},
    {"composite interface", WSTR("USB\\VID_F0C2&PID_0A0B&MI_00\\7&1F2E3D4C&0&0000"), 1},
    {"fifth vendor", WSTR("USB\\VID_F0C5&PID_1234\\5&1A2B3C4D&0&2"), 0},
    {"vendor digits off by one", WSTR("USB\\VID_F0C0&PID_1234"), 0},
    {"other bus", WSTR("HID\\VID_F0C1&PID_1234\\7&2A&0&0000"), 0},
    {"bus name inside", WSTR("XUSB\\VID_F0C1&PID_1234"), 0},
    {"empty", WSTR(""), 0},
    // Characters that differ from the entry's in the 0x20 bit only, and are no ASCII letters.
    {"delete for underscore", WSTR("USB\\VID_F0C1&PID\x007F"), 0},
    {"bar for backslash", WSTR("USB|VID_F0C1&PID_1234"), 0},
    {"control for ampersand", WSTR("USB\\VID_F0C1\x0006PID_1234"), 0},
    // Letters outside ASCII never equal an ASCII letter.
    {"dotted capital I",
     WSTR("USB\\VID_F0C1&P\x0130"
          "D_1234"),
     0},
    {"dotless small i",
     WSTR("USB\\VID_F0C1&P\x0131"
          "D_1234"),
     0},
    {"fullwidth letters", WSTR("\xFF35\xFF33\xFF22\\VID_F0C1&PID_1234"), 0},
    {"long s for S",
     WSTR("U\x017F"
          "B\\VID_F0C1&PID_1234"),
     0},
};

class WatchedPrefixRule : public SimTest, public ::testing::WithParamInterface<PrefixCase> {};

TEST_P(WatchedPrefixRule, AnswersForTheIdentifier) {
    BuildReaderPrefixList();
    EXPECT_EQ(IsWatchedReaderInstance(GetParam().id.c_str()), GetParam().watched);
}

INSTANTIATE_TEST_SUITE_P(Identifiers, WatchedPrefixRule, ::testing::ValuesIn(kPrefixCases),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             }
                             return name;
                         });

using ReaderPrefixes = SimTest;

TEST_F(ReaderPrefixes, BuildAppendsTheFourEntriesInOrder) {
    BuildReaderPrefixList();
    ASSERT_EQ(ReaderPrefixList.size(), 4u);
    EXPECT_EQ(ReaderPrefixList[0], WSTR("USB\\VID_F0C1&PID_"));
    EXPECT_EQ(ReaderPrefixList[1], WSTR("USB\\VID_F0C2&PID_"));
    EXPECT_EQ(ReaderPrefixList[2], WSTR("USB\\VID_F0C3&PID_"));
    EXPECT_EQ(ReaderPrefixList[3], WSTR("USB\\VID_F0C4&PID_"));
    for (const WString& entry : ReaderPrefixList)
        EXPECT_EQ(entry.size(), 17u);
}

TEST_F(ReaderPrefixes, BuildAppendsWithoutEmptying) {
    ReaderPrefixList.push_back(WSTR("PCI\\VEN_"));
    BuildReaderPrefixList();
    ASSERT_EQ(ReaderPrefixList.size(), 5u);
    EXPECT_EQ(ReaderPrefixList[0], WSTR("PCI\\VEN_"));
    EXPECT_EQ(ReaderPrefixList[4], WSTR("USB\\VID_F0C4&PID_"));
}

TEST_F(ReaderPrefixes, EmptyListWatchesNothingAndTheRuleMakesNoPlatformCall) {
    EXPECT_EQ(IsWatchedReaderInstance(WSTR("USB\\VID_F0C1&PID_1234")), 0);
    BuildReaderPrefixList();
    EXPECT_EQ(IsWatchedReaderInstance(WSTR("USB\\VID_F0C1&PID_1234")), 1);
    EXPECT_TRUE(sim::Journal().empty());
}

// An entry longer than the identifier is skipped, and a later, shorter one still decides.
TEST_F(ReaderPrefixes, EntryLongerThanIdentifierIsSkipped) {
    ReaderPrefixList.push_back(WSTR("USB\\VID_F0C1&PID_1234&REV_"));
    ReaderPrefixList.push_back(WSTR("usb\\vid_f0c1"));
    EXPECT_EQ(IsWatchedReaderInstance(WSTR("USB\\VID_F0C1&PID_1234")), 1);
    EXPECT_EQ(IsWatchedReaderInstance(WSTR("USB\\VID_F0C")), 0);
}

TEST(EqualIgnoringAsciiCase, ComparesExactlyTheGivenLength) {
    EXPECT_TRUE(EqualIgnoringAsciiCase(WSTR("ABCx"), WSTR("abcy"), 3));
    EXPECT_FALSE(EqualIgnoringAsciiCase(WSTR("ABCx"), WSTR("abcy"), 4));
    EXPECT_TRUE(EqualIgnoringAsciiCase(WSTR("Z@["), WSTR("z@["), 3));
    EXPECT_FALSE(EqualIgnoringAsciiCase(WSTR("@"), WSTR("`"), 1));
    EXPECT_FALSE(EqualIgnoringAsciiCase(WSTR("["), WSTR("{"), 1));
    EXPECT_TRUE(EqualIgnoringAsciiCase(WSTR("x"), WSTR("y"), 0));
}

} // namespace
