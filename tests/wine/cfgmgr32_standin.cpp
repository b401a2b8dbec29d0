// Test-only stand-in for the two Plug and Play notification calls that Wine 8 lacks, and for
// the device node status that the check program reads and Wine 8 leaves unimplemented. It
// never ships: the Wine tests load it through a per-application DLL override.
//
// The tests drive it through a folder of the prefix for each program that loads it,
// C:\standin\<program>\ (the executable's file name in lower case, ruverodazaroda.exe):
// - register_result: when present, registration fails with the decimal CONFIGRET it holds;
// - events\*.evt: each file, moved in whole from the host side, is one batch of device
//   events, a line "<action> <instance ID>" each; the lines of a batch are handed to the
//   callback at the same moment, each on a thread of its own, files in name order. A line
//   "bind <instance ID> <description>" is Windows installing the inbox driver on a reader
//   that it announced before: once the callbacks of the lines above it have returned, it
//   writes the reader's setup class and description, and only then are the lines below it
//   handed over;
// - journal.txt: what the stand-in was given and did, one line per call and callback.
//
// Events arrive by a directory change notification, not by polling, so that a service
// with nothing to do costs no CPU time.
#include "platform_api.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The folders and files of this program, set once by Initialise.
std::wstring controlFolder;
std::wstring eventFolder;
std::wstring eventPattern;
std::wstring registerResult;
std::wstring journalPath;

struct Registration {
    PCM_NOTIFY_CALLBACK callback;
    PVOID context;
    HANDLE change;
    HANDLE stop;
    HANDLE watcher;
    CRITICAL_SECTION lock;
    LONG running;
    HANDLE idle; // set while no callback runs
    bool closed;
};

struct Batch {
    HANDLE go;
    LONG threadsLeft;
};

struct Delivery {
    Registration* registration;
    Batch* batch;
    CM_NOTIFY_ACTION action;
    std::wstring instanceId;
};

CRITICAL_SECTION journalLock;
LARGE_INTEGER ticksPerSecond;

BOOL WINAPI InitOnce(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&journalLock);
    QueryPerformanceFrequency(&ticksPerSecond);
    WCHAR path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring program = path;
    program = program.substr(program.find_last_of(L'\\') + 1);
    for (WCHAR& c : program)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<WCHAR>(c - L'A' + L'a');
    CreateDirectoryW(L"C:\\standin", nullptr);
    controlFolder = L"C:\\standin\\" + program;
    eventFolder = controlFolder + L"\\events";
    eventPattern = eventFolder + L"\\*.evt";
    registerResult = controlFolder + L"\\register_result";
    journalPath = controlFolder + L"\\journal.txt";
    return TRUE;
}

INIT_ONCE initialised = INIT_ONCE_STATIC_INIT;

void Initialise() {
    InitOnceExecuteOnce(&initialised, InitOnce, nullptr, nullptr);
}

long long NowMicroseconds() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<long long>(now.QuadPart / ticksPerSecond.QuadPart * 1000000 +
                                  now.QuadPart % ticksPerSecond.QuadPart * 1000000 /
                                      ticksPerSecond.QuadPart);
}

// Whole lines, appended under one lock so that concurrent callbacks never split a line.
void Journal(const std::string& line) {
    EnterCriticalSection(&journalLock);
    HANDLE file = CreateFileW(journalPath.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        std::string text = line + "\n";
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }
    LeaveCriticalSection(&journalLock);
}

std::string Narrow(const std::wstring& wide) {
    std::string narrow;
    for (WCHAR c : wide)
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    return narrow;
}

std::string Format(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

std::string ReadWholeFile(const WCHAR* path) {
    std::string text;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
        text.append(buffer, read);
    CloseHandle(file);
    return text;
}

// The callback is entered only while the registration is open, and its end is counted so
// that unregistration can wait for it.
bool EnterCallback(Registration* registration) {
    EnterCriticalSection(&registration->lock);
    bool open = !registration->closed;
    if (open && registration->running++ == 0)
        ResetEvent(registration->idle);
    LeaveCriticalSection(&registration->lock);
    return open;
}

void LeaveCallback(Registration* registration) {
    EnterCriticalSection(&registration->lock);
    if (--registration->running == 0)
        SetEvent(registration->idle);
    LeaveCriticalSection(&registration->lock);
}

DWORD WINAPI DeliverOne(LPVOID parameter) {
    Delivery* delivery = static_cast<Delivery*>(parameter);
    Registration* registration = delivery->registration;
    WaitForSingleObject(delivery->batch->go, INFINITE);
    if (InterlockedDecrement(&delivery->batch->threadsLeft) == 0) {
        CloseHandle(delivery->batch->go);
        delete delivery->batch;
    }

    if (EnterCallback(registration)) {
        // The platform counts the instance ID and its terminator in the event data size.
        const std::size_t idOffset = offsetof(CM_NOTIFY_EVENT_DATA, u);
        const DWORD size =
            static_cast<DWORD>(idOffset + (delivery->instanceId.size() + 1) * sizeof(WCHAR));
        std::vector<unsigned char> storage(size + sizeof(CM_NOTIFY_EVENT_DATA), 0);
        auto* data = reinterpret_cast<PCM_NOTIFY_EVENT_DATA>(storage.data());
        data->FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE;
        std::memcpy(data->u.DeviceInstance.InstanceId, delivery->instanceId.c_str(),
                    (delivery->instanceId.size() + 1) * sizeof(WCHAR));

        long long handed = NowMicroseconds();
        DWORD result = registration->callback(reinterpret_cast<HCMNOTIFICATION>(registration),
                                              registration->context, delivery->action, data, size);
        long long returned = NowMicroseconds();
        Journal(Format("callback action=%d id=%s size=%lu result=%lu handed_us=%lld "
                       "returned_us=%lld",
                       static_cast<int>(delivery->action), Narrow(delivery->instanceId).c_str(),
                       size, result, handed, returned));
        LeaveCallback(registration);
    }
    delete delivery;
    return 0;
}

// Hands the deliveries over at the same moment; with wait, returns when their callbacks have.
void StartStage(std::vector<Delivery*>& deliveries, bool wait) {
    if (deliveries.empty())
        return;
    auto* batch = new Batch{CreateEventW(nullptr, TRUE, FALSE, nullptr),
                            static_cast<LONG>(deliveries.size())};
    std::vector<HANDLE> threads;
    for (Delivery* delivery : deliveries) {
        delivery->batch = batch;
        HANDLE thread = CreateThread(nullptr, 0, DeliverOne, delivery, 0, nullptr);
        if (thread != nullptr)
            threads.push_back(thread);
    }
    deliveries.clear();
    // Every thread of the batch exists before any of them runs its callback.
    SetEvent(batch->go);
    for (HANDLE thread : threads) {
        if (wait)
            WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

// What the installation of a driver writes on the device node of the reader.
void Bind(const std::wstring& instanceId, const std::wstring& description) {
    const std::wstring key = L"System\\CurrentControlSet\\Enum\\" + instanceId;
    const std::wstring readerClass = L"{50dd5230-ba8a-11d1-bf5d-0000f805f530}";
    LONG classResult =
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ClassGUID", REG_SZ, readerClass.c_str(),
                        static_cast<DWORD>((readerClass.size() + 1) * sizeof(WCHAR)));
    LONG descriptionResult =
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"DeviceDesc", REG_SZ, description.c_str(),
                        static_cast<DWORD>((description.size() + 1) * sizeof(WCHAR)));
    Journal(Format("bind id=%s results=%ld,%ld", Narrow(instanceId).c_str(), classResult,
                   descriptionResult));
}

std::wstring Widen(const std::string& text) {
    std::wstring wide;
    for (char c : text)
        wide += static_cast<unsigned char>(c);
    return wide;
}

void DeliverBatch(Registration* registration, const std::string& text) {
    std::vector<Delivery*> stage;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::size_t space = line.find(' ');
        if (space == std::string::npos)
            continue;
        if (line.compare(0, space, "bind") == 0) {
            std::size_t idEnd = line.find(' ', space + 1);
            if (idEnd == std::string::npos)
                continue;
            StartStage(stage, true);
            Bind(Widen(line.substr(space + 1, idEnd - space - 1)), Widen(line.substr(idEnd + 1)));
            continue;
        }
        stage.push_back(new Delivery{registration, nullptr,
                                     static_cast<CM_NOTIFY_ACTION>(atoi(line.c_str())),
                                     Widen(line.substr(space + 1))});
    }
    StartStage(stage, false);
}

void DeliverPendingBatches(Registration* registration) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(eventPattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            names.push_back(entry.cFileName);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    std::sort(names.begin(), names.end());
    for (const std::wstring& name : names) {
        std::wstring path = eventFolder + L"\\" + name;
        std::string text = ReadWholeFile(path.c_str());
        if (!DeleteFileW(path.c_str()))
            continue; // handed out already
        DeliverBatch(registration, text);
    }
}

DWORD WINAPI Watch(LPVOID parameter) {
    Registration* registration = static_cast<Registration*>(parameter);
    DeliverPendingBatches(registration);
    HANDLE waits[2] = {registration->stop, registration->change};
    // Re-armed before the folder is read: a file that arrives during the read signals the
    // next round instead of waiting for one that may never come.
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        if (!FindNextChangeNotification(registration->change))
            break;
        DeliverPendingBatches(registration);
    }
    return 0;
}

std::string FilterText(PCM_NOTIFY_FILTER filter) {
    if (filter == nullptr)
        return "filter=null";
    bool instanceIdZero = true;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&filter->u);
    for (std::size_t i = 0; i < sizeof filter->u; ++i)
        instanceIdZero = instanceIdZero && bytes[i] == 0;
    return Format("cbSize=%lu Flags=%lu FilterType=%d Reserved=%lu union=%s", filter->cbSize,
                  filter->Flags, static_cast<int>(filter->FilterType), filter->Reserved,
                  instanceIdZero ? "zero" : "set");
}

} // namespace

extern "C" CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                                     PCM_NOTIFY_CALLBACK callback,
                                                     PHCMNOTIFICATION notify) {
    Initialise();
    CreateDirectoryW(controlFolder.c_str(), nullptr);
    CreateDirectoryW(eventFolder.c_str(), nullptr);
    const std::string given = FilterText(filter);

    CONFIGRET result = CR_SUCCESS;
    std::string told = ReadWholeFile(registerResult.c_str());
    if (!told.empty())
        result = static_cast<CONFIGRET>(strtoul(told.c_str(), nullptr, 10));
    else if (filter == nullptr || callback == nullptr || notify == nullptr ||
             filter->cbSize != sizeof(CM_NOTIFY_FILTER))
        result = CR_INVALID_DATA;
    if (result != CR_SUCCESS) {
        Journal("CM_Register_Notification " + given + Format(" -> %lu", result));
        return result;
    }

    auto* registration = new Registration{};
    registration->callback = callback;
    registration->context = context;
    InitializeCriticalSection(&registration->lock);
    registration->idle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    registration->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    registration->change =
        FindFirstChangeNotificationW(eventFolder.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    if (registration->change == INVALID_HANDLE_VALUE) {
        Journal("CM_Register_Notification " + given + Format(" -> %lu", CR_FAILURE));
        return CR_FAILURE;
    }
    registration->watcher = CreateThread(nullptr, 0, Watch, registration, 0, nullptr);
    *notify = reinterpret_cast<HCMNOTIFICATION>(registration);
    Journal("CM_Register_Notification " + given +
            Format(" -> 0 handle=0x%016llX", static_cast<unsigned long long>(
                                                 reinterpret_cast<std::uintptr_t>(registration))));
    return CR_SUCCESS;
}

extern "C" CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION notify) {
    Initialise();
    if (notify == nullptr)
        return CR_INVALID_POINTER;
    Registration* registration = reinterpret_cast<Registration*>(notify);
    // No callback starts after this; the ones already running are waited for. The record
    // itself stays, since a thread of a batch may still look at it on its way out.
    EnterCriticalSection(&registration->lock);
    registration->closed = true;
    LeaveCriticalSection(&registration->lock);
    SetEvent(registration->stop);
    WaitForSingleObject(registration->watcher, INFINITE);
    WaitForSingleObject(registration->idle, INFINITE);
    FindCloseChangeNotification(registration->change);
    Journal(
        Format("CM_Unregister_Notification handle=0x%016llX -> 0",
               static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(registration))));
    return CR_SUCCESS;
}

// Wine keeps no device node status: every node counts as started on its driver, with no
// problem. A node that waits for a restart is not something Wine can show.
extern "C" CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devInst,
                                                  ULONG flags) {
    if (status == nullptr || problem == nullptr)
        return CR_INVALID_POINTER;
    if (flags != 0)
        return CR_INVALID_FLAG;
    if (devInst == 0)
        return CR_INVALID_DEVNODE;
    *status = DN_DRIVER_LOADED | DN_STARTED;
    *problem = 0;
    return CR_SUCCESS;
}
