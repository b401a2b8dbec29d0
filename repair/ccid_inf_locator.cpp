#include "ccid_inf_locator.h"

namespace {

const WCHAR kSearchSuffix[] = WSTR("\\DriverStore\\FileRepository\\wudfusbcciddriver.inf*");
const WCHAR kFolderPiece[] = WSTR("\\DriverStore\\FileRepository\\");
const WCHAR kFilePiece[] = WSTR("\\wudfusbcciddriver.inf");

constexpr std::size_t Characters(std::size_t bytes) {
    return bytes / sizeof(WCHAR) - 1;
}
static_assert(Characters(sizeof kSearchSuffix) == 50, "search suffix");
static_assert(Characters(sizeof kFolderPiece) == 28, "folder piece");
static_assert(Characters(sizeof kFilePiece) == 22, "file piece");

} // namespace

int FindCcidInfPath(WString& infPath) {
    WCHAR systemDirectory[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    if (length == 0)
        return 0;
    // A longer system directory is reported as the size it needs and was never written.
    if (length >= MAX_PATH)
        return 0;

    WString pattern(systemDirectory, length);
    pattern += kSearchSuffix;

    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return 0;

    // One candidate string for every folder: only the folder name and the file piece
    // change, so a store of thousands of packages costs no allocation per folder.
    WString candidate(systemDirectory, length);
    candidate += kFolderPiece;
    const std::size_t folderStart = candidate.size();
    candidate.reserve(folderStart + MAX_PATH + Characters(sizeof kFilePiece));
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            continue;
        candidate.resize(folderStart);
        candidate.append(entry.cFileName, BoundedWideLength(entry.cFileName, MAX_PATH));
        candidate += kFilePiece;
        if (GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES) {
            FindClose(search);
            infPath = candidate;
            return 1;
        }
    } while (FindNextFileW(search, &entry) != 0);
    FindClose(search);
    return 0;
}
