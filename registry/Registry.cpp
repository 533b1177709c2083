//===-- registry/Registry.cpp - CRegistry: one open key and its values ----===//
//
// A thin layer over the Win32 registry functions: the platform's codes are
// returned as they stand. The text read, the enumerations and the
// destructor catch every exception (result 13 where they return one).
//
// Limits: EnumValue names of 80 characters or more, EnumKey names of 40 or
// more, give ERROR_MORE_DATA.
//===----------------------------------------------------------------------===//
#include <cstring>
#include <new>

#include "Layer.h"
// The registry and the log depend on each other, the one circle between
// the library's directories: CRegistry reports what it traps through the
// exception trap DebugX, and the log reads its mask "Logging" (the trace
// its flags) through CRegistry. Each side only calls the other's exported
// functions at run time; tools/deps allows this circle and no other.
#include "logging/Trap.h"
#include "tmregistry.h"

namespace {
const char kSourceFile[] = "Registry";
}

CRegistry::CRegistry() : m_hKey(nullptr), m_pBuffer(nullptr), m_dwBufferSize(0) {}

CRegistry::~CRegistry() {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        if (m_hKey) CloseKey();
        ::operator delete(m_pBuffer);
        m_pBuffer = nullptr;
        m_dwBufferSize = 0;
    });
}

void CRegistry::ReserveBuffer(DWORD dwSize) {
    if (m_dwBufferSize >= dwSize && m_pBuffer) return;
    ::operator delete(m_pBuffer);
    m_pBuffer = nullptr;
    m_dwBufferSize = 0;
    DWORD size = dwSize < 256 ? 256 : dwSize;
    m_pBuffer = static_cast<BYTE*>(::operator new(size));
    m_dwBufferSize = size;
}

LONG CRegistry::OpenKey(HKEY hParent, const char* pszPath, DWORD dwAccess) {
    return RegOpenKeyExA(hParent, pszPath, 0, dwAccess, &m_hKey);
}

LONG CRegistry::OpenKey(const char* pszComputer, HKEY hRoot, const char* pszPath, DWORD dwAccess) {
    HKEY hRemote = nullptr;
    LONG rc = RegConnectRegistryA(pszComputer, hRoot, &hRemote);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegOpenKeyExA(hRemote, pszPath, 0, dwAccess, &m_hKey);
    RegCloseKey(hRemote);
    return rc;
}

LONG CRegistry::CreateKey(HKEY hParent, const char* pszPath, DWORD dwAccess, DWORD dwOptions) {
    DWORD disposition = 0;
    char emptyClass[1] = "";
    return RegCreateKeyExA(hParent, pszPath, 0, emptyClass, dwOptions, dwAccess, nullptr, &m_hKey,
                           &disposition);
}

LONG CRegistry::CloseKey() {
    LONG rc = RegCloseKey(m_hKey);
    if (rc == ERROR_SUCCESS) m_hKey = nullptr;
    return rc;
}

LONG CRegistry::QueryValue(const char* pszName, CString& cszValue, DWORD* pdwType) {
    return tmc::Guarded(kSourceFile, __LINE__, static_cast<LONG>(ERROR_INVALID_DATA), [&]() -> LONG {
        DWORD cb = 0;
        LONG rc = RegQueryValueExA(m_hKey, pszName, nullptr, pdwType, nullptr, &cb);
        if (rc != ERROR_SUCCESS) return rc;
        if (cb == 0) {
            cszValue.Empty();
            return ERROR_SUCCESS;
        }
        DWORD obtained = cb;
        char* buffer = cszValue.GetBuffer(static_cast<int>(obtained));
        rc = RegQueryValueExA(m_hKey, pszName, nullptr, pdwType, reinterpret_cast<BYTE*>(buffer), &cb);
        if (rc != ERROR_SUCCESS) {
            // The value changed between the two reads; what the buffer holds
            // is not the value.
            cszValue.ReleaseBuffer(0);
            return rc;
        }
        // The last stored byte is taken for the terminator.
        cszValue.ReleaseBuffer(cb == 0 ? 0 : static_cast<int>(cb) - 1);
        return ERROR_SUCCESS;
    });
}

LONG CRegistry::QueryValue(const char* pszName, int& nValue, DWORD* pdwType) {
    DWORD cb = sizeof nValue;
    return RegQueryValueExA(m_hKey, pszName, nullptr, pdwType, reinterpret_cast<BYTE*>(&nValue), &cb);
}

LONG CRegistry::QueryValue(const char* pszName, DWORD& dwValue, DWORD* pdwType) {
    DWORD cb = sizeof dwValue;
    return RegQueryValueExA(m_hKey, pszName, nullptr, pdwType, reinterpret_cast<BYTE*>(&dwValue), &cb);
}

// Windows' unsigned long is 32 bits: the value is read as one, which
// keeps what the caller's low 32 bits held beyond a value shorter than 4
// bytes, and the caller's variable then holds that number whole.
LONG CRegistry::QueryValue(const char* pszName, unsigned long& ulValue, DWORD* pdwType) {
    DWORD dwValue = static_cast<DWORD>(ulValue);
    LONG rc = QueryValue(pszName, dwValue, pdwType);
    if (rc == ERROR_SUCCESS) ulValue = dwValue;
    return rc;
}

LONG CRegistry::QueryValue(const char* pszName, void* pBuffer, DWORD* pdwSize, DWORD* pdwType) {
    return RegQueryValueExA(m_hKey, pszName, nullptr, pdwType, static_cast<BYTE*>(pBuffer), pdwSize);
}

LONG CRegistry::SetValue(const char* pszName, const char* pszValue) {
    if (!pszValue) return ERROR_INVALID_PARAMETER;
    return RegSetValueExA(m_hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszValue),
                          static_cast<DWORD>(strlen(pszValue) + 1));
}

LONG CRegistry::SetValue(const char* pszName, DWORD dwValue) {
    return RegSetValueExA(m_hKey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                          sizeof dwValue);
}

LONG CRegistry::SetValue(const char* pszName, int nValue) {
    return SetValue(pszName, static_cast<DWORD>(nValue));
}

LONG CRegistry::SetValue(const char* pszName, const void* pBytes, DWORD dwCount) {
    return RegSetValueExA(m_hKey, pszName, 0, REG_BINARY, static_cast<const BYTE*>(pBytes), dwCount);
}

LONG CRegistry::DeleteValue(const char* pszName) { return RegDeleteValueA(m_hKey, pszName); }

LONG CRegistry::DeleteKey(const char* pszName) { return RegDeleteKeyA(m_hKey, pszName); }

LONG CRegistry::EnumValue(DWORD dwIndex, CString& cszName, DWORD& dwType) {
    return tmc::Guarded(kSourceFile, __LINE__, static_cast<LONG>(ERROR_INVALID_DATA), [&]() -> LONG {
        cszName.Empty();
        char name[80];
        DWORD cchName = sizeof name;
        LONG rc = RegEnumValueA(m_hKey, dwIndex, name, &cchName, nullptr, &dwType, nullptr, nullptr);
        if (rc == ERROR_SUCCESS) {
            tmc::GuardedReportingAllocation(kSourceFile, __LINE__, [&] { cszName = name; });
        }
        return rc;
    });
}

LONG CRegistry::EnumKey(DWORD dwIndex, CString& cszName) {
    return tmc::Guarded(kSourceFile, __LINE__, static_cast<LONG>(ERROR_INVALID_DATA), [&]() -> LONG {
        cszName.Empty();
        char name[40];
        LONG rc = RegEnumKeyA(m_hKey, dwIndex, name, sizeof name);
        if (rc == ERROR_SUCCESS) cszName = name;
        return rc;
    });
}
