// The simulated Windows must behave like Windows where the system relies on it.
#include "fixture.h"
#include "platform/sim/devices.h"

#include <cstring>
#include <thread>

namespace {

void Set(const WString& value) {
    sim::SetRegValue(kReadersKey, WSTR("Descriptions"), REG_SZ, sim::WideBytes(value));
}

TEST_F(SimTest, RegistryReportsMoreDataAndTheNeededSize) {
    sim::SetRegValue(kLogKey, WSTR("Enabled"), REG_QWORD, std::vector<std::uint8_t>(8, 1));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, WSTR("software\\corvane\\tessarine\\kvr\\log"), 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD value = 0, type = 0, size = 4;
    EXPECT_EQ(RegQueryValueExW(key, WSTR("Enabled"), nullptr, &type,
                               reinterpret_cast<LPBYTE>(&value), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, REG_QWORD);
    EXPECT_EQ(RegQueryValueExW(key, WSTR("Other"), nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

// One change signals a registration once; closing its key, or the end of its thread unless it
// is thread agnostic, signals it too; a key's deletion reaches only its parent's registrations.
TEST_F(SimTest, RegistryChangeNotificationsAsDocumented) {
    enum Act { SetValue, SetAgain, AddSubkey, DeleteKey, CloseKey, EndThread };
    const DWORD kName = REG_NOTIFY_CHANGE_NAME, kSet = REG_NOTIFY_CHANGE_LAST_SET;
    const struct {
        DWORD filter;
        Act act;
        bool own, parents;
    } rows[] = {{kSet, SetValue, true, false},
                {kName, SetValue, false, false},
                {kSet, SetAgain, false, false},
                {kName, AddSubkey, true, false},
                {kName | kSet, DeleteKey, false, true},
                {kSet, CloseKey, true, false},
                {kSet, EndThread, true, false},
                {kSet | REG_NOTIFY_THREAD_AGNOSTIC, EndThread, false, false}};
    for (const auto& row : rows) {
        SetUp();
        HKEY keys[2] = {};
        HANDLE events[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr),
                            CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        sim::CreateRegKey(kReadersKey);
        for (int i : {0, 1})
            RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                          i == 0 ? kReadersKey : WSTR("SOFTWARE\\Corvane\\Tessarine\\KVR"), 0,
                          KEY_NOTIFY, &keys[i]);
        auto watch = [&] { RegNotifyChangeKeyValue(keys[0], FALSE, row.filter, events[0], TRUE); };
        row.act == EndThread ? std::thread(watch).join() : watch();
        RegNotifyChangeKeyValue(keys[1], FALSE, kName, events[1], TRUE);
        if (row.act == SetValue || row.act == SetAgain)
            Set(WSTR("A"));
        if (row.act == SetAgain)
            ResetEvent(events[0]), Set(WSTR("B"));
        if (row.act == AddSubkey || row.act == DeleteKey)
            row.act == AddSubkey ? sim::CreateRegKey(WString(kReadersKey) + WSTR("\\S"))
                                 : sim::DeleteRegTree(kReadersKey);
        if (row.act == CloseKey)
            RegCloseKey(keys[0]);
        EXPECT_EQ(sim::EventSignalled(events[0]), row.own) << row.act;
        EXPECT_EQ(sim::EventSignalled(events[1]), row.parents) << row.act;
    }
}

TEST_F(SimTest, WindowsDirectoryReportsTheNeededSizeWhenTooLong) {
    WCHAR buffer[MAX_PATH];
    EXPECT_EQ(GetWindowsDirectoryW(buffer, MAX_PATH), 10u);
    EXPECT_EQ(WString(buffer), WSTR("C:\\Windows"));
    EXPECT_EQ(GetWindowsDirectoryW(buffer, 10), 11u);
}

TEST_F(SimTest, FaultHitsOnlyTheNthCall) {
    sim::FailNth("GetSystemDirectoryW", 2, ERROR_ACCESS_DENIED);
    WCHAR buffer[MAX_PATH];
    EXPECT_NE(GetSystemDirectoryW(buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetSystemDirectoryW(buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_NE(GetSystemDirectoryW(buffer, MAX_PATH), 0u);
}

TEST_F(SimTest, SearchMatchesWildcardsAndFollowsTheChosenOrder) {
    const WString dir = WSTR("C:\\Store");
    for (const char* name : {"b.inf_1", "a.inf_2", "c.inf_3", "a.txt"})
        sim::MakeDir(dir + WSTR("\\") + Utf8ToUtf16(name));
    sim::SetSearchOrder(dir, {WSTR("c.inf_3")});
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((dir + WSTR("\\?.INF*")).c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::vector<std::string> names = {Utf16ToUtf8(data.cFileName)};
    while (FindNextFileW(search, &data))
        names.push_back(Utf16ToUtf8(data.cFileName));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_EQ(names, (std::vector<std::string>{"c.inf_3", "a.inf_2", "b.inf_1"}));
    EXPECT_TRUE(FindClose(search));
    EXPECT_EQ(sim::OpenSearches(), 0u);
    EXPECT_EQ(FindFirstFileW(WSTR("C:\\Store\\none*"), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SimTest, SleepAdvancesTheClockAndWraps) {
    sim::SetTicks(0xFFFFFF00u);
    Sleep(0x200);
    EXPECT_EQ(GetTickCount(), 0x100u);
}

TEST_F(SimTest, CommandWordsCompareWithoutCase) {
    EXPECT_EQ(lstrcmpiW(WSTR("InStAlL"), WSTR("install")), 0);
    EXPECT_NE(lstrcmpiW(WSTR("install "), WSTR("install")), 0);
    EXPECT_LT(lstrcmpiW(WSTR("a"), WSTR("B")), 0);
}

} // namespace
