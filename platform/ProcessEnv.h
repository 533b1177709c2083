//===-- platform/ProcessEnv.h - The process environment -------------------===//
#pragma once

#include "Win32Internal.h"

// Root path of the installation, without a trailing separator: the value
// "RootPath" of the parameters key, else the executable's directory.
// Filled on first use: read it through RootPath() or GetRootPath.
extern char g_szRootPath[256];

// The root path, read from the registry by the first call in the process.
const char* RootPath();

// Gathers what the rest of the library and its callers need to know about
// the process's surroundings. What the system tells (the version, the
// open security attributes) is gathered when the library loads; what
// comes from the installation's registry (the installation mutex, whose
// name lives in the registry's namespace, and the root path) on first
// use, so that a program can choose its registry first.
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

    // The installation mutex, opened by the first call in the process.
    HANDLE InstallMutex();

private:
    void ReadInstallation();
    void ReadRootPath();
};

// The one instance, built at library load.
extern CProcessEnv g_ProcessEnv;

// The installation mutex "D02369B6-D2CF-11d1-86B0-0080C8330493".
#define TM_INSTALL_MUTEX_NAME "D02369B6-D2CF-11d1-86B0-0080C8330493"
