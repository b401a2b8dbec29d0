#include "fixture.h"

namespace {

const WCHAR kFile[] = WSTR("C:\\Windows\\Temp\\t.txt");
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kAsItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

HANDLE Open(const WString& path, DWORD access, DWORD disposition, DWORD flags = 0) {
    return CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition, flags, nullptr);
}

std::string FinalPathOf(HANDLE handle) {
    WCHAR buffer[MAX_PATH];
    DWORD length = GetFinalPathNameByHandleW(handle, buffer, MAX_PATH, VOLUME_NAME_NT);
    return length == 0 || length >= MAX_PATH ? "(none)" : Utf16ToUtf8(buffer, length);
}

TEST_F(SimTest, FileHandlesFollowWindowsConventions) {
    EXPECT_EQ(Open(kFile, FILE_READ_ATTRIBUTES, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Open(WSTR("C:\\Windows\\Temp"), FILE_READ_ATTRIBUTES, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    HANDLE append = Open(kFile, FILE_APPEND_DATA, OPEN_ALWAYS);
    ASSERT_NE(append, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE read = Open(kFile, FILE_READ_DATA, OPEN_ALWAYS);
    ASSERT_NE(read, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(append, "abc", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    EXPECT_FALSE(WriteFile(read, "X", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(sim::ReadFile(kFile), "abc");

    // With the terminator.
    EXPECT_EQ(GetFinalPathNameByHandleW(append, nullptr, 0, VOLUME_NAME_NT), 43u);
    EXPECT_EQ(FinalPathOf(append), R"(\Device\HarddiskVolume3\Windows\Temp\t.txt)");
    EXPECT_EQ(sim::OpenFileHandles(), 2u);
    EXPECT_TRUE(CloseHandle(append));
    EXPECT_TRUE(CloseHandle(read));
    EXPECT_FALSE(CloseHandle(append));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WriteFile(append, "h", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(sim::OpenFileHandles(), 0u);
}

const WCHAR kLink[] = WSTR("C:\\Windows\\link");
const WCHAR kData[] = WSTR("C:\\Data");
const WCHAR kDataFile[] = WSTR("C:\\Data\\file.txt");
const DWORD kReparse = FILE_ATTRIBUTE_REPARSE_POINT;

// What GetFileInformationByHandle and GetFinalPathNameByHandleW report for each kind of link.
struct LinkCase {
    const char* name;
    void (*make)(const WString& link, const WString& target);
    const WCHAR* target;
    DWORD flags;
    DWORD attributes;
    DWORD links;
    const char* finalPath;
};

void PrintTo(const LinkCase& c, std::ostream* out) {
    *out << c.name;
}

class SimLinkTest : public SimTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(SimLinkTest, ReportsTheLinkAsWindowsDoes) {
    sim::MakeFile(kDataFile, "x");
    GetParam().make(kLink, GetParam().target);
    HANDLE handle = Open(kLink, FILE_READ_ATTRIBUTES, OPEN_EXISTING, GetParam().flags);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info{};
    ASSERT_TRUE(GetFileInformationByHandle(handle, &info));
    EXPECT_EQ(info.dwFileAttributes, GetParam().attributes);
    EXPECT_EQ(info.nNumberOfLinks, GetParam().links);
    EXPECT_EQ(FinalPathOf(handle), GetParam().finalPath);
    EXPECT_TRUE(CloseHandle(handle));
}

const LinkCase kLinkCases[] = {
    {"HardLink", sim::MakeHardLink, kDataFile, kAsItself, FILE_ATTRIBUTE_ARCHIVE, 2,
     R"(\Device\HarddiskVolume3\Windows\link)"},
    {"SymlinkAsItself", sim::MakeSymlink, kDataFile, kAsItself, kReparse | FILE_ATTRIBUTE_ARCHIVE,
     1, R"(\Device\HarddiskVolume3\Windows\link)"},
    {"SymlinkFollowed", sim::MakeSymlink, kDataFile, 0, FILE_ATTRIBUTE_ARCHIVE, 1,
     R"(\Device\HarddiskVolume3\Data\file.txt)"},
    {"JunctionAsItself", sim::MakeJunction, kData, kAsItself, kReparse | FILE_ATTRIBUTE_DIRECTORY,
     1, R"(\Device\HarddiskVolume3\Windows\link)"},
    {"JunctionFollowed", sim::MakeJunction, kData, FILE_FLAG_BACKUP_SEMANTICS,
     FILE_ATTRIBUTE_DIRECTORY, 1, R"(\Device\HarddiskVolume3\Data)"},
};

INSTANTIATE_TEST_SUITE_P(Kinds, SimLinkTest, ::testing::ValuesIn(kLinkCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
