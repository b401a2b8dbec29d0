#include "repair_fixture.h"

#include "repair/reader_enumeration.h"

#include <ostream>

namespace {

const GUID kUsbClass = {
    0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

sim::Device Reader(std::vector<std::uint8_t> hardwareIds, const WString& description) {
    sim::Device device;
    device.hardwareIds = std::move(hardwareIds);
    device.description = description;
    return device;
}

// A REG_MULTI_SZ value of exactly bytes bytes whose first ID is first, padded with a second
// ID of filler letters.
std::vector<std::uint8_t> ValueOfSize(const WString& first, std::size_t bytes) {
    std::size_t fillerLength = bytes / 2 - first.size() - 3;
    return sim::MultiSz({first, WString(fillerLength, u'x')});
}

struct SingleDeviceCase {
    const char* name;
    sim::Device device;
    WString listedAs;                // empty: not listed
    std::vector<WString> added = {}; // descriptions an administrator added
    WString provider = {};           // of the package of the device's INF
    const char* failing = nullptr;   // a call whose nth call fails with ERROR_ACCESS_DENIED
    unsigned nth = 1;
};

// Test names in ctest show the case, not its bytes.
void PrintTo(const SingleDeviceCase& c, std::ostream* out) {
    *out << c.name;
}

// A watched UMDF2 reader with change applied.
sim::Device Watched(void (*change)(sim::Device&)) {
    sim::Device d = Reader(sim::MultiSz({kReaderA, kReaderAModel}), kUmdf2);
    change(d);
    return d;
}

sim::Device ReaderADescribed(const WString& description) {
    return Reader(sim::MultiSz({kReaderA}), description);
}

// A reader under a translated description, on the driver of this INF.
sim::Device TranslatedOn(const WString& inf, const WString& firstId = kReaderA) {
    sim::Device d = Reader(sim::MultiSz({firstId}), kFrenchUmdf2);
    d.infName = inf;
    return d;
}
const WString kInbox = WSTR("usbcciddriver.inf");
const WString kMs = WSTR("Microsoft");

// Descriptions an administrator added.
const std::vector<WString> kFrench = {kFrenchUmdf2};
const std::vector<WString> kTwo = {kFrenchUmdf2, kGermanUmdf2};

const SingleDeviceCase kSingleDeviceCases[] = {
    {"WatchedUmdf2Reader", Reader(sim::MultiSz({kReaderA, kReaderAModel}), kUmdf2), kReaderA},
    {"EachWatchedVendor_B", Reader(sim::MultiSz({kReaderB}), kUmdf2), kReaderB},
    {"EachWatchedVendor_C", Reader(sim::MultiSz({kReaderC}), kUmdf2), kReaderC},
    {"EachWatchedVendor_D", Reader(sim::MultiSz({kReaderD}), kUmdf2), kReaderD},
    {"LowerCaseHardwareId", Reader(sim::MultiSz({WSTR("usb\\vid_f0c1&pid_1234&rev_0100")}), kUmdf2),
     WSTR("usb\\vid_f0c1&pid_1234&rev_0100")},
    {"VendorDriverDescription", Reader(sim::MultiSz({kReaderA, kReaderAModel}), kVendorDriver), {}},
    {"UnwatchedVendor", Reader(sim::MultiSz({kOtherVendor}), kUmdf2), {}},
    {"OnlyLaterIdWatched", Reader(sim::MultiSz({kOtherVendor, kReaderAModel}), kUmdf2), {}},
    {"DescriptionInCapitals", ReaderADescribed(WSTR("MICROSOFT USBCCID SMARTCARD READER (UMDF2)")),
     kReaderA},
    {"DescriptionInSmallLetters",
     ReaderADescribed(WSTR("microsoft usbccid smartcard reader (umdf2)")), kReaderA},
    {"DescriptionWithCharacterAdded",
     ReaderADescribed(WSTR("Microsoft Usbccid Smartcard Reader (UMDF2) ")), WString()},
    {"DescriptionWithCharacterRemoved",
     ReaderADescribed(WSTR("Microsoft Usbccid Smartcard Reader (UMDF2")), WString()},
    {"DescriptionWithCharacterChanged",
     ReaderADescribed(WSTR("Microsoft Usbccid Smartcard Reader [UMDF2)")), WString()},
    {"DescriptionWithNonAsciiLetter",
     ReaderADescribed(WSTR("M\x0130"
                           "crosoft Usbccid Smartcard Reader (UMDF2)")),
     WString()},
    {"DescriptionOfEarlierDriver",
     ReaderADescribed(WSTR("Microsoft Usbccid Smartcard Reader (WUDF)")), WString()},
    {"NotPresent", Watched([](sim::Device& d) { d.present = false; }), {}},
    {"OtherSetupClass", Watched([](sim::Device& d) { d.classGuid = kUsbClass; }), {}},
    {"NoHardwareIdProperty", Watched([](sim::Device& d) { d.hasHardwareIds = false; }), {}},
    {"NoDescriptionProperty", Watched([](sim::Device& d) { d.hasDescription = false; }), {}},
    {"HardwareIdsOfExactly1024Bytes", Reader(ValueOfSize(kReaderA, 1024), kUmdf2), kReaderA},
    {"HardwareIdsNeeding1026Bytes", Reader(ValueOfSize(kReaderA, 1026), kUmdf2), {}},
    {"DescriptionNeedingMoreThan1024Bytes", ReaderADescribed(kUmdf2 + WString(512, u' ')), {}},
    // 512 characters and no terminator: the first ID never ends inside the buffer.
    {"HardwareIdFillingTheBufferUnterminated",
     Reader(sim::WideBytes(kReaderA + WString(512 - kReaderA.size(), u'9')), kUmdf2), WString()},
    {"TranslatedNotAdded", ReaderADescribed(kFrenchUmdf2), {}},
    {"TranslatedAdded", ReaderADescribed(kFrenchUmdf2), kReaderA, kFrench},
    {"TranslatedSecondOfTwoAdded", ReaderADescribed(kGermanUmdf2), kReaderA, kTwo},
    {"EnglishWithOthersAdded", ReaderADescribed(kUmdf2), kReaderA, kTwo},
    {"TranslatedInCapitalsAdded",
     ReaderADescribed(WSTR("LECTEUR DE CARTE \u00E0 PUCE MICROSOFT USBCCID (UMDF2)")), kReaderA,
     kFrench},
    // Letters outside ASCII keep their case, as in the English description.
    {"TranslatedWithCapitalNonAsciiAdded",
     ReaderADescribed(WSTR("Lecteur de carte \u00C0 puce Microsoft Usbccid (UMDF2)")),
     {},
     kFrench},
    {"AddedBeginsTheDescription", ReaderADescribed(kFrenchUmdf2 + WSTR(" 2")), {}, kFrench},
    {"UnwatchedVendorTranslatedAdded",
     Reader(sim::MultiSz({kOtherVendor}), kFrenchUmdf2),
     {},
     kFrench},
    {"TranslatedOnInboxPackage", TranslatedOn(kInbox), kReaderA, {}, kMs},
    {"InboxPackageInOtherCase", TranslatedOn(WSTR("UsbccidDriver.inf")), kReaderA, {}, kMs},
    {"InboxPackageNameOfAnotherProvider", TranslatedOn(kInbox), {}, {}, WSTR("Corvane")},
    {"TranslatedOnWudfPackage", TranslatedOn(WSTR("wudfusbcciddriver.inf")), {}, {}, kMs},
    {"UnwatchedVendorOnInboxPackage", TranslatedOn(kInbox, kOtherVendor), {}, {}, kMs},
    {"InboxDriverKeyUnreadable", TranslatedOn(kInbox), {}, {}, kMs, "SetupDiOpenDevRegKey"},
    {"InboxProviderUnreadable", TranslatedOn(kInbox), {}, {}, kMs, "RegQueryValueExW", 2},
};

class ReaderEnumerationSingle : public RepairTest,
                                public ::testing::WithParamInterface<SingleDeviceCase> {};

TEST_P(ReaderEnumerationSingle, ListsTheFirstHardwareIdOfQualifyingReaders) {
    BuildReaderPrefixList();
    SetReaderDescriptions(GetParam().added);
    sim::SetInfProvider(GetParam().device.infName, GetParam().provider);
    sim::AddDevice(GetParam().device);
    if (GetParam().failing != nullptr)
        sim::FailNth(GetParam().failing, GetParam().nth, ERROR_ACCESS_DENIED);
    ReaderHardwareIdList readers;
    EXPECT_EQ(ListReadersWithInf(readers), 1);
    if (GetParam().listedAs.empty())
        EXPECT_TRUE(readers.empty());
    else
        EXPECT_EQ(readers, (ReaderHardwareIdList{GetParam().listedAs}));
}

INSTANTIATE_TEST_SUITE_P(Devices, ReaderEnumerationSingle, ::testing::ValuesIn(kSingleDeviceCases),
                         [](const auto& info) { return std::string(info.param.name); });

using ReaderEnumeration = RepairTest;

TEST_F(ReaderEnumeration, NoReaderGivesAnEmptyList) {
    BuildReaderPrefixList();
    ReaderHardwareIdList readers;
    EXPECT_EQ(ListReadersWithInf(readers), 1);
    EXPECT_TRUE(readers.empty());
    EXPECT_EQ(sim::Journal(),
              (std::vector<std::string>{kClassDevs, EnumLine(0),
                                        "SetupDiDestroyDeviceInfoList(" + kSetHandle + ")"}));
}

TEST_F(ReaderEnumeration, ReadsBothPropertiesOfEveryDeviceBeforeTesting) {
    BuildReaderPrefixList();
    AddWatchedReader(kReaderA);
    sim::AddReader({kOtherVendor}, kVendorDriver);
    ReaderHardwareIdList readers;
    EXPECT_EQ(ListReadersWithInf(readers), 1);
    EXPECT_EQ(readers, (ReaderHardwareIdList{kReaderA}));
    EXPECT_EQ(sim::Journal(),
              (std::vector<std::string>{
                  kClassDevs, EnumLine(0), PropertyLine(1, "SPDRP_HARDWAREID"),
                  PropertyLine(1, "SPDRP_DEVICEDESC"), EnumLine(1),
                  PropertyLine(2, "SPDRP_HARDWAREID"), PropertyLine(2, "SPDRP_DEVICEDESC"),
                  EnumLine(2), "SetupDiDestroyDeviceInfoList(" + kSetHandle + ")"}));
}

TEST_F(ReaderEnumeration, FailedHardwareIdReadSkipsTheDescription) {
    BuildReaderPrefixList();
    AddWatchedReader(kReaderA);
    AddWatchedReader(kReaderB);
    sim::FailNext("SetupDiGetDeviceRegistryPropertyW", ERROR_INVALID_DATA);
    ReaderHardwareIdList readers;
    EXPECT_EQ(ListReadersWithInf(readers), 1);
    EXPECT_EQ(readers, (ReaderHardwareIdList{kReaderB}));
    EXPECT_EQ(sim::Journal(),
              (std::vector<std::string>{
                  kClassDevs, EnumLine(0), PropertyLine(1, "SPDRP_HARDWAREID"), EnumLine(1),
                  PropertyLine(2, "SPDRP_HARDWAREID"), PropertyLine(2, "SPDRP_DEVICEDESC"),
                  EnumLine(2), "SetupDiDestroyDeviceInfoList(" + kSetHandle + ")"}));
}

TEST_F(ReaderEnumeration, ReadersKeepEnumerationOrderAndDuplicates) {
    BuildReaderPrefixList();
    AddWatchedReader(kReaderC);
    AddWatchedReader(kReaderA);
    AddWatchedReader(kReaderB, kVendorDriver);
    AddWatchedReader(kReaderA);
    AddWatchedReader(kReaderD);
    ReaderHardwareIdList readers;
    EXPECT_EQ(ListReadersWithInf(readers), 1);
    EXPECT_EQ(readers, (ReaderHardwareIdList{kReaderC, kReaderA, kReaderA, kReaderD}));
}

TEST_F(ReaderEnumeration, EntryIsTheFirstIdAlone) {
    BuildReaderPrefixList();
    sim::AddReader({kReaderA, kReaderAModel, WSTR("USB\\Class_0B&SubClass_00")}, kUmdf2);
    ReaderHardwareIdList readers;
    ASSERT_EQ(ListReadersWithInf(readers), 1);
    ASSERT_EQ(readers.size(), 1u);
    EXPECT_EQ(readers[0], kReaderA);
    EXPECT_EQ(readers[0].find(u'\0'), WString::npos);
}

sim::Device WithDescriptionBytes(const WString& firstId, std::vector<std::uint8_t> bytes) {
    sim::Device d = Reader(sim::MultiSz({firstId}), WString());
    d.descriptionBytes = std::move(bytes);
    return d;
}

std::vector<std::uint8_t> OddSized(const WString& text, std::uint8_t lastByte) {
    std::vector<std::uint8_t> bytes = sim::WideBytes(text);
    bytes.push_back(lastByte);
    return bytes;
}

// A value without its terminator follows a longer value of the device before it.
struct FollowingDeviceCase {
    const char* name;
    sim::Device first;
    sim::Device second;
    ReaderHardwareIdList listed;
};

const WString kWideTail = WSTR("USB\\VID_F0C1&PID_12\u4E2D\u4E2D&REV_0100");
const WString kShortId = WSTR("USB\\VID_F0C2&PID_99");

const FollowingDeviceCase kFollowingDeviceCases[] = {
    {"UnterminatedHardwareId", Reader(sim::MultiSz({kReaderA, kReaderAModel}), kUmdf2),
     Reader(sim::WideBytes(kShortId), kUmdf2), ReaderHardwareIdList{kReaderA, kShortId}},
    {"UnterminatedDescriptionShorterThanUmdf2", ReaderADescribed(kUmdf2),
     WithDescriptionBytes(kReaderB, sim::WideBytes(WSTR("Microsoft Usbccid"))),
     ReaderHardwareIdList{kReaderA}},
    {"UnterminatedUmdf2Description", ReaderADescribed(kUmdf2 + WSTR(" (old)")),
     WithDescriptionBytes(kReaderB, sim::WideBytes(kUmdf2)), ReaderHardwareIdList{kReaderB}},
    // The half character is the device's own byte alone.
    {"OddSizedHardwareId", Reader(sim::MultiSz({kWideTail}), kUmdf2),
     Reader(OddSized(kShortId, 'A'), kUmdf2),
     ReaderHardwareIdList{kWideTail, kShortId + WSTR("A")}},
    {"EmptyHardwareIdValue", ReaderADescribed(kUmdf2), Reader({}, kUmdf2), {kReaderA}},
};

void PrintTo(const FollowingDeviceCase& c, std::ostream* out) {
    *out << c.name;
}

class ReaderEnumerationFollowing : public RepairTest,
                                   public ::testing::WithParamInterface<FollowingDeviceCase> {};

TEST_P(ReaderEnumerationFollowing, ValueTakesNothingFromThePreviousDevice) {
    BuildReaderPrefixList();
    sim::AddDevice(GetParam().first);
    sim::AddDevice(GetParam().second);
    ReaderHardwareIdList readers;
    ASSERT_EQ(ListReadersWithInf(readers), 1);
    EXPECT_EQ(readers, GetParam().listed);
    EXPECT_EQ(sim::JournalOf("SetupDiGetDeviceRegistryPropertyW").size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Devices, ReaderEnumerationFollowing,
                         ::testing::ValuesIn(kFollowingDeviceCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReaderEnumeration, OversizedValueDoesNotStopTheEnumeration) {
    BuildReaderPrefixList();
    sim::AddDevice(Reader(sim::WideBytes(kReaderB + WString(600, u'9')), kUmdf2));
    sim::AddDevice(Reader(sim::WideBytes(kReaderB + WString(512 - kReaderB.size(), u'9')), kUmdf2));
    AddWatchedReader(kReaderA);
    ReaderHardwareIdList readers;
    EXPECT_EQ(ListReadersWithInf(readers), 1);
    EXPECT_EQ(readers, (ReaderHardwareIdList{kReaderA}));
}

TEST_F(ReaderEnumeration, EnumerationFailingPartWayKeepsWhatWasFound) {
    BuildReaderPrefixList();
    AddWatchedReader(kReaderA);
    AddWatchedReader(kReaderB);
    AddWatchedReader(kReaderC);
    sim::FailNth("SetupDiEnumDeviceInfo", 3, ERROR_INVALID_HANDLE);
    ReaderHardwareIdList readers;
    EXPECT_EQ(ListReadersWithInf(readers), 1);
    EXPECT_EQ(readers, (ReaderHardwareIdList{kReaderA, kReaderB}));
    EXPECT_EQ(sim::JournalOf("SetupDiEnumDeviceInfo").size(), 3u);
    EXPECT_EQ(sim::JournalOps().back(), "SetupDiDestroyDeviceInfoList");
}

TEST_F(ReaderEnumeration, ListIsEmptiedFirst) {
    BuildReaderPrefixList();
    AddWatchedReader(kReaderB);
    ReaderHardwareIdList readers{WSTR("stale"), kReaderA};
    EXPECT_EQ(ListReadersWithInf(readers), 1);
    EXPECT_EQ(readers, (ReaderHardwareIdList{kReaderB}));
}

TEST_F(ReaderEnumeration, ListIsEmptiedAlsoWhenTheSetCannotBeCreated) {
    BuildReaderPrefixList();
    AddWatchedReader(kReaderB);
    sim::FailNext("SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY);
    ReaderHardwareIdList readers{WSTR("stale"), kReaderA};
    EXPECT_EQ(ListReadersWithInf(readers), 0);
    EXPECT_TRUE(readers.empty());
    EXPECT_EQ(sim::Journal(), (std::vector<std::string>{kClassDevs}));
}

TEST_F(ReaderEnumeration, EmptyPrefixListListsNothing) {
    AddWatchedReader(kReaderA);
    ReaderHardwareIdList readers;
    EXPECT_EQ(ListReadersWithInf(readers), 1);
    EXPECT_TRUE(readers.empty());
}

} // namespace
