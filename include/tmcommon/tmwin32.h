//===-- include/tmcommon/tmwin32.h - Win32 and MFC of the platform layer --===//
//
// The names, types, constants and error codes of Win32 and the MFC subset
// that the library is written against, with the layer's Linux
// implementation behind them. Code above the layer reads as if it ran on
// Windows NT; this header is the whole contract.
//
// Contents:
//   1. Scalar types and handles
//   2. Error codes and wait results
//   3. Registry
//   4. Kernel objects: mutexes, events, waits
//   5. Files and streams
//   6. Process and system information
//   7. Windows, messages and list views
//   8. Security attributes and local memory
//   9. Service control manager
//  10. Dynamic libraries
//  11. Remote Access Service types
//  12. MFC subset: CObject, CString, CStringArray, CTime, CWnd, CMutex,
//      CSingleLock
//  13. Layer extensions (not Win32): the registry's location, restrictions
//      and batches, window procedures
//
// Sizes: this is LP64. DWORD, LONG and the other Win32 32-bit types stay 32
// bits wide so that stored values and structures keep their Windows layout;
// handles and pointers are 8 bytes.
//
// Living with a host's own names. A program that includes this header and
// has its own TRUE or FALSE keeps them: both are defined here only where
// the program has not. A program that has other names of its own that
// Win32 also uses (a Sleep, a MAX_PATH, an ERROR_... code, CloseHandle)
// defines TM_NO_WIN32_NAMES before it includes any header of the library:
// the Win32 constants and the Win32 functions are then left out, and only
// the types that the library's own signatures use (DWORD, HKEY, HANDLE,
// CString, ...), the MFC classes and the layer's Tm... functions remain.
// Either way the library's own calls go to its own functions: a program's
// definition of an exported name (its own Sleep) never replaces the one
// the library calls.
//
// What only the library itself needs from the layer (files through
// handles, wsprintf, security descriptors, version and time zone queries)
// is not part of this header and not exported.
//===----------------------------------------------------------------------===//
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

// The library is built with hidden visibility; TM_API marks what programs
// of the installation may link to. TM_EXTERN_C opens the plain (undecorated)
// names. Every header of the library has them from here.
#define TM_API __attribute__((visibility("default")))
// The private members of an exported class that no inline code of the
// headers reaches: they stay inside the library.
#define TM_LOCAL __attribute__((visibility("hidden")))

#ifdef __cplusplus
#define TM_EXTERN_C extern "C"
#else
#define TM_EXTERN_C
#endif

// The socket functions of the trace take the address type of the C
// library's <netinet/in.h>; only pointers to it pass through here.
struct sockaddr_in;

//===-- 1. Scalar types and handles -------------------------------------===//

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int INT;
typedef unsigned int UINT;
typedef char CHAR;
typedef uint16_t WCHAR;
typedef int64_t LONGLONG;
typedef uintptr_t UINT_PTR, ULONG_PTR, DWORD_PTR, WPARAM;
typedef intptr_t INT_PTR, LONG_PTR, LPARAM, LRESULT;
typedef LONG LSTATUS;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;

typedef BOOL* LPBOOL;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef const char* LPCTSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef void* HLOCAL;
typedef void* PSECURITY_DESCRIPTOR;

struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
struct HWND__;
typedef HWND__* HWND;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
struct SC_HANDLE__;
typedef SC_HANDLE__* SC_HANDLE;

// Sockets are descriptors on this platform.
typedef int SOCKET;

typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;

#ifndef TM_NO_WIN32_NAMES
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFFu
#define MAX_PATH 260
#endif  // TM_NO_WIN32_NAMES

//===-- 2. Error codes and wait results ---------------------------------===//

#ifndef TM_NO_WIN32_NAMES

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_BAD_NETPATH 53L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_BUSY 170L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_NOT_OWNER 288L
#define ERROR_INVALID_ADDRESS 487L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_REGISTRY_CORRUPT 1015L
#define ERROR_REGISTRY_IO_FAILED 1016L
#define ERROR_NOT_REGISTRY_FILE 1017L
#define ERROR_KEY_DELETED 1018L
#define ERROR_CHILD_MUST_BE_VOLATILE 1021L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_DATABASE_DOES_NOT_EXIST 1065L
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072L
#define ERROR_SERVICE_EXISTS 1073L
#define ERROR_DUPLICATE_SERVICE_NAME 1078L
#define ERROR_TIMEOUT 1460L
#define RPC_S_SERVER_UNAVAILABLE 1722L

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

TM_EXTERN_C TM_API DWORD GetLastError(void);
TM_EXTERN_C TM_API void SetLastError(DWORD dwErrCode);
#endif  // TM_NO_WIN32_NAMES

//===-- 3. Registry -----------------------------------------------------===//

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#ifndef TM_NO_WIN32_NAMES

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define DELETE 0x00010000u
#define READ_CONTROL 0x00020000u
#define WRITE_DAC 0x00040000u
#define WRITE_OWNER 0x00080000u
#define SYNCHRONIZE 0x00100000u
#define STANDARD_RIGHTS_REQUIRED 0x000F0000u
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000u
#define MAXIMUM_ALLOWED 0x02000000u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u

#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_READ 0x00020019u
#define KEY_WRITE 0x00020006u
#define KEY_EXECUTE KEY_READ
#define KEY_ALL_ACCESS 0x000F003Fu

#define REG_OPTION_NON_VOLATILE 0x00000000u
#define REG_OPTION_VOLATILE 0x00000001u
#define REG_CREATED_NEW_KEY 0x00000001u
#define REG_OPENED_EXISTING_KEY 0x00000002u

TM_EXTERN_C TM_API LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                                      REGSAM samDesired, PHKEY phkResult);
TM_EXTERN_C TM_API LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved,
                                        LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                                        LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                        PHKEY phkResult, LPDWORD lpdwDisposition);
TM_EXTERN_C TM_API LONG RegConnectRegistryA(LPCSTR lpMachineName, HKEY hKey, PHKEY phkResult);
TM_EXTERN_C TM_API LONG RegCloseKey(HKEY hKey);
TM_EXTERN_C TM_API LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                         LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
TM_EXTERN_C TM_API LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved,
                                       DWORD dwType, const BYTE* lpData, DWORD cbData);
TM_EXTERN_C TM_API LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
TM_EXTERN_C TM_API LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
TM_EXTERN_C TM_API LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName,
                                      LPDWORD lpcchValueName, LPDWORD lpReserved,
                                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
TM_EXTERN_C TM_API LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName);
#endif  // TM_NO_WIN32_NAMES

//===-- 4. Kernel objects: mutexes, events, waits -----------------------===//

#ifndef TM_NO_WIN32_NAMES

#define MUTEX_ALL_ACCESS 0x001F0001u
#define EVENT_MODIFY_STATE 0x0002u
#define EVENT_ALL_ACCESS 0x001F0003u

TM_EXTERN_C TM_API HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes,
                                       BOOL bInitialOwner, LPCSTR lpName);
TM_EXTERN_C TM_API HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
TM_EXTERN_C TM_API BOOL ReleaseMutex(HANDLE hMutex);
TM_EXTERN_C TM_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes,
                                       BOOL bManualReset, BOOL bInitialState, LPCSTR lpName);
TM_EXTERN_C TM_API HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
TM_EXTERN_C TM_API BOOL SetEvent(HANDLE hEvent);
TM_EXTERN_C TM_API BOOL ResetEvent(HANDLE hEvent);
TM_EXTERN_C TM_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
TM_EXTERN_C TM_API BOOL CloseHandle(HANDLE hObject);
#endif  // TM_NO_WIN32_NAMES

//===-- 5. Files and streams --------------------------------------------===//

// Opens a stream as the Windows C runtime does: text mode unless the mode
// holds 'b'. A text stream writes "\n" as CR LF and reads CR LF as "\n",
// so that text files keep the line ends the installation's other programs
// read and write.
TM_EXTERN_C TM_API FILE* tm_fopen(const char* path, const char* mode);

#ifndef TM_NO_WIN32_NAMES
TM_EXTERN_C TM_API int _strnicmp(const char* a, const char* b, size_t count);
TM_EXTERN_C TM_API int _stricmp(const char* a, const char* b);
#endif  // TM_NO_WIN32_NAMES

//===-- 6. Process and system information -------------------------------===//

#ifndef TM_NO_WIN32_NAMES
TM_EXTERN_C TM_API DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
TM_EXTERN_C TM_API DWORD GetCurrentThreadId(void);
TM_EXTERN_C TM_API DWORD GetCurrentProcessId(void);
TM_EXTERN_C TM_API DWORD GetTickCount(void);
TM_EXTERN_C TM_API void Sleep(DWORD dwMilliseconds);
#endif  // TM_NO_WIN32_NAMES

//===-- 7. Windows, messages and list views -----------------------------===//

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;

typedef LRESULT (*WNDPROC)(HWND, UINT, WPARAM, LPARAM);

// The list-view protocol that GetSelectedIndex speaks to a window
// procedure (TmRegisterWindowProc, section 13).
#ifndef TM_NO_WIN32_NAMES
#define WM_USER 0x0400u
#define LVM_FIRST 0x1000u
#define LVM_GETITEMCOUNT (LVM_FIRST + 4)
#define LVM_GETITEMA (LVM_FIRST + 5)
#define LVIF_TEXT 0x0001u
#define LVIF_IMAGE 0x0002u
#define LVIF_PARAM 0x0004u
#define LVIF_STATE 0x0008u
#define LVIS_FOCUSED 0x0001u
#define LVIS_SELECTED 0x0002u

typedef struct tagLVITEMA {
    UINT mask;
    int iItem;
    int iSubItem;
    UINT state;
    UINT stateMask;
    LPSTR pszText;
    int cchTextMax;
    int iImage;
    LPARAM lParam;
} LVITEMA, *LPLVITEMA;

TM_EXTERN_C TM_API LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
#endif  // TM_NO_WIN32_NAMES

//===-- 8. Security attributes -----------------------------------------===//

// SECURITY_ATTRIBUTES is declared in section 3. GetOpenSa (tmplatform.h)
// gives the attributes that let every account of the machine open a named
// object; the descriptor functions behind them are the library's own.

//===-- 9. Service control manager --------------------------------------===//

// Services are kept where Windows NT keeps them, one key each under
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services (Type, Start,
// ErrorControl, ImagePath, DisplayName, ObjectName), so every process of
// the installation sees the same database. Nothing here starts or stops a
// program. DeleteService marks a service with the value "DeleteFlag"; its
// key goes when the last handle to it in any process is closed, or, when
// a holder died without closing, at the next call that meets it.

#ifndef TM_NO_WIN32_NAMES
#define SC_MANAGER_CONNECT 0x0001u
#define SC_MANAGER_CREATE_SERVICE 0x0002u
#define SC_MANAGER_ENUMERATE_SERVICE 0x0004u
#define SC_MANAGER_LOCK 0x0008u
#define SC_MANAGER_QUERY_LOCK_STATUS 0x0010u
#define SC_MANAGER_MODIFY_BOOT_CONFIG 0x0020u
#define SC_MANAGER_ALL_ACCESS 0x000F003Fu
#define SERVICES_ACTIVE_DATABASEA "ServicesActive"
#define SERVICES_FAILED_DATABASEA "ServicesFailed"
#define SC_GROUP_IDENTIFIERA '+'
#define SERVICE_QUERY_CONFIG 0x0001u
#define SERVICE_CHANGE_CONFIG 0x0002u
#define SERVICE_QUERY_STATUS 0x0004u
#define SERVICE_ENUMERATE_DEPENDENTS 0x0008u
#define SERVICE_START 0x0010u
#define SERVICE_STOP 0x0020u
#define SERVICE_PAUSE_CONTINUE 0x0040u
#define SERVICE_INTERROGATE 0x0080u
#define SERVICE_USER_DEFINED_CONTROL 0x0100u
#define SERVICE_ALL_ACCESS 0x000F01FFu
#define SERVICE_KERNEL_DRIVER 0x00000001u
#define SERVICE_FILE_SYSTEM_DRIVER 0x00000002u
#define SERVICE_WIN32_OWN_PROCESS 0x00000010u
#define SERVICE_WIN32_SHARE_PROCESS 0x00000020u
#define SERVICE_INTERACTIVE_PROCESS 0x00000100u
#define SERVICE_BOOT_START 0x00000000u
#define SERVICE_SYSTEM_START 0x00000001u
#define SERVICE_AUTO_START 0x00000002u
#define SERVICE_DEMAND_START 0x00000003u
#define SERVICE_DISABLED 0x00000004u
#define SERVICE_ERROR_IGNORE 0x00000000u
#define SERVICE_ERROR_NORMAL 0x00000001u
#define SERVICE_ERROR_SEVERE 0x00000002u
#define SERVICE_ERROR_CRITICAL 0x00000003u

TM_EXTERN_C TM_API SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName,
                                            DWORD dwDesiredAccess);
TM_EXTERN_C TM_API SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName,
                                            LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                                            DWORD dwServiceType, DWORD dwStartType,
                                            DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                                            LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                            LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                                            LPCSTR lpPassword);
TM_EXTERN_C TM_API SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName,
                                          DWORD dwDesiredAccess);
TM_EXTERN_C TM_API BOOL DeleteService(SC_HANDLE hService);
TM_EXTERN_C TM_API BOOL CloseServiceHandle(SC_HANDLE hSCObject);
#endif  // TM_NO_WIN32_NAMES

//===-- 10. Dynamic libraries -------------------------------------------===//

#ifndef TM_NO_WIN32_NAMES
typedef INT_PTR (*FARPROC)();

// "NAME.DLL" (or "NAME" without an extension) loads "libname.so", in
// lower case, from the executable's directory, then along the dynamic
// linker's search path; a name with a directory loads from there only,
// and a file name with another extension is taken as it is. An HMODULE is
// the dlopen handle. GetProcAddress finds only what the module itself
// defines, not what its dependencies bring, as on Windows; there are no
// ordinals. Errors: ERROR_MOD_NOT_FOUND for a missing library or a handle
// that LoadLibraryA did not give, ERROR_BAD_EXE_FORMAT for a file that is
// there but cannot be loaded, ERROR_PROC_NOT_FOUND for a missing entry
// point.
TM_EXTERN_C TM_API HMODULE LoadLibraryA(LPCSTR lpLibFileName);
TM_EXTERN_C TM_API FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
TM_EXTERN_C TM_API BOOL FreeLibrary(HMODULE hLibModule);
#endif  // TM_NO_WIN32_NAMES

//===-- 11. Remote Access Service types ---------------------------------===//

// The structures of the Remote Access Service functions that CRasDial
// forwards, with the layouts of the Windows NT 4.0 interface (WINVER
// 0x0400). The library only passes pointers to them through; the layouts
// are here for the callers and for a library that implements them. The
// array sizes are written out, so that a layout never follows a host's
// own RAS_... or MAX_PATH.

#ifndef TM_NO_WIN32_NAMES
#define RAS_MaxEntryName 256
#define RAS_MaxDeviceType 16
#define RAS_MaxDeviceName 128
#define RAS_MaxPhoneNumber 128
#define RAS_MaxCallbackNumber 128
#define RAS_MaxAreaCode 10
#define RAS_MaxPadType 32
#define RAS_MaxX25Address 200
#define RAS_MaxFacilities 200
#define RAS_MaxUserData 200
#define UNLEN 256
#define PWLEN 256
#define DNLEN 15
#define RASCS_PAUSED 0x1000
#define RASCS_DONE 0x2000
#endif  // TM_NO_WIN32_NAMES

struct HRASCONN__;
typedef HRASCONN__* HRASCONN;
typedef HRASCONN* LPHRASCONN;

enum tagRASCONNSTATE {
    RASCS_OpenPort = 0,
    RASCS_PortOpened,
    RASCS_ConnectDevice,
    RASCS_DeviceConnected,
    RASCS_AllDevicesConnected,
    RASCS_Authenticate,
    RASCS_AuthNotify,
    RASCS_AuthRetry,
    RASCS_AuthCallback,
    RASCS_AuthChangePassword,
    RASCS_AuthProject,
    RASCS_AuthLinkSpeed,
    RASCS_AuthAck,
    RASCS_ReAuthenticate,
    RASCS_Authenticated,
    RASCS_PrepareForCallback,
    RASCS_WaitForModemReset,
    RASCS_WaitForCallback,
    RASCS_Projected,
    RASCS_StartAuthentication,
    RASCS_CallbackComplete,
    RASCS_LogonNetwork,
    RASCS_Interactive = 0x1000,
    RASCS_RetryAuthentication,
    RASCS_CallbackSetByCaller,
    RASCS_PasswordExpired,
    RASCS_Connected = 0x2000,
    RASCS_Disconnected
};
typedef enum tagRASCONNSTATE RASCONNSTATE;

typedef struct tagRASDIALPARAMSA {
    DWORD dwSize;
    CHAR szEntryName[256 + 1];
    CHAR szPhoneNumber[128 + 1];
    CHAR szCallbackNumber[128 + 1];
    CHAR szUserName[256 + 1];
    CHAR szPassword[256 + 1];
    CHAR szDomain[15 + 1];
} RASDIALPARAMSA, *LPRASDIALPARAMSA;

typedef struct tagRASCONNSTATUSA {
    DWORD dwSize;
    RASCONNSTATE rasconnstate;
    DWORD dwError;
    CHAR szDeviceType[16 + 1];
    CHAR szDeviceName[128 + 1];
} RASCONNSTATUSA, *LPRASCONNSTATUSA;

typedef struct tagRASCONNA {
    DWORD dwSize;
    HRASCONN hrasconn;
    CHAR szEntryName[256 + 1];
    CHAR szDeviceType[16 + 1];
    CHAR szDeviceName[128 + 1];
} RASCONNA, *LPRASCONNA;

typedef struct tagRASENTRYNAMEA {
    DWORD dwSize;
    CHAR szEntryName[256 + 1];
} RASENTRYNAMEA, *LPRASENTRYNAMEA;

typedef struct tagRASIPADDR {
    BYTE a;
    BYTE b;
    BYTE c;
    BYTE d;
} RASIPADDR;

typedef struct tagRASENTRYA {
    DWORD dwSize;
    DWORD dwfOptions;
    DWORD dwCountryID;
    DWORD dwCountryCode;
    CHAR szAreaCode[10 + 1];
    CHAR szLocalPhoneNumber[128 + 1];
    DWORD dwAlternateOffset;
    RASIPADDR ipaddr;
    RASIPADDR ipaddrDns;
    RASIPADDR ipaddrDnsAlt;
    RASIPADDR ipaddrWins;
    RASIPADDR ipaddrWinsAlt;
    DWORD dwFrameSize;
    DWORD dwfNetProtocols;
    DWORD dwFramingProtocol;
    CHAR szScript[260];
    CHAR szAutodialDll[260];
    CHAR szAutodialFunc[260];
    CHAR szDeviceType[16 + 1];
    CHAR szDeviceName[128 + 1];
    CHAR szX25PadType[32 + 1];
    CHAR szX25Address[200 + 1];
    CHAR szX25Facilities[200 + 1];
    CHAR szX25UserData[200 + 1];
    DWORD dwChannels;
    DWORD dwReserved1;
    DWORD dwReserved2;
} RASENTRYA, *LPRASENTRYA;

enum tagRASPROJECTION {
    RASP_Amb = 0x10000,
    RASP_PppNbf = 0x803F,
    RASP_PppIpx = 0x802B,
    RASP_PppIp = 0x8021,
    RASP_PppLcp = 0xC021,
    RASP_Slip = 0x20000
};
typedef enum tagRASPROJECTION RASPROJECTION;

//===-- 12. MFC subset --------------------------------------------------===//

class CArchive;
class CDumpContext;
class CObject;

struct CRuntimeClass {
    const char* m_lpszClassName;
    int m_nObjectSize;
    UINT m_wSchema;
    CObject* (*m_pfnCreateObject)();
    CRuntimeClass* m_pBaseClass;
};

class TM_API CObject {
public:
    virtual CRuntimeClass* GetRuntimeClass() const;
    virtual ~CObject();
    virtual void Serialize(CArchive& ar);
    virtual void AssertValid() const;
    virtual void Dump(CDumpContext& dc) const;

    static CRuntimeClass classCObject;

protected:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
};

// An 8-bit string that may hold zero bytes; its text always ends in a
// zero. A failed allocation throws std::bad_alloc, as MFC throws its
// memory exception.
class TM_API CString {
public:
    constexpr CString() noexcept : m_pchData(nullptr), m_nDataLength(0), m_nAllocLength(0) {}
    CString(const CString& other);
    CString(CString&& other) noexcept;
    CString(const char* psz);
    CString(const char* pch, int nLength);
    CString(char ch, int nRepeat = 1);
    ~CString();

    CString& operator=(const CString& other);
    CString& operator=(CString&& other) noexcept;
    CString& operator=(const char* psz);
    CString& operator=(char ch);
    CString& operator+=(const CString& other);
    CString& operator+=(const char* psz);
    CString& operator+=(char ch);

    int GetLength() const { return m_nDataLength; }
    BOOL IsEmpty() const { return m_nDataLength == 0; }
    void Empty();
    char GetAt(int nIndex) const;
    void SetAt(int nIndex, char ch);
    char operator[](int nIndex) const { return GetAt(nIndex); }
    operator const char*() const { return m_pchData ? m_pchData : ""; }

    // Buffer access: GetBuffer gives room for at least nMinBufLength
    // characters and a terminator, keeping the current text;
    // ReleaseBuffer sets the length (-1: up to the first zero byte).
    char* GetBuffer(int nMinBufLength);
    void ReleaseBuffer(int nNewLength = -1);
    char* GetBufferSetLength(int nNewLength);

    CString Mid(int nFirst) const;
    CString Mid(int nFirst, int nCount) const;
    CString Left(int nCount) const;
    CString Right(int nCount) const;
    CString SpanIncluding(const char* pszCharSet) const;
    CString SpanExcluding(const char* pszCharSet) const;
    int Find(char ch) const;
    int Find(char ch, int nStart) const;
    int Find(const char* pszSub) const;
    int Find(const char* pszSub, int nStart) const;
    int ReverseFind(char ch) const;
    void MakeUpper();
    void MakeLower();
    void TrimLeft();
    void TrimRight();
    int Compare(const char* psz) const;
    int CompareNoCase(const char* psz) const;
    void Format(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

private:
    TM_LOCAL void Reserve(int nCapacity, bool bKeep);
    TM_LOCAL void Assign(const char* pch, int nLength);
    TM_LOCAL void Append(const char* pch, int nLength);

    char* m_pchData;
    int m_nDataLength;
    int m_nAllocLength;
};

TM_API CString operator+(const CString& a, const CString& b);
TM_API CString operator+(const CString& a, const char* b);
TM_API CString operator+(const char* a, const CString& b);
TM_API CString operator+(const CString& a, char b);
TM_API bool operator==(const CString& a, const CString& b);
TM_API bool operator==(const CString& a, const char* b);
TM_API bool operator==(const char* a, const CString& b);
inline bool operator!=(const CString& a, const CString& b) { return !(a == b); }
inline bool operator!=(const CString& a, const char* b) { return !(a == b); }
inline bool operator!=(const char* a, const CString& b) { return !(a == b); }

class TM_API CStringArray : public CObject {
public:
    CStringArray();
    CStringArray(const CStringArray& other);
    CStringArray& operator=(const CStringArray& other);
    ~CStringArray() override;

    int GetSize() const { return m_nSize; }
    int GetCount() const { return m_nSize; }
    int GetUpperBound() const { return m_nSize - 1; }
    BOOL IsEmpty() const { return m_nSize == 0; }
    void SetSize(int nNewSize, int nGrowBy = -1);
    void RemoveAll();
    const CString& GetAt(int nIndex) const;
    void SetAt(int nIndex, const char* psz);
    CString& ElementAt(int nIndex);
    const CString& operator[](int nIndex) const { return GetAt(nIndex); }
    CString& operator[](int nIndex) { return ElementAt(nIndex); }
    void SetAtGrow(int nIndex, const char* psz);
    int Add(const char* psz);
    int Add(const CString& str);
    int Append(const CStringArray& src);
    void InsertAt(int nIndex, const char* psz, int nCount = 1);
    void RemoveAt(int nIndex, int nCount = 1);

private:
    CString* m_pData;
    int m_nSize;
    int m_nMaxSize;
};

// A point in time, kept as seconds since 1970 and broken down in the local
// time zone.
class TM_API CTime {
public:
    CTime() noexcept : m_time(0) {}
    explicit CTime(time_t t) noexcept : m_time(t) {}
    CTime(int nYear, int nMonth, int nDay, int nHour, int nMin, int nSec, int nDST = -1);
    static CTime GetCurrentTime();

    time_t GetTime() const { return m_time; }
    struct tm* GetLocalTm(struct tm* ptm) const;
    struct tm* GetGmtTm(struct tm* ptm) const;
    int GetYear() const;
    int GetMonth() const;
    int GetDay() const;
    int GetHour() const;
    int GetMinute() const;
    int GetSecond() const;
    int GetDayOfWeek() const;

private:
    time_t m_time;
};

class TM_API CWnd : public CObject {
public:
    CWnd() : m_hWnd(nullptr) {}
    explicit CWnd(HWND hWnd) : m_hWnd(hWnd) {}
    HWND GetSafeHwnd() const { return m_hWnd; }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    HWND m_hWnd;
};

class TM_API CSyncObject : public CObject {
public:
    explicit CSyncObject(const char* pstrName);
    ~CSyncObject() override;
    virtual BOOL Lock(DWORD dwTimeout = 0xFFFFFFFFu);  // INFINITE
    virtual BOOL Unlock() = 0;
    operator HANDLE() const { return m_hObject; }

    HANDLE m_hObject;

private:
    CSyncObject(const CSyncObject&) = delete;
    CSyncObject& operator=(const CSyncObject&) = delete;
};

class TM_API CMutex : public CSyncObject {
public:
    explicit CMutex(BOOL bInitiallyOwn = 0, const char* lpszName = nullptr,
                    LPSECURITY_ATTRIBUTES lpsaAttribute = nullptr);
    ~CMutex() override;
    BOOL Unlock() override;
};

class TM_API CSingleLock {
public:
    explicit CSingleLock(CSyncObject* pObject, BOOL bInitialLock = 0);
    ~CSingleLock();
    BOOL Lock(DWORD dwTimeOut = 0xFFFFFFFFu);  // INFINITE
    BOOL Unlock();
    BOOL IsLocked() const { return m_bAcquired; }

private:
    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;

    CSyncObject* m_pObject;
    HANDLE m_hObject;
    BOOL m_bAcquired;
};

//===-- 13. Layer extensions (not Win32) --------------------------------===//

// Machine faults. The library catches an access violation, a bus error or
// a division by zero inside its own functions, as Windows' structured
// exception handling did, with its own handler for SIGSEGV, SIGBUS and
// SIGFPE. A program may still install handlers for these signals, before
// or after loading the library: the library exports sigaction, signal,
// bsd_signal, sysv_signal and __sysv_signal, which for these three signals
// record the program's handler (and report the program's previous one)
// while the library's stays installed. A fault outside the library's
// functions, or one sent with kill or raise, reaches the program's handler
// as the kernel would have delivered it (SA_SIGINFO, sa_mask, SA_NODEFER,
// SA_RESETHAND); SIG_DFL, and SIG_IGN for a real fault, end the process
// with the signal. Every other signal goes straight to the C library.
// This holds when the program's calls reach the library's functions: a
// program linked with the library, or one started with it in LD_PRELOAD.
// A program that loads the library with dlopen gets its earlier handlers
// kept, but a handler it installs after the dlopen goes to the C library
// and replaces the library's: faults inside the library then reach that
// handler. sigset() and calls made directly to the kernel are not seen.

// Location of the registry of this process: the one chosen with
// TmSetRegistryPath, else $TAMARAK_REGISTRY, else the default location
// (docs/installation.md): /var/lib/tamarak/registry.db for an installed
// library, the user's own for one in its build tree. Fixed by the first
// call that needs it (this one included) and for the rest of the process.
// A SQLite file's path as it is; a postgresql:// URI without its password.
TM_EXTERN_C TM_API const char* TmRegistryPath(void);

// Chooses the registry of this process, before the first call that uses
// it: lpLocation as TAMARAK_REGISTRY takes it (a SQLite file's path, made
// absolute against the current directory now, or a postgresql:// URI);
// NULL or "" goes back to $TAMARAK_REGISTRY and the default. Loading the
// library fixes nothing: the registry, the named objects of the
// installation (whose names follow the registry's location), the root
// path, the installation mutex and the log directory named in the
// registry are all taken on first use. A host program therefore calls
// this first thing in main:
//     if (TmSetRegistryPath("/srv/tamarak/registry.db") != ERROR_SUCCESS) ...
// Returns ERROR_SUCCESS while the location is not fixed yet, and
// afterwards when lpLocation names the location in use; ERROR_BUSY when
// the process has already used another registry (nothing changes then).
// Like TAMARAK_REGISTRY it makes no file: a path where no registry exists
// gives ERROR_CANTOPEN to the first registry call (see
// TmRegCreateRegistry).
TM_EXTERN_C TM_API LONG TmSetRegistryPath(LPCSTR lpLocation);

// A registry file is made only by this call (tmctl reg init): while the
// file does not exist every registry call fails with ERROR_CANTOPEN, so
// that a mistyped path is an error rather than a new, empty configuration.
// Makes the registry file at lpLocation (NULL or "": this process's, see
// TmRegistryPath), with the directories on the way, and gives it the
// registry's tables; an existing empty file gets them too. A postgresql://
// location gets its schema made if it is missing (ERROR_ALREADY_EXISTS when
// it holds a registry). Returns
// ERROR_SUCCESS for a new registry, ERROR_ALREADY_EXISTS when the file is a
// registry already (left as it is), ERROR_NOT_REGISTRY_FILE for another
// program's database (left as it is), ERROR_ACCESS_DENIED or
// ERROR_PATH_NOT_FOUND when the file or a directory cannot be made, else
// the code of the failure.
TM_EXTERN_C TM_API LONG TmRegCreateRegistry(LPCSTR lpLocation);

// Opens this process's registry if it is not open yet and returns what
// every registry call would get: ERROR_SUCCESS, or the code with one line
// in lpText that names the path and the reason (cut to cchText - 1
// characters, always terminated when cchText > 0; "" on success), e.g.
// "/var/lib/tamarak/registry.db: the file does not exist (create it with
// 'tmctl reg init')".
TM_EXTERN_C TM_API LONG TmRegCheckRegistry(LPSTR lpText, DWORD cchText);

// The store that holds this process's registry: "sqlite" or "postgresql".
TM_EXTERN_C TM_API const char* TmRegistryStore(void);

// The form of any registry location that may be shown (no password), as
// TmRegistryPath gives it, into lpBuffer: its length without the zero, or
// the size needed with the zero when nSize is too small (nothing written).
TM_EXTERN_C TM_API DWORD TmRegFormatLocation(LPCSTR lpLocation, LPSTR lpBuffer, DWORD nSize);

// Copies a whole registry from one location to another, each written as
// TAMARAK_REGISTRY takes it (a SQLite file or a postgresql:// URI), apart
// from this process's own registry: every key with its name and
// restriction, every value with its type and bytes, in creation order, in
// one transaction on the target. The source must exist
// (ERROR_FILE_NOT_FOUND) and is not changed; the target is made if it is
// missing and must hold nothing below its roots (ERROR_ALREADY_EXISTS).
// Volatile keys belong to the running boot of a host and are not copied.
TM_EXTERN_C TM_API LONG TmRegCopyRegistry(LPCSTR lpFrom, LPCSTR lpTo);

// Stores an access restriction on an existing key, the stand-in for a
// key's security descriptor: opening it with access outside lpAllowed, or
// creating (KEY_CREATE_SUB_KEY) or deleting (DELETE) a subkey it does not
// allow, gives ERROR_ACCESS_DENIED. KEY_ALL_ACCESS | MAXIMUM_ALLOWED lifts
// every restriction.
TM_EXTERN_C TM_API LONG TmRegSetKeyRestriction(HKEY hKey, LPCSTR lpSubKey, REGSAM samAllowed);

// Lets the registry calls of the calling thread share transactions until
// the matching TmRegEndBatch: a restore of many values pays for one commit
// per few hundred calls instead of one per call. Each call still succeeds
// or fails as a whole; what is committed becomes visible to other
// processes at each intermediate commit and at the end. A failure of a
// commit undoes the calls since the previous one and is returned by
// TmRegEndBatch (and by the call that committed). Batches nest.
TM_EXTERN_C TM_API void TmRegBeginBatch(void);
TM_EXTERN_C TM_API LONG TmRegEndBatch(void);

// Routes SendMessageA for hWnd to lpfnWndProc; NULL removes the route.
//
// Test switches, read from the environment when the layer first needs
// them (for the process environment: when the library is loaded):
//   TAMARAK_TEST_PLATFORM_ID  GetVersionExA reports this platform id
//                             (1: the Windows 95 family) instead of 2.
//   TAMARAK_TEST_CSD_VERSION  GetVersionExA reports this service-pack text.
TM_EXTERN_C TM_API void TmRegisterWindowProc(HWND hWnd, WNDPROC lpfnWndProc);
