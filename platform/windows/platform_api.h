// The Windows operations the system calls: the Windows SDK headers, plus what the
// MinGW-w64 headers lack.
#pragma once

#ifndef WINVER
#define WINVER 0x0A00
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
#include <winternl.h>
#include <sddl.h>
#include <setupapi.h>
#include <newdev.h>
#include <cfgmgr32.h>
#include <devguid.h>
#include <cstdio>
#include <ctime>

#define WSTR(s) L##s

#ifdef __MINGW32__
// The MinGW-w64 headers define the notification types but not the two functions.
extern "C" {
CMAPI CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER pFilter, PVOID pContext,
                                                PCM_NOTIFY_CALLBACK pCallback,
                                                PHCMNOTIFICATION pNotifyContext);
CMAPI CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION NotifyContext);
}
#endif

// The native open (ntdll) comes from winternl.h; two of the statuses it returns live only in
// ntstatus.h, which clashes with windows.h.
#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#endif
#ifndef STATUS_OPLOCK_BREAK_IN_PROGRESS
#define STATUS_OPLOCK_BREAK_IN_PROGRESS ((NTSTATUS)0x00000108L)
#endif
