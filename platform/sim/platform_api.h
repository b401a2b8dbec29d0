// The Windows operations the system calls, declared under their Windows names and
// signatures for the simulated Windows. Sizes and values match 64-bit Windows so that
// the code under test passes exactly what it would pass there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#define WINAPI
#define CALLBACK
#define WSTR(s) u##s

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using DWORD = std::uint32_t;
using BOOL = int;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using UINT = unsigned int;
using LONG_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using DWORD64 = std::uint64_t;
using WCHAR = char16_t;
using CHAR = char;
using LPVOID = void*;
using PVOID = void*;
using LPCVOID = const void*;
using LPBYTE = BYTE*;
using PBYTE = BYTE*;
using LPDWORD = DWORD*;
using PDWORD = DWORD*;
using PULONG = ULONG*;
using PBOOL = BOOL*;
using LPWSTR = WCHAR*;
using PWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using PCWSTR = const WCHAR*;
using LPSTR = char*;
using LPCSTR = const char*;
using HANDLE = void*;
using HLOCAL = void*;
using HWND = struct HWND__*;
using HMODULE = struct HMODULE__*;
using HKEY = struct HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;
using PSECURITY_DESCRIPTOR = void*;
using HDEVINFO = void*;
using CONFIGRET = DWORD;
using errno_t = int;
using NTSTATUS = LONG;
using ACCESS_MASK = DWORD;
using PHANDLE = HANDLE*;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))

// Error codes.
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_LEVEL 124L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_INVALID_SERVICE_CONTROL 1052L
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061L
#define ERROR_SERVICE_NOT_ACTIVE 1062L
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063L
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072L
#define ERROR_SERVICE_EXISTS 1073L
#define ERROR_SERVICE_NOT_IN_EXE 1083L
#define ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION 1308L
#define ERROR_INVALID_USER_BUFFER 1784L
#define ERROR_INVALID_ADDRESS 487L
#define ERROR_NO_SUCH_DEVINST 0xE000020Bu
#define ERROR_NO_DRIVER_SELECTED 0xE0000203u
#define ERROR_KEY_DOES_NOT_EXIST 0xE0000204u
#define ERROR_KEY_DELETED 1018L

// Registry.
#define KEY_READ 0x00020019u
#define KEY_NOTIFY 0x00000010u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u
#define REG_NOTIFY_CHANGE_NAME 0x00000001u
#define REG_NOTIFY_CHANGE_ATTRIBUTES 0x00000002u
#define REG_NOTIFY_CHANGE_LAST_SET 0x00000004u
#define REG_NOTIFY_CHANGE_SECURITY 0x00000008u
#define REG_NOTIFY_THREAD_AGNOSTIC 0x10000000u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

// Files.
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u

#define DELETE 0x00010000u
#define SYNCHRONIZE 0x00100000u
#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u
#define FILE_READ_ATTRIBUTES 0x0080u
#define FILE_WRITE_ATTRIBUTES 0x0100u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#define FILE_NAME_NORMALIZED 0x0u
#define VOLUME_NAME_NT 0x2u

// The native file system interface (ntdll).
#define NT_SUCCESS(status) (static_cast<NTSTATUS>(status) >= 0)
#define STATUS_SUCCESS static_cast<NTSTATUS>(0x00000000)
#define STATUS_OPLOCK_BREAK_IN_PROGRESS static_cast<NTSTATUS>(0x00000108)
#define STATUS_INVALID_HANDLE static_cast<NTSTATUS>(0xC0000008)
#define STATUS_INVALID_PARAMETER static_cast<NTSTATUS>(0xC000000D)
#define STATUS_ACCESS_DENIED static_cast<NTSTATUS>(0xC0000022)
#define STATUS_OBJECT_NAME_INVALID static_cast<NTSTATUS>(0xC0000033)
#define STATUS_OBJECT_NAME_NOT_FOUND static_cast<NTSTATUS>(0xC0000034)
#define STATUS_OBJECT_NAME_COLLISION static_cast<NTSTATUS>(0xC0000035)
#define STATUS_OBJECT_PATH_NOT_FOUND static_cast<NTSTATUS>(0xC000003A)
#define STATUS_FILE_IS_A_DIRECTORY static_cast<NTSTATUS>(0xC00000BA)

#define OBJ_CASE_INSENSITIVE 0x00000040u
#define FILE_SUPERSEDE 0u
#define FILE_OPEN 1u
#define FILE_CREATE 2u
#define FILE_OPEN_IF 3u
#define FILE_OVERWRITE 4u
#define FILE_OVERWRITE_IF 5u
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020u
#define FILE_NON_DIRECTORY_FILE 0x00000040u
#define FILE_COMPLETE_IF_OPLOCKED 0x00000100u
#define FILE_OPEN_REPARSE_POINT 0x00200000u
// What the open did, in the status block's Information.
#define FILE_SUPERSEDED 0u
#define FILE_OPENED 1u
#define FILE_CREATED 2u
#define FILE_OVERWRITTEN 3u

// Security descriptors.
#define SDDL_REVISION_1 1u

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using PSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using PFILETIME = FILETIME*;

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;

struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
};
using LPBY_HANDLE_FILE_INFORMATION = BY_HANDLE_FILE_INFORMATION*;

struct UNICODE_STRING {
    USHORT Length;        // in bytes, without a terminator
    USHORT MaximumLength; // in bytes
    PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;

struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

union LARGE_INTEGER {
    std::int64_t QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

// Only ever passed as null by the system.
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i])
            return false;
    }
    return true;
}

// Smart card reader setup class {50DD5230-BA8A-11D1-BF5D-0000F805F530}.
extern const GUID GUID_DEVCLASS_SMARTCARDREADER;

// Device setup.
#define DIGCF_PRESENT 0x00000002u
#define SPDRP_DEVICEDESC 0x00000000u
#define SPDRP_HARDWAREID 0x00000001u
#define INSTALLFLAG_FORCE 0x00000001u
#define INSTALLFLAG_NONINTERACTIVE 0x00000004u

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;

// A device's driver key and the INF files in the system's INF folder.
#define DIGCF_ALLCLASSES 0x00000004u
#define DICS_FLAG_GLOBAL 0x00000001u
#define DIREG_DRV 0x00000002u
#define INFINFO_DEFAULT_SEARCH 3u
#define INF_STYLE_WIN4 0x00000002u

struct SP_INF_INFORMATION {
    DWORD InfStyle;
    DWORD InfCount;
    BYTE VersionData[1];
};
using PSP_INF_INFORMATION = SP_INF_INFORMATION*;

struct SP_ALTPLATFORM_INFO;
using PSP_ALTPLATFORM_INFO = SP_ALTPLATFORM_INFO*;

struct SP_ORIGINAL_FILE_INFO_W {
    DWORD cbSize;
    WCHAR OriginalInfName[MAX_PATH];
    WCHAR OriginalCatalogName[MAX_PATH];
};
using PSP_ORIGINAL_FILE_INFO_W = SP_ORIGINAL_FILE_INFO_W*;

// A device node's status: a problem code stands beside DN_HAS_PROBLEM.
using DEVINST = DWORD;
#define DN_DRIVER_LOADED 0x00000002u
#define DN_STARTED 0x00000008u
#define DN_HAS_PROBLEM 0x00000400u
#define CM_PROB_NEED_RESTART 0x0000000Eu
#define CM_PROB_DISABLED 0x00000016u

// Plug and Play notifications.
using HCMNOTIFICATION = struct HCMNOTIFICATION__*;
using PHCMNOTIFICATION = HCMNOTIFICATION*;

#define CR_SUCCESS 0x00000000u
#define CR_OUT_OF_MEMORY 0x00000002u
#define CR_INVALID_POINTER 0x00000003u
#define CR_INVALID_FLAG 0x00000004u
#define CR_INVALID_DEVNODE 0x00000005u
#define CR_NO_SUCH_DEVINST 0x0000000Du
#define CR_INVALID_DATA 0x0000001Fu
#define CR_FAILURE 0x00000013u
#define CR_ACCESS_DENIED 0x00000033u
#define CM_NOTIFY_FILTER_FLAG_ALL_DEVICE_INSTANCES 0x00000002u
#define MAX_DEVICE_ID_LEN 200
#define ANYSIZE_ARRAY 1

enum CM_NOTIFY_FILTER_TYPE {
    CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE = 0,
    CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE,
    CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE,
    CM_NOTIFY_FILTER_TYPE_MAX
};

struct CM_NOTIFY_FILTER {
    DWORD cbSize;
    DWORD Flags;
    CM_NOTIFY_FILTER_TYPE FilterType;
    DWORD Reserved;
    union { // the largest member only: no other kind of filter is simulated
        struct {
            WCHAR InstanceId[MAX_DEVICE_ID_LEN];
        } DeviceInstance;
    } u;
};
using PCM_NOTIFY_FILTER = CM_NOTIFY_FILTER*;

// A 32-bit value, as the callback receives it: actions newer than these names are valid too.
enum CM_NOTIFY_ACTION : DWORD {
    CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL = 0,
    CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL,
    CM_NOTIFY_ACTION_DEVICEQUERYREMOVE,
    CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED,
    CM_NOTIFY_ACTION_DEVICEREMOVEPENDING,
    CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE,
    CM_NOTIFY_ACTION_DEVICECUSTOMEVENT,
    CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED,
    CM_NOTIFY_ACTION_DEVICEINSTANCESTARTED,
    CM_NOTIFY_ACTION_DEVICEINSTANCEREMOVED,
    CM_NOTIFY_ACTION_MAX
};

struct CM_NOTIFY_EVENT_DATA {
    CM_NOTIFY_FILTER_TYPE FilterType;
    DWORD Reserved;
    union {
        struct {
            GUID ClassGuid;
            WCHAR SymbolicLink[ANYSIZE_ARRAY];
        } DeviceInterface;
        struct {
            GUID EventGuid;
            LONG NameOffset;
            DWORD DataSize;
            BYTE Data[ANYSIZE_ARRAY];
        } DeviceHandle;
        struct {
            WCHAR InstanceId[ANYSIZE_ARRAY];
        } DeviceInstance;
    } u;
};
using PCM_NOTIFY_EVENT_DATA = CM_NOTIFY_EVENT_DATA*;

using PCM_NOTIFY_CALLBACK = DWORD(CALLBACK*)(HCMNOTIFICATION hNotify, PVOID Context,
                                             CM_NOTIFY_ACTION Action,
                                             PCM_NOTIFY_EVENT_DATA EventData, DWORD EventDataSize);

// Services: dispatcher, status, control manager.
using SC_HANDLE = struct SC_HANDLE__*;
using SERVICE_STATUS_HANDLE = struct SERVICE_STATUS_HANDLE__*;

#define SC_MANAGER_ALL_ACCESS 0x000F003Fu
#define SC_MANAGER_CONNECT 0x0001u
#define SERVICE_QUERY_CONFIG 0x0001u
#define SERVICE_CHANGE_CONFIG 0x0002u
#define SERVICE_QUERY_STATUS 0x0004u
#define SERVICE_ENUMERATE_DEPENDENTS 0x0008u
#define SERVICE_START 0x0010u
#define SERVICE_STOP 0x0020u
#define SERVICE_ALL_ACCESS 0x000F01FFu

#define SERVICE_WIN32_OWN_PROCESS 0x00000010u
#define SERVICE_AUTO_START 0x00000002u
#define SERVICE_DEMAND_START 0x00000003u
#define SERVICE_ERROR_NORMAL 0x00000001u
#define SERVICE_BOOT_START 0x00000000u
#define SERVICE_SYSTEM_START 0x00000001u
#define SERVICE_DISABLED 0x00000004u

#define SERVICE_STOPPED 0x00000001u
#define SERVICE_START_PENDING 0x00000002u
#define SERVICE_STOP_PENDING 0x00000003u
#define SERVICE_RUNNING 0x00000004u
#define SERVICE_CONTINUE_PENDING 0x00000005u
#define SERVICE_PAUSE_PENDING 0x00000006u
#define SERVICE_PAUSED 0x00000007u

#define SERVICE_ACCEPT_STOP 0x00000001u
#define SERVICE_CONTROL_STOP 0x00000001u
#define SERVICE_CONTROL_PAUSE 0x00000002u
#define SERVICE_CONTROL_CONTINUE 0x00000003u
#define SERVICE_CONTROL_INTERROGATE 0x00000004u
#define SERVICE_CONTROL_SHUTDOWN 0x00000005u

#define SERVICE_CONFIG_DESCRIPTION 1u
#define SERVICE_CONFIG_FAILURE_ACTIONS 2u

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

struct SERVICE_STATUS_PROCESS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
    DWORD dwProcessId;
    DWORD dwServiceFlags;
};
using LPSERVICE_STATUS_PROCESS = SERVICE_STATUS_PROCESS*;

enum SC_STATUS_TYPE { SC_STATUS_PROCESS_INFO = 0 };

struct SERVICE_DESCRIPTIONW {
    LPWSTR lpDescription;
};

enum SC_ACTION_TYPE {
    SC_ACTION_NONE = 0,
    SC_ACTION_RESTART = 1,
    SC_ACTION_REBOOT = 2,
    SC_ACTION_RUN_COMMAND = 3
};

struct SC_ACTION {
    SC_ACTION_TYPE Type;
    DWORD Delay;
};

struct SERVICE_FAILURE_ACTIONSW {
    DWORD dwResetPeriod;
    LPWSTR lpRebootMsg;
    LPWSTR lpCommand;
    DWORD cActions;
    SC_ACTION* lpsaActions;
};

struct QUERY_SERVICE_CONFIGW {
    DWORD dwServiceType;
    DWORD dwStartType;
    DWORD dwErrorControl;
    LPWSTR lpBinaryPathName;
    LPWSTR lpLoadOrderGroup;
    DWORD dwTagId;
    LPWSTR lpDependencies;
    LPWSTR lpServiceStartName;
    LPWSTR lpDisplayName;
};
using LPQUERY_SERVICE_CONFIGW = QUERY_SERVICE_CONFIGW*;

using LPHANDLER_FUNCTION_EX = DWORD(WINAPI*)(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData,
                                             LPVOID lpContext);

// Service dispatcher.
using LPSERVICE_MAIN_FUNCTIONW = void(WINAPI*)(DWORD dwNumServicesArgs,
                                               LPWSTR* lpServiceArgVectors);
struct SERVICE_TABLE_ENTRYW {
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};

// Kernel.
DWORD GetLastError();
void SetLastError(DWORD code);
DWORD GetCurrentProcessId();
DWORD GetTickCount();
void Sleep(DWORD milliseconds);
HLOCAL LocalFree(HLOCAL mem);
int lstrcmpiW(LPCWSTR a, LPCWSTR b);
UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size);
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes);
DWORD GetFileAttributesW(LPCWSTR path);
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data);
BOOL FindClose(HANDLE search);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
BOOL CloseHandle(HANDLE handle);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags);
NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK status, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                      ULONG shareAccess, ULONG disposition, ULONG options, PVOID eaBuffer,
                      ULONG eaLength);

// The console and the standard handles.
#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))
#define STD_ERROR_HANDLE (static_cast<DWORD>(-12))
HANDLE GetStdHandle(DWORD which);
BOOL GetConsoleMode(HANDLE console, LPDWORD mode);
BOOL WriteConsoleW(HANDLE console, const void* buffer, DWORD characters, LPDWORD written,
                   LPVOID reserved);

// Display languages and locale names.
using LANGID = WORD;
using LCID = DWORD;
#define SORT_DEFAULT 0x0
#define MAKELCID(language, sort)                                                                   \
    (static_cast<LCID>((static_cast<DWORD>(sort) << 16) | static_cast<WORD>(language)))
#define LOCALE_NAME_MAX_LENGTH 85
#define LOCALE_ALLOW_NEUTRAL_NAMES 0x08000000u
LANGID GetUserDefaultUILanguage();
LANGID GetSystemDefaultUILanguage();
int LCIDToLocaleName(LCID locale, LPWSTR name, int size, DWORD flags);

// Slim reader/writer locks, used exclusively; all zero is the unlocked state.
struct SRWLOCK {
    PVOID Ptr;
};
using PSRWLOCK = SRWLOCK*;
#define SRWLOCK_INIT                                                                               \
    { nullptr }
void AcquireSRWLockExclusive(PSRWLOCK lock);
void ReleaseSRWLockExclusive(PSRWLOCK lock);

// The C runtime's thread-safe local time, as the Windows runtime has it.
errno_t localtime_s(std::tm* result, const std::time_t* time);

// Registry and security descriptors.
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                        REGSAM access, LPSECURITY_ATTRIBUTES attributes, PHKEY result,
                        LPDWORD disposition);
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey);
LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classSize, LPDWORD reserved,
                         LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                         LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                         LPDWORD securityDescriptorSize, PFILETIME lastWriteTime);
LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD filter, HANDLE event,
                                BOOL asynchronous);
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR sddl, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          PULONG size);

// Services: dispatcher and status.
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                    LPHANDLER_FUNCTION_EX handler, LPVOID context);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

// Service control manager.
SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD access);
SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD access,
                         DWORD serviceType, DWORD startType, DWORD errorControl,
                         LPCWSTR binaryPathName, LPCWSTR loadOrderGroup, LPDWORD tagId,
                         LPCWSTR dependencies, LPCWSTR serviceStartName, LPCWSTR password);
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD access);
BOOL DeleteService(SC_HANDLE service);
BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer,
                          DWORD bufferSize, LPDWORD bytesNeeded);
BOOL ChangeServiceConfig2W(SC_HANDLE service, DWORD infoLevel, LPVOID info);
BOOL QueryServiceConfigW(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD bufferSize,
                         LPDWORD bytesNeeded);
BOOL QueryServiceConfig2W(SC_HANDLE service, DWORD infoLevel, LPBYTE buffer, DWORD bufferSize,
                          LPDWORD bytesNeeded);
BOOL CloseServiceHandle(SC_HANDLE handle);

// Device setup and driver installation.
HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                       PDWORD regType, PBYTE buffer, DWORD bufferSize,
                                       PDWORD requiredSize);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA data, PWSTR buffer,
                                 DWORD bufferSize, PDWORD requiredSize);
HKEY SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD scope, DWORD profile,
                          DWORD keyType, REGSAM access);
BOOL SetupGetInfInformationW(LPCVOID infSpec, DWORD searchControl, PSP_INF_INFORMATION buffer,
                             DWORD bufferSize, PDWORD requiredSize);
BOOL SetupQueryInfOriginalFileInformationW(PSP_INF_INFORMATION information, UINT index,
                                           PSP_ALTPLATFORM_INFO platform,
                                           PSP_ORIGINAL_FILE_INFO_W original);
BOOL UpdateDriverForPlugAndPlayDevicesW(HWND parent, LPCWSTR hardwareId, LPCWSTR fullInfPath,
                                        DWORD installFlags, PBOOL rebootRequired);

// Plug and Play notifications.
CONFIGRET CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                   PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION notify);
CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION notify);

// Device nodes.
CONFIGRET CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devInst, ULONG flags);
