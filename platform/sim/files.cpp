#include "internal.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Search {
    std::vector<std::pair<WString, bool>> entries; // name, is a folder
    std::size_t next = 0;
};

struct Files {
    WString windowsDirectory = WSTR("C:\\Windows");
    WString systemDirectory = WSTR("C:\\Windows\\System32");
    UINT systemDirectoryRequired = 0;
    std::map<WString, std::string> security; // upper-cased path -> descriptor string
    std::map<WString, std::vector<WString>> searchOrder;
    sim::detail::HandleTable<Search> searches{0x2000};
};

Files theFiles;

using namespace sim::detail;

std::string HostOrEmpty(LPCWSTR path) {
    std::string host;
    if (path == nullptr || !ToHost(path, &host))
        return "";
    return host;
}

UINT CopyDirectory(const WString& dir, LPWSTR buffer, UINT size) {
    auto needed = static_cast<UINT>(dir.size() + 1);
    if (buffer == nullptr || size < needed)
        return needed;
    std::copy(dir.begin(), dir.end(), buffer);
    buffer[dir.size()] = 0;
    return static_cast<UINT>(dir.size());
}

// Windows wildcard match: * any run, ? any one character, letters without regard to case.
bool Matches(const WString& pattern, const WString& name) {
    std::size_t p = 0, n = 0, starP = WString::npos, starN = 0;
    auto fold = FoldAscii;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == u'?' || fold(pattern[p]) == fold(name[n]))) {
            ++p;
            ++n;
        } else if (starP != WString::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

void Fill(const std::pair<WString, bool>& entry, LPWIN32_FIND_DATAW data) {
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = entry.second ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    std::size_t n = std::min<std::size_t>(entry.first.size(), MAX_PATH - 1);
    std::copy(entry.first.begin(), entry.first.begin() + static_cast<std::ptrdiff_t>(n),
              data->cFileName);
}

} // namespace

void sim::detail::ResetFiles() {
    theFiles = Files{};
    ResetFileHandles();
}

void sim::MakeDir(const WString& path) {
    fs::create_directories(HostPath(path));
}

void sim::MakeFile(const WString& path, const std::string& content) {
    std::string host = HostPath(path);
    fs::create_directories(fs::path(host).parent_path());
    std::ofstream(host, std::ios::binary) << content;
}

bool sim::Exists(const WString& path) {
    return fs::exists(HostPath(path));
}

std::string sim::ReadFile(const WString& path) {
    std::ifstream in(HostPath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void sim::RemoveAll(const WString& path) {
    fs::remove_all(HostPath(path));
}

void sim::SetSearchOrder(const WString& dir, const std::vector<WString>& names) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theFiles.searchOrder[Upper(dir)] = names;
}

std::size_t sim::OpenSearches() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theFiles.searches.Size();
}

void sim::SetWindowsDirectory(const WString& dir) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theFiles.windowsDirectory = dir;
}

void sim::SetSystemDirectory(const WString& dir) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theFiles.systemDirectory = dir;
}

void sim::SetSystemDirectoryRequiredSize(UINT size) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theFiles.systemDirectoryRequired = size;
}

std::string sim::DirectorySecurity(const WString& path) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    auto it = theFiles.security.find(Upper(path));
    return it == theFiles.security.end() ? "(not created)" : it->second;
}

UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size) {
    if (Faulted("GetWindowsDirectoryW", Out(buffer, "&buffer"), size))
        return 0;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return CopyDirectory(theFiles.windowsDirectory, buffer, size);
}

UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
    if (Faulted("GetSystemDirectoryW", Out(buffer, "&buffer"), size))
        return 0;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Files& f = theFiles;
    if (f.systemDirectoryRequired != 0)
        return f.systemDirectoryRequired;
    return CopyDirectory(f.systemDirectory, buffer, size);
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
    std::string security = "NULL";
    if (attributes != nullptr) {
        security = "{" + std::to_string(attributes->nLength) + ", ";
        security += attributes->lpSecurityDescriptor == nullptr
                        ? "NULL"
                        : "descriptor \"" + DescriptorSddl(attributes->lpSecurityDescriptor) + "\"";
        security += ", " + std::to_string(attributes->bInheritHandle) + "}";
    }
    if (Faulted("CreateDirectoryW", Quote(path), security))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    std::string host = HostOrEmpty(path);
    if (host.empty())
        return Fail(ERROR_PATH_NOT_FOUND);
    if (fs::exists(host))
        return Fail(ERROR_ALREADY_EXISTS);
    if (mkdir(host.c_str(), 0777) != 0)
        return Fail(ERROR_PATH_NOT_FOUND);
    const void* descriptor = attributes == nullptr ? nullptr : attributes->lpSecurityDescriptor;
    theFiles.security[Upper(path)] = DescriptorSddl(descriptor);
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
    if (Faulted("GetFileAttributesW", Quote(path)))
        return INVALID_FILE_ATTRIBUTES;
    std::string host = HostOrEmpty(path);
    struct stat st {};
    if (host.empty() || stat(host.c_str(), &st) != 0)
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    if (Faulted("FindFirstFileW", Quote(pattern), Out(data, "&data")))
        return INVALID_HANDLE_VALUE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    WString full = pattern == nullptr ? WString() : WString(pattern);
    std::size_t slash = full.rfind(u'\\');
    std::string host = HostOrEmpty(full.c_str());
    if (host.empty() || slash == WString::npos || data == nullptr)
        return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    WString dir = full.substr(0, slash);
    WString namePattern = full.substr(slash + 1);
    std::error_code error;
    fs::directory_iterator it(HostOrEmpty(dir.c_str()), error);
    if (error)
        return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    std::vector<std::pair<WString, bool>> found;
    for (const auto& entry : it) {
        WString name = Utf8ToUtf16(entry.path().filename().string());
        if (Matches(namePattern, name))
            found.emplace_back(name, entry.is_directory());
    }
    std::sort(found.begin(), found.end());
    // The test's order comes first, then the rest by name.
    Search search;
    for (const WString& name : theFiles.searchOrder[Upper(dir)]) {
        auto hit = std::find_if(found.begin(), found.end(),
                                [&](const auto& e) { return e.first == name; });
        if (hit != found.end()) {
            search.entries.push_back(*hit);
            found.erase(hit);
        }
    }
    search.entries.insert(search.entries.end(), found.begin(), found.end());
    if (search.entries.empty())
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    Fill(search.entries[0], data);
    search.next = 1;
    return theFiles.searches.Add(std::move(search));
}

BOOL FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW data) {
    if (Faulted("FindNextFileW", Ptr(handle), Out(data, "&data")))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Search* s = theFiles.searches.Find(handle);
    if (s == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (s->next >= s->entries.size())
        return Fail(ERROR_NO_MORE_FILES);
    Fill(s->entries[s->next++], data);
    return TRUE;
}

BOOL FindClose(HANDLE handle) {
    if (Faulted("FindClose", Ptr(handle)))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theFiles.searches.Close(handle) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}
