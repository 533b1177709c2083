//===-- include/tmcommon/tmregistry.h - Registry keys and REG family ------===//
//
// CRegistry holds at most one open key and reads and writes its values,
// multi-string lists and whole subtrees; the REG family does the same for
// callers without classes. Results are Win32 error codes, 0 for success.
//
// The installation's configuration lives under the parameters key
// HKEY_LOCAL_MACHINE\Software\Kelt\Tamarak\Parameters.
//
// "unsigned long" of the Windows interface is DWORD here: 32 bits, as the
// stored values are.
//===----------------------------------------------------------------------===//
#pragma once

#include <cstdio>
#include <type_traits>

#include "tmwin32.h"

#define TM_PARAMETERS_KEY "Software\\Kelt\\Tamarak\\Parameters"
// The access the library opens and creates every key with, the parameters
// key included: KEY_READ | KEY_WRITE. A process that may only read a key
// therefore cannot open it through the library.
#define TM_KEY_READ_WRITE 0x2001Fu

class TM_API CRegistry : public CObject {
public:
    CRegistry();
    ~CRegistry() override;

    // Key access.
    LONG OpenKey(HKEY hParent, const char* pszPath, DWORD dwAccess);
    LONG OpenKey(const char* pszComputer, HKEY hRoot, const char* pszPath, DWORD dwAccess);
    LONG CreateKey(HKEY hParent, const char* pszPath, DWORD dwAccess, DWORD dwOptions);
    LONG CloseKey();

    // Single values. The reads do not check the stored type.
    LONG QueryValue(const char* pszName, CString& cszValue, DWORD* pdwType = nullptr);
    LONG QueryValue(const char* pszName, int& nValue, DWORD* pdwType = nullptr);
    LONG QueryValue(const char* pszName, DWORD& dwValue, DWORD* pdwType = nullptr);
    LONG QueryValue(const char* pszName, unsigned long& ulValue, DWORD* pdwType = nullptr);
    LONG QueryValue(const char* pszName, void* pBuffer, DWORD* pdwSize, DWORD* pdwType = nullptr);
    LONG SetValue(const char* pszName, const char* pszValue);
    LONG SetValue(const char* pszName, DWORD dwValue);
    LONG SetValue(const char* pszName, int nValue);
    LONG SetValue(const char* pszName, const void* pBytes, DWORD dwCount);
    LONG DeleteValue(const char* pszName);
    LONG DeleteKey(const char* pszName);
    LONG EnumValue(DWORD dwIndex, CString& cszName, DWORD& dwType);
    LONG EnumKey(DWORD dwIndex, CString& cszName);

    // Multi-string values (REG_MULTI_SZ) as arrays and as CR LF text.
    LONG QueryValue(const char* pszName, CStringArray& csaValue, DWORD* pdwType = nullptr);
    LONG SetValue(const char* pszName, const CStringArray& csaValue);
    LONG SetTextList(const char* pszName, const char* pszText);
    LONG QueryTextList(const char* pszName, CString& cszText, DWORD* pdwType = nullptr);

    // Subtrees. DeleteTree refuses (87) a NULL or empty path below a
    // predefined root, which would name the whole root.
    DWORD CopyTree(HKEY hSourceParent, const char* pszSourcePath);
    DWORD DeleteTree(HKEY hParent, const char* pszPath);
    void DumpTree(FILE* fp, int nDepth = 0);

    // The registry tree file: a stream of records, binary mode. ReadTree
    // reads records ahead and saves them in batches, never holding the
    // registry while it waits on the stream.
    DWORD WriteTree(FILE* fp);
    DWORD ReadTree(FILE* fp);
    DWORD ReadString(FILE* fp, CString& cszValue);

    // Windows code passes unsigned long where this interface takes DWORD
    // (32 bits here, 64 for unsigned long): these overloads take it as it
    // comes, through a DWORD of their own.
    template <class T, class = std::enable_if_t<std::is_same_v<T, unsigned long>>>
    LONG QueryValue(const char* pszName, CString& cszValue, T* pulType) {
        return ThroughDword(pulType, [&](DWORD* t) { return QueryValue(pszName, cszValue, t); });
    }
    template <class T, class = std::enable_if_t<std::is_same_v<T, unsigned long>>>
    LONG QueryValue(const char* pszName, int& nValue, T* pulType) {
        return ThroughDword(pulType, [&](DWORD* t) { return QueryValue(pszName, nValue, t); });
    }
    template <class T, class = std::enable_if_t<std::is_same_v<T, unsigned long>>>
    LONG QueryValue(const char* pszName, DWORD& dwValue, T* pulType) {
        return ThroughDword(pulType, [&](DWORD* t) { return QueryValue(pszName, dwValue, t); });
    }
    template <class T, class = std::enable_if_t<std::is_same_v<T, unsigned long>>>
    LONG QueryValue(const char* pszName, unsigned long& ulValue, T* pulType) {
        return ThroughDword(pulType, [&](DWORD* t) { return QueryValue(pszName, ulValue, t); });
    }
    template <class T, class = std::enable_if_t<std::is_same_v<T, unsigned long>>>
    LONG QueryValue(const char* pszName, CStringArray& csaValue, T* pulType) {
        return ThroughDword(pulType, [&](DWORD* t) { return QueryValue(pszName, csaValue, t); });
    }
    template <class T, class = std::enable_if_t<std::is_same_v<T, unsigned long>>>
    LONG QueryTextList(const char* pszName, CString& cszText, T* pulType) {
        return ThroughDword(pulType, [&](DWORD* t) { return QueryTextList(pszName, cszText, t); });
    }
    template <class S, class T = DWORD,
              class = std::enable_if_t<(std::is_same_v<S, unsigned long> || std::is_same_v<T, unsigned long>) &&
                                       (std::is_same_v<S, DWORD> || std::is_same_v<S, unsigned long>) &&
                                       (std::is_same_v<T, DWORD> || std::is_same_v<T, unsigned long>)>>
    LONG QueryValue(const char* pszName, void* pBuffer, S* pulSize, T* pulType = nullptr) {
        return ThroughDword(pulSize, [&](DWORD* size) {
            return ThroughDword(pulType, [&](DWORD* type) { return QueryValue(pszName, pBuffer, size, type); });
        });
    }
    template <class T, class = std::enable_if_t<std::is_same_v<T, unsigned long>>>
    LONG EnumValue(DWORD dwIndex, CString& cszName, T& ulType) {
        return ThroughDword(&ulType, [&](DWORD* t) { return EnumValue(dwIndex, cszName, *t); });
    }
    LONG SetValue(const char* pszName, unsigned long ulValue) { return SetValue(pszName, static_cast<DWORD>(ulValue)); }
    LONG SetValue(const char* pszName, long lValue) { return SetValue(pszName, static_cast<DWORD>(lValue)); }

    HKEY m_hKey;
    BYTE* m_pBuffer;
    DWORD m_dwBufferSize;

private:
    // Hands the call a DWORD holding the caller's value (or NULL) and gives
    // the caller back what the call left in it.
    template <class T, class Call>
    static LONG ThroughDword(T* value, Call call) {
        if constexpr (std::is_same_v<T, DWORD>) {
            return call(value);
        } else {
            DWORD word = value ? static_cast<DWORD>(*value) : 0;
            LONG rc = call(value ? &word : nullptr);
            if (value) *value = word;
            return rc;
        }
    }

    CRegistry(const CRegistry&) = delete;
    CRegistry& operator=(const CRegistry&) = delete;

    // Grows the scratch buffer to at least dwSize bytes (never below 256).
    TM_LOCAL void ReserveBuffer(DWORD dwSize);
    // Copy, with the depth of the key below the starting one: it never
    // descends more than 512 levels (the registry's own limit).
    TM_LOCAL DWORD CopyTreeAt(HKEY hSourceParent, const char* pszSourcePath, int nDepth);
    // The walks of DeleteTree, WriteTree and DumpTree, which run them as
    // one batch of registry calls.
    TM_LOCAL DWORD DeleteKeyTree(HKEY hParent, const char* pszPath);
    TM_LOCAL DWORD WriteKey(FILE* fp);
    TM_LOCAL void DumpKey(FILE* fp, int nDepth);
};

// The flat functions take one argument block: cells of 8 bytes, an integer
// in the first 4 bytes of its cell, a pointer filling its cell.
//   cell 0: root (1 HKEY_CURRENT_USER, 2 HKEY_CLASSES_ROOT, 3 HKEY_USERS,
//           anything else HKEY_LOCAL_MACHINE)
//   cell 1: key path   cell 2: value name   cell 3: value or default
// Returned strings belong to the caller, who frees them with FreeString.
TM_EXTERN_C TM_API DWORD REGQUERYVAL(void* pArgs);
TM_EXTERN_C TM_API DWORD REGQUERYVALEX(void* pArgs);
TM_EXTERN_C TM_API char* REGQUERYSTR(DWORD* pdwLength, void* pArgs);
TM_EXTERN_C TM_API char* REGQUERYSTREX(DWORD* pdwLength, void* pArgs);
TM_EXTERN_C TM_API DWORD REGSETVAL(void* pArgs);
TM_EXTERN_C TM_API DWORD REGSETSTR(void* pArgs);
TM_EXTERN_C TM_API char* REGQUERYTEXTLIST(DWORD* pdwLength, void* pArgs);
TM_EXTERN_C TM_API DWORD REGSETTEXTLIST(void* pArgs);
TM_EXTERN_C TM_API DWORD REGDELETEVALUE(void* pArgs);
TM_EXTERN_C TM_API DWORD REGDELETETREE(void* pArgs);
TM_EXTERN_C TM_API void FreeString(void* pString);

