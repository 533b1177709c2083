//===-- platform/ProcessEnv.h - The process environment, fixed at load ----===//
#pragma once

#include "Win32Internal.h"

// Root path of the installation, without a trailing separator: the value
// "RootPath" of the parameters key, else the executable's directory.
extern char g_szRootPath[256];

// Gathers, once at library load, what the rest of the library and its
// callers need to know about the process's surroundings.
class CProcessEnv {
public:
    CProcessEnv();
    ~CProcessEnv();

    HANDLE m_hInstallMutex;
    OSVERSIONINFOA m_osvi;
    SECURITY_ATTRIBUTES m_sa;
    LPSECURITY_ATTRIBUTES m_pSa;
    PSECURITY_DESCRIPTOR m_pSd;
    char m_szOSVersion[128];
    int m_nCSDLevel;

private:
    void ReadRootPath();
};

// The one instance, built at library load.
extern CProcessEnv g_ProcessEnv;

// The installation mutex "D02369B6-D2CF-11d1-86B0-0080C8330493".
#define TM_INSTALL_MUTEX_NAME "D02369B6-D2CF-11d1-86B0-0080C8330493"
