//===-- platform/ProcessEnv.cpp - Root path, version, open security -------===//
//
// The facts about the process's surroundings, constant once gathered: the
// version string and service-pack level and the open security attributes
// for shared kernel objects, gathered when the library is loaded; the
// installation mutex that every process of the installation opens and the
// root path, taken from the installation's registry by the first call
// that needs either (once, whichever thread comes first), so that loading
// the library fixes no registry. Plain functions hand them out.
//
// Limits: a "RootPath" value of 256 characters or more does not fit and is
// not used (the default applies); the version string is cut at 127
// characters.
//===----------------------------------------------------------------------===//
#include "platform/ProcessEnv.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "Layer.h"
#include "logging/Trap.h"
#include "tmplatform.h"
#include "tmregistry.h"

namespace {
const char kSourceFile[] = "Utilities";
}

char g_szRootPath[256];

namespace {
w32::OnceInit g_installationRead;
}

CProcessEnv::CProcessEnv()
    : m_hInstallMutex(nullptr), m_osvi{}, m_sa{}, m_pSa(nullptr), m_pSd(nullptr),
      m_szOSVersion{}, m_nCSDLevel(0) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        m_osvi.dwOSVersionInfoSize = sizeof m_osvi;
        GetVersionExA(&m_osvi);
        const bool nt = m_osvi.dwPlatformId == VER_PLATFORM_WIN32_NT;
        // Formatted in a larger buffer, then cut to the 127 characters
        // that m_szOSVersion holds.
        char text[512];
        snprintf(text, sizeof text, "%s %d.%d build %d %s", nt ? "Windows NT (intel)" : "Windows 95",
                 static_cast<int>(m_osvi.dwMajorVersion), static_cast<int>(m_osvi.dwMinorVersion),
                 static_cast<int>(nt ? m_osvi.dwBuildNumber : (m_osvi.dwBuildNumber & 0xFFFF)),
                 m_osvi.szCSDVersion);
        size_t n = strnlen(text, sizeof m_szOSVersion - 1);
        memcpy(m_szOSVersion, text, n);
        m_szOSVersion[n] = '\0';
        m_osvi.szCSDVersion[sizeof m_osvi.szCSDVersion - 1] = '\0';
        for (const char* p = m_osvi.szCSDVersion; *p; ++p) {
            if (isdigit(static_cast<unsigned char>(*p))) {
                m_nCSDLevel = atoi(p);
                break;
            }
        }
        m_pSa = nullptr;
        m_pSd = nullptr;
        if (nt) {
            m_pSd = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
            if (m_pSd && !(InitializeSecurityDescriptor(m_pSd, SECURITY_DESCRIPTOR_REVISION) &&
                           SetSecurityDescriptorDacl(m_pSd, TRUE, nullptr, FALSE))) {
                LocalFree(m_pSd);
                m_pSd = nullptr;
            }
        }
        if (m_pSd) {
            m_sa.nLength = sizeof m_sa;
            m_sa.lpSecurityDescriptor = m_pSd;
            m_sa.bInheritHandle = FALSE;
            m_pSa = &m_sa;
        }
    });
}

// What the installation's registry decides: fixes the registry's location
// for the process (the mutex's name lives in its namespace).
void CProcessEnv::ReadInstallation() {
    g_installationRead.Run([&] {
        tmc::Guarded(kSourceFile, __LINE__, [&] {
            m_hInstallMutex = CreateMutexA(m_pSa, FALSE, TM_INSTALL_MUTEX_NAME);
            ReadRootPath();
        });
    });
}

HANDLE CProcessEnv::InstallMutex() {
    ReadInstallation();
    return m_hInstallMutex;
}

const char* RootPath() {
    g_ProcessEnv.InstallMutex();
    return g_szRootPath;
}

void CProcessEnv::ReadRootPath() {
    // A root path put in the buffer before first use (by a test host that
    // runs the library's code below a directory of its own) is kept.
    if (g_szRootPath[0]) return;
    CString value;
    CRegistry reg;
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, TM_KEY_READ_WRITE) == ERROR_SUCCESS) {
        w32::CatchAll([&] { reg.QueryValue("RootPath", value, nullptr); },
                      [&] {
                          NewError(kSourceFile, __LINE__);
                          DebugX(kSourceFile, __LINE__);
                          value.Empty();
                      });
        reg.CloseKey();
    }
    const char* text = value;
    size_t n = strlen(text);
    if (n > 0 && n < sizeof g_szRootPath) {
        memcpy(g_szRootPath, text, n + 1);
        // One trailing separator is cut; a second one stays.
        if (w32::IsPathSeparator(g_szRootPath[n - 1])) g_szRootPath[n - 1] = '\0';
        return;
    }
    // The default: the directory of the process's executable.
    char path[PATH_MAX];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return;
    const char* base = w32::BaseName(path);
    size_t dir = base > path ? static_cast<size_t>(base - path - 1) : 0;
    if (dir >= sizeof g_szRootPath) return;
    memcpy(g_szRootPath, path, dir);
    g_szRootPath[dir] = '\0';
}

CProcessEnv::~CProcessEnv() {
    if (m_hInstallMutex != INVALID_HANDLE_VALUE) {
        CloseHandle(m_hInstallMutex);
        m_hInstallMutex = INVALID_HANDLE_VALUE;
    }
    if (m_pSd) {
        LocalFree(m_pSd);
        m_pSd = nullptr;
    }
}

int GetRootPath(char* pszBuffer, int nSize) {
    if (!pszBuffer || nSize < 1) return 0;
    const char* root = RootPath();
    size_t n = strlen(root);
    if (n > static_cast<size_t>(nSize - 1)) n = static_cast<size_t>(nSize - 1);
    memcpy(pszBuffer, root, n);
    pszBuffer[n] = '\0';
    return static_cast<int>(n);
}

const char* GetOSVersionString(void) { return g_ProcessEnv.m_szOSVersion; }

int IsWindowsNT(void) { return g_ProcessEnv.m_osvi.dwPlatformId == VER_PLATFORM_WIN32_NT ? 1 : 0; }

int GetCSDLevel(void) { return g_ProcessEnv.m_nCSDLevel; }

LPSECURITY_ATTRIBUTES GetOpenSa(void) { return g_ProcessEnv.m_pSa; }

int GetSelectedIndex(CWnd* pListCtrl) {
    if (!pListCtrl) return -1;
    HWND hWnd = pListCtrl->m_hWnd;
    // The count is asked anew on every pass: the list may change while it
    // is searched.
    for (int i = 0; i < static_cast<int>(SendMessageA(hWnd, LVM_GETITEMCOUNT, 0, 0)); ++i) {
        LVITEMA item = {};
        item.mask = LVIF_STATE;
        item.iItem = i;
        item.iSubItem = 0;
        item.stateMask = LVIS_SELECTED;
        SendMessageA(hWnd, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
        if (item.state & LVIS_SELECTED) return i;
    }
    return -1;
}
