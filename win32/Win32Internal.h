//===-- win32/Win32Internal.h - Win32 functions only the library calls ----===//
//
// The part of the layer's Win32 interface that the library's own code uses
// and programs do not: files through handles (the event log), _fsopen and
// _splitpath, wsprintf, the version and time zone queries behind the
// process environment and the date functions, and the security
// descriptors behind GetOpenSa. None of it is exported; tmwin32.h holds
// what programs see.
//===----------------------------------------------------------------------===//
#pragma once

#include <netinet/in.h>

#include <cstdarg>

#include "tmwin32.h"

// tmwin32.h only names struct sockaddr_in; the socket trace reads it.

//===-- 1. Files through handles, share modes, paths, wsprintf ----------===//

// Asked for without GENERIC_WRITE, it gives a handle whose every write goes
// to the end of the file, wherever the file pointer stands.
#define FILE_APPEND_DATA 0x00000004u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu

// Share flags of _fsopen.
#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYRD 0x30
#define _SH_DENYNO 0x40

#define _MAX_DRIVE 3
#define _MAX_DIR 256
#define _MAX_FNAME 256
#define _MAX_EXT 256

TM_EXTERN_C HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                               LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                               DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                               HANDLE hTemplateFile);
// FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_READONLY (no write permission
// for the owner) or FILE_ATTRIBUTE_NORMAL; INVALID_FILE_ATTRIBUTES with
// ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND when nothing is there.
TM_EXTERN_C DWORD GetFileAttributesA(LPCSTR lpFileName);
TM_EXTERN_C DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                 DWORD dwMoveMethod);
TM_EXTERN_C BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                           LPDWORD lpNumberOfBytesWritten, void* lpOverlapped);

// tm_fopen with a share flag (_SH_DENYWR and so on), kept as an advisory
// lock on the file for as long as the stream is open. Fails with errno
// EACCES when another open stream's share flag forbids this access.
TM_EXTERN_C FILE* _fsopen(const char* path, const char* mode, int shflag);

TM_EXTERN_C void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext);
// Formats as wsprintf does: integers, characters and strings with flags,
// width and precision, no floating point; at most 1024 bytes with the
// terminating zero, longer output cut. Returns the characters written.
TM_EXTERN_C int wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist);
TM_EXTERN_C int wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);

//===-- 2. Version and time zone ----------------------------------------===//

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME;

typedef struct _TIME_ZONE_INFORMATION {
    LONG Bias;
    WCHAR StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    WCHAR DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
} TIME_ZONE_INFORMATION, *LPTIME_ZONE_INFORMATION;

#define TIME_ZONE_ID_INVALID 0xFFFFFFFFu
#define TIME_ZONE_ID_UNKNOWN 0
#define TIME_ZONE_ID_STANDARD 1
#define TIME_ZONE_ID_DAYLIGHT 2

TM_EXTERN_C BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
TM_EXTERN_C DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION lpTimeZoneInformation);

//===-- 3. Security descriptors and local memory ------------------------===//

#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH 40
#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

typedef struct _ACL ACL, *PACL;

TM_EXTERN_C HLOCAL LocalAlloc(UINT uFlags, size_t uBytes);
TM_EXTERN_C HLOCAL LocalFree(HLOCAL hMem);
TM_EXTERN_C BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                              DWORD dwRevision);
TM_EXTERN_C BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                           BOOL bDaclPresent, PACL pDacl, BOOL bDaclDefaulted);
