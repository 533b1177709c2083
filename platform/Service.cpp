//===-- platform/Service.cpp - Installing and removing the mail service ---===//
//
// InstallService registers the delivery service that lives beside the
// calling program; RemoveService takes the registration away. On Windows
// NT the service is registered with the service control manager: own
// process, started automatically, normal error control, LocalSystem, the
// binary path being the full path of "tmarksvc" beside the caller,
// unquoted. On the Windows 95 family the system starts it from the
// RunServices key: a string value named after the service whose data is
// the quoted full path of "tmark95s" followed by " -service".
//
// The command line is built in a buffer of 256 characters, which fixes the
// limit: a path that does not fit, or that GetModuleFileNameA had to cut, is
// refused with ERROR_FILENAME_EXCED_RANGE rather than cut or overrun. A
// path without a directory is refused with ERROR_BAD_PATHNAME: the service
// could not be found from it.
//
// Diagnostics: the result is 0 or the Win32 code of the failing step.
// Registry failures of the Windows 95 branch are reported too (a value
// that was never written is no installation); removing a value or a key
// that is not there is success. Anything thrown or a fault inside either
// function is trapped with DebugX and reported as ERROR_INVALID_DATA.
//===----------------------------------------------------------------------===//
#include <cstring>

#include "Layer.h"
#include "logging/Trap.h"
#include "tmplatform.h"
#include "tmregistry.h"

namespace {

const char kSourceFile[] = "Utilities";

const char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
const char kNtExecutable[] = "tmarksvc";
const char kWin95Executable[] = "tmark95s";
const char kWin95Switch[] = "\" -service";

// The result of a trapped exception: never success.
constexpr DWORD kTrapped = ERROR_INVALID_DATA;

constexpr DWORD kCommandLineSize = 256;

// Fills szLine with the directory of the calling program (with its
// separator) and returns the directory's length, or 0 with *pdwError set.
size_t ProgramDirectory(char (&szLine)[kCommandLineSize], DWORD* pdwError) {
    DWORD length = GetModuleFileNameA(nullptr, szLine, kCommandLineSize);
    if (length == 0) {
        *pdwError = GetLastError();
        return 0;
    }
    if (length >= kCommandLineSize) {
        *pdwError = ERROR_FILENAME_EXCED_RANGE;
        return 0;
    }
    size_t directory = static_cast<size_t>(w32::BaseName(szLine) - szLine);
    if (directory == 0) {
        *pdwError = ERROR_BAD_PATHNAME;
        return 0;
    }
    return directory;
}

// Service names that would address the wrong value or key are refused
// before anything is written.
DWORD CheckName(const char* pszServiceName) {
    if (!pszServiceName) return ERROR_INVALID_PARAMETER;
    if (!*pszServiceName) return ERROR_INVALID_NAME;
    return ERROR_SUCCESS;
}

DWORD InstallWin95(const char* pszServiceName, char (&szLine)[kCommandLineSize], size_t directory) {
    // '"' + directory + "tmark95s" + "\" -service" + terminator.
    if (1 + directory + strlen(kWin95Executable) + strlen(kWin95Switch) + 1 > kCommandLineSize) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    memmove(szLine + 1, szLine, directory);
    szLine[0] = '"';
    char* end = szLine + 1 + directory;
    memcpy(end, kWin95Executable, strlen(kWin95Executable));
    end += strlen(kWin95Executable);
    memcpy(end, kWin95Switch, strlen(kWin95Switch) + 1);

    CRegistry reg;
    LONG rc = reg.CreateKey(HKEY_LOCAL_MACHINE, kRunServicesKey, TM_KEY_READ_WRITE, 0);
    if (rc == ERROR_SUCCESS) rc = reg.SetValue(pszServiceName, szLine);
    return static_cast<DWORD>(rc);
}

DWORD InstallNt(const char* pszServiceName, const char* pszDisplayName,
                char (&szLine)[kCommandLineSize], size_t directory) {
    if (directory + strlen(kNtExecutable) + 1 > kCommandLineSize) return ERROR_FILENAME_EXCED_RANGE;
    memcpy(szLine + directory, kNtExecutable, strlen(kNtExecutable) + 1);

    SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!hManager) return GetLastError();
    SC_HANDLE hService = CreateServiceA(hManager, pszServiceName, pszDisplayName, SERVICE_ALL_ACCESS,
                                        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                        SERVICE_ERROR_NORMAL, szLine, nullptr, nullptr, nullptr,
                                        nullptr, nullptr);
    // Taken before the close, which may change it.
    DWORD dwError = hService ? ERROR_SUCCESS : GetLastError();
    CloseServiceHandle(hManager);
    if (!hService) return dwError;
    CloseServiceHandle(hService);
    return ERROR_SUCCESS;
}

DWORD RemoveWin95(const char* pszServiceName) {
    CRegistry reg;
    LONG rc = reg.OpenKey(HKEY_LOCAL_MACHINE, kRunServicesKey, TM_KEY_READ_WRITE);
    if (rc == ERROR_SUCCESS) rc = RegDeleteValueA(reg.m_hKey, pszServiceName);
    // Nothing registered is nothing to remove.
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(rc);
}

DWORD RemoveNt(const char* pszServiceName) {
    SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!hManager) return GetLastError();
    SC_HANDLE hService = OpenServiceA(hManager, pszServiceName, SERVICE_ALL_ACCESS);
    if (!hService) {
        DWORD dwError = GetLastError();
        CloseServiceHandle(hManager);
        return dwError;
    }
    // Only marks it: the manager deletes it when its last handle closes.
    DWORD dwError = DeleteService(hService) ? ERROR_SUCCESS : GetLastError();
    CloseServiceHandle(hManager);
    CloseServiceHandle(hService);
    return dwError;
}

}  // namespace

DWORD InstallService(const char* pszServiceName, const char* pszDisplayName) {
    return tmc::Guarded(kSourceFile, __LINE__, kTrapped, [&]() -> DWORD {
        if (DWORD dwError = CheckName(pszServiceName)) return dwError;
        char szLine[kCommandLineSize];
        DWORD dwError = ERROR_SUCCESS;
        size_t directory = ProgramDirectory(szLine, &dwError);
        if (directory == 0) return dwError;
        if (!IsWindowsNT()) return InstallWin95(pszServiceName, szLine, directory);
        return InstallNt(pszServiceName, pszDisplayName, szLine, directory);
    });
}

DWORD RemoveService(const char* pszServiceName) {
    return tmc::Guarded(kSourceFile, __LINE__, kTrapped, [&]() -> DWORD {
        if (DWORD dwError = CheckName(pszServiceName)) return dwError;
        if (!IsWindowsNT()) return RemoveWin95(pszServiceName);
        return RemoveNt(pszServiceName);
    });
}
