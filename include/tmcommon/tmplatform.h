//===-- include/tmcommon/tmplatform.h - Environment, service, loaders -----===//
//
// The process environment (version and security attributes fixed at
// library load; the root path and the installation mutex taken from the
// registry on first use), installation of the delivery
// service, the on-demand loaders of the script engine and the dial-up
// library, and the branding file with its scrambler.
//===----------------------------------------------------------------------===//
#pragma once

#include "tmwin32.h"

// Process environment. The first call of GetRootPath in a process reads
// the root path from the registry (TmSetRegistryPath chooses which).
TM_EXTERN_C TM_API int GetRootPath(char* pszBuffer, int nSize);
TM_EXTERN_C TM_API const char* GetOSVersionString(void);
TM_EXTERN_C TM_API int IsWindowsNT(void);
TM_EXTERN_C TM_API int GetCSDLevel(void);
TM_EXTERN_C TM_API LPSECURITY_ATTRIBUTES GetOpenSa(void);
TM_EXTERN_C TM_API int GetSelectedIndex(CWnd* pListCtrl);

// Service installation.
TM_EXTERN_C TM_API DWORD InstallService(const char* pszServiceName, const char* pszDisplayName);
TM_EXTERN_C TM_API DWORD RemoveService(const char* pszServiceName);

// The script engine "TMSCRIPT.DLL", loaded while any object lives. A copy
// of an object is one more user; assignment changes nothing.
class TM_API CTmScript {
public:
    CTmScript();
    CTmScript(const CTmScript& other);
    CTmScript& operator=(const CTmScript& other);
    virtual ~CTmScript();

    int IsAvailable();

    void* CreateScript();
    int CloseScript(void* pScript);
    int ParseScript(void* pScript, const char* pszText);
    int GetError(void* pScript, const char** ppszText, int* pnLine, int* pnColumn, int* pnCode);
    int RunScript(HWND hWnd, void* pScript);
    int ResetScript(void* pScript);
    int AsyncResult(HWND hWnd, void* pScript, int nId, const char* pszResult, int nCode);
    void FreeBuffer(void* pBuffer);
    FILE* FileOpen(char* pszName, char* pszMode, int nFlags);
    void FileClose(FILE* fp);

protected:
    int Load();

private:
    // Frees the library (SysError if that fails) and resets the class to
    // unloaded; called with m_Mutex held.
    TM_LOCAL static void Unload(int nLine);

    TM_LOCAL static HINSTANCE m_hInstance;
    TM_LOCAL static int m_nCount;
    TM_LOCAL static CMutex m_Mutex;
    TM_LOCAL static void* (*m_pCreateScript)();
    TM_LOCAL static int (*m_pCloseScript)(void*);
    TM_LOCAL static int (*m_pParseScript)(void*, const char*);
    TM_LOCAL static int (*m_pGetError)(void*, const char**, int*, int*, int*);
    TM_LOCAL static int (*m_pRunScript)(HWND, void*);
    TM_LOCAL static int (*m_pResetScript)(void*);
    TM_LOCAL static int (*m_pAsyncResult)(HWND, void*, int, const char*, int);
    TM_LOCAL static void (*m_pFreeBuffer)(void*);
    TM_LOCAL static FILE* (*m_pFileOpen)(char*, char*, int);
    TM_LOCAL static void (*m_pFileClose)(FILE*);
};

// The dial-up networking library "RASAPI32.DLL", loaded while any object
// lives. A copy of an object is one more user; assignment changes nothing.
class TM_API CRasDial {
public:
    CRasDial();
    CRasDial(const CRasDial& other);
    CRasDial& operator=(const CRasDial& other);
    virtual ~CRasDial();

    int IsAvailable();

    DWORD RasDialA(void* pDialExtensions, char* pszPhonebook, RASDIALPARAMSA* pParams,
                   DWORD dwNotifierType, void* pNotifier, HRASCONN* phConn);
    DWORD RasHangUpA(HRASCONN hConn);
    DWORD RasGetConnectStatusA(HRASCONN hConn, RASCONNSTATUSA* pStatus);
    DWORD RasGetErrorStringA(UINT uError, char* pszBuffer, DWORD dwSize);
    DWORD RasEnumConnectionsA(RASCONNA* pConns, DWORD* pdwSize, DWORD* pdwCount);
    DWORD RasEnumEntriesA(char* pszReserved, char* pszPhonebook, RASENTRYNAMEA* pEntries,
                          DWORD* pdwSize, DWORD* pdwCount);
    DWORD RasGetProjectionInfoA(HRASCONN hConn, RASPROJECTION projection, void* pBuffer,
                                DWORD* pdwSize);
    DWORD RasGetEntryPropertiesA(char* pszPhonebook, char* pszEntry, RASENTRYA* pEntry,
                                 DWORD* pdwEntrySize, BYTE* pDeviceInfo, DWORD* pdwDeviceInfoSize);

protected:
    int Load();

private:
    // Frees the library (SysError if that fails) and resets the class to
    // unloaded; called with m_Mutex held.
    TM_LOCAL static void Unload(int nLine);

    TM_LOCAL static HINSTANCE m_hInstance;
    TM_LOCAL static int m_nCount;
    TM_LOCAL static CMutex m_Mutex;
    TM_LOCAL static DWORD (*m_pRasDial)(void*, char*, RASDIALPARAMSA*, DWORD, void*, HRASCONN*);
    TM_LOCAL static DWORD (*m_pRasHangUp)(HRASCONN);
    TM_LOCAL static DWORD (*m_pRasGetConnectStatus)(HRASCONN, RASCONNSTATUSA*);
    TM_LOCAL static DWORD (*m_pRasGetErrorString)(UINT, char*, DWORD);
    TM_LOCAL static DWORD (*m_pRasEnumConnections)(RASCONNA*, DWORD*, DWORD*);
    TM_LOCAL static DWORD (*m_pRasEnumEntries)(char*, char*, RASENTRYNAMEA*, DWORD*, DWORD*);
    TM_LOCAL static DWORD (*m_pRasGetProjectionInfo)(HRASCONN, RASPROJECTION, void*, DWORD*);
    TM_LOCAL static DWORD (*m_pRasGetEntryProperties)(char*, char*, RASENTRYA*, DWORD*, BYTE*, DWORD*);
};

// The keyed byte scrambler of the branding file. Make gives two upper-case
// hexadecimal digits per byte; Unmake reverses it. The text returned lives
// in the object's result buffer until its next call or its destruction.
// An empty (or null) key is refused: Make and Unmake then return "".
// Copies own their key and result buffer.
class TM_API CConnMaker {
public:
    explicit CConnMaker(const char* pszKey);
    CConnMaker(const CConnMaker& other);
    CConnMaker& operator=(const CConnMaker& other);
    ~CConnMaker();

    const char* Make(const char* pszText);
    const char* Unmake(const char* pszScrambled);

    char* m_pKey;
    char* m_pResult;
};

// The branding strings of "brand.inf" beside the process's executable.
// m_bLoaded is 1 when the file held at least its four lines and was read
// to its end. Copies are whole copies.
class TM_API COEM {
public:
    COEM();
    // Reads "brand.inf" in pszDirectory (empty or null: the current
    // directory) by the same rules, for tools that look at an
    // installation from outside it.
    explicit COEM(const char* pszDirectory);
    virtual ~COEM();

    CString m_cszBrand1;
    CString m_cszBrand2;
    CString m_cszBrand3;
    CStringArray m_csaBrandLines;
    int m_nBrandNumber;
    BOOL m_bLoaded;

private:
    TM_LOCAL void ReadBrandFile(const char* pszPath);
};
