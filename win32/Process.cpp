//===-- win32/Process.cpp - Process, clock, version, memory, windows ------===//
//
// GetModuleFileNameA gives the path of /proc/self/exe as it was when the
// library loaded; GetCurrentThreadId is the
// kernel thread id; GetTickCount counts milliseconds of the monotonic clock
// and wraps at 32 bits as on Windows. GetVersionExA reports an NT-class
// platform with the kernel's version numbers, unless the test switches
// TAMARAK_TEST_PLATFORM_ID / TAMARAK_TEST_CSD_VERSION say otherwise.
// SendMessageA reaches a window procedure registered for the handle.
//===----------------------------------------------------------------------===//
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "Guard.h"
#include "Layer.h"
#include "Modules.h"
#include "SysCalls.h"
#include "Win32Internal.h"

#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_UNKNOWN_REVISION 1305L
#define ERROR_INVALID_SECURITY_DESCR 1338L

namespace {

thread_local DWORD t_threadId = 0;

void ForgetThreadIdInChild() { t_threadId = 0; }

// Copies text as GetModuleFileNameA does: cut to nSize - 1 characters and
// terminated; a cut result returns nSize with ERROR_INSUFFICIENT_BUFFER.
DWORD CopyModuleName(const char* text, size_t length, LPSTR out, DWORD nSize) {
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (length >= nSize) {
        memcpy(out, text, nSize - 1);
        out[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    memcpy(out, text, length + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(length);
}

}  // namespace

namespace {

// The executable's path as the library found it at load.
struct ExecutablePath {
    std::mutex lock;  // serialises reading it
    std::atomic<bool> known{false};
    char path[PATH_MAX];
    size_t length = 0;
};

ExecutablePath& Executable() {
    static ExecutablePath* executable = new ExecutablePath;
    return *executable;
}

}  // namespace

namespace w32 {

bool RememberExecutablePath() {
    ExecutablePath& exe = Executable();
    std::lock_guard<std::mutex> guard(exe.lock);
    if (exe.known.load(std::memory_order_relaxed)) return true;
    char path[PATH_MAX];
    ssize_t n = Sys().readlink("/proc/self/exe", path, sizeof path - 1);
    if (n < 0) {
        SetLastError(ErrnoToWin32(errno));
        return false;
    }
    path[n] = '\0';
    // A library loaded after an upgrade replaced the executable still
    // names the program by the path it was started from.
    static const char kDeleted[] = " (deleted)";
    const size_t suffix = sizeof kDeleted - 1;
    struct stat st;
    if (static_cast<size_t>(n) > suffix && strcmp(path + n - suffix, kDeleted) == 0 &&
        Sys().stat(path, &st) != 0) {
        n -= static_cast<ssize_t>(suffix);
        path[n] = '\0';
    }
    memcpy(exe.path, path, static_cast<size_t>(n) + 1);
    exe.length = static_cast<size_t>(n);
    exe.known.store(true, std::memory_order_release);
    return true;
}

void ForgetExecutablePath() { Executable().known.store(false, std::memory_order_release); }

}  // namespace w32

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    return w32::GuardSettingLastError<DWORD>(0, [&]() -> DWORD {
        if (!lpFilename) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (!hModule) {
            ExecutablePath& exe = Executable();
            if (!exe.known.load(std::memory_order_acquire) && !w32::RememberExecutablePath()) return 0;
            return CopyModuleName(exe.path, exe.length, lpFilename, nSize);
        }
        // A module handle is what LoadLibraryA returned: a dlopen handle. Any
        // other value is refused before the dynamic linker sees it.
        struct link_map* map = nullptr;
        if (!w32::IsLoadedModule(hModule) || w32::Sys().dlinfo(hModule, RTLD_DI_LINKMAP, &map) != 0 || !map ||
            !map->l_name) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        return CopyModuleName(map->l_name, strlen(map->l_name), lpFilename, nSize);
    });
}

DWORD GetCurrentThreadId(void) {
    if (t_threadId == 0) {
        static std::once_flag once;
        std::call_once(once, [] { pthread_atfork(nullptr, nullptr, ForgetThreadIdInChild); });
        t_threadId = static_cast<DWORD>(syscall(SYS_gettid));
    }
    return t_threadId;
}

DWORD GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

DWORD GetTickCount(void) {
    struct timespec ts;
    w32::Sys().clockGettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

void Sleep(DWORD dwMilliseconds) {
    struct timespec ts;
    ts.tv_sec = dwMilliseconds / 1000;
    ts.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    while (w32::Sys().nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    return w32::GuardSettingLastError<BOOL>(FALSE, [&]() -> BOOL {
        if (!info || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        struct utsname u;
        unsigned major = 0, minor = 0, patch = 0;
        if (w32::Sys().uname(&u) == 0) sscanf(u.release, "%u.%u.%u", &major, &minor, &patch);
        info->dwMajorVersion = major;
        info->dwMinorVersion = minor;
        info->dwBuildNumber = patch;
        info->dwPlatformId = VER_PLATFORM_WIN32_NT;
        if (const char* id = getenv("TAMARAK_TEST_PLATFORM_ID"); id && *id) {
            info->dwPlatformId = static_cast<DWORD>(strtoul(id, nullptr, 0));
        }
        info->szCSDVersion[0] = '\0';
        if (const char* csd = getenv("TAMARAK_TEST_CSD_VERSION"); csd) {
            snprintf(info->szCSDVersion, sizeof info->szCSDVersion, "%s", csd);
        }
        return TRUE;
    });
}

DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION tzi) {
    return w32::GuardSettingLastError<DWORD>(TIME_ZONE_ID_INVALID, [&]() -> DWORD {
        if (!tzi) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return TIME_ZONE_ID_INVALID;
        }
        memset(tzi, 0, sizeof *tzi);
        // The zone as TZ names it now, as Windows reports the settings in force.
        tzset();
        time_t now = w32::CurrentTime();
        struct tm local;
        localtime_r(&now, &local);
        // The kind of time not in force now is taken from this year's probes
        // at the start of January and of July.
        struct tm jan, jul;
        for (struct tm* probe : {&jan, &jul}) {
            struct tm fields = local;
            fields.tm_mon = probe == &jan ? 0 : 6;
            fields.tm_mday = 1;
            fields.tm_hour = 12;
            fields.tm_min = fields.tm_sec = 0;
            fields.tm_isdst = -1;
            time_t at = mktime(&fields);
            localtime_r(&at, probe);
        }
        const struct tm* standardProbe = jan.tm_isdst <= 0 ? &jan : jul.tm_isdst <= 0 ? &jul : nullptr;
        const struct tm* daylightProbe = jan.tm_isdst > 0 ? &jan : jul.tm_isdst > 0 ? &jul : nullptr;
        // The offset in force now is exact, so that Bias (plus DaylightBias in
        // daylight time) always gives the current offset, even in a year in
        // which the zone changed its standard offset.
        const struct tm* standard = local.tm_isdst > 0 ? standardProbe : &local;
        const struct tm* daylight = local.tm_isdst > 0 ? &local : daylightProbe;
        if (!standard) standard = &local;  // daylight time all year
        tzi->Bias = static_cast<LONG>(-(standard->tm_gmtoff / 60));
        tzi->StandardBias = 0;
        tzi->DaylightBias = daylight ? static_cast<LONG>(-(daylight->tm_gmtoff / 60)) - tzi->Bias : 0;
        auto copyName = [](WCHAR* to, const char* from) {
            for (int i = 0; i < 31 && from && from[i]; ++i) to[i] = static_cast<unsigned char>(from[i]);
        };
        copyName(tzi->StandardName, standard->tm_zone);
        if (daylight) copyName(tzi->DaylightName, daylight->tm_zone);
        if (!daylight) return TIME_ZONE_ID_UNKNOWN;
        return local.tm_isdst > 0 ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
    });
}

//===-- Local memory and security descriptors ---------------------------===//

HLOCAL LocalAlloc(UINT uFlags, size_t uBytes) {
    void* p = (uFlags & LMEM_ZEROINIT) ? calloc(1, uBytes ? uBytes : 1) : malloc(uBytes ? uBytes : 1);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL LocalFree(HLOCAL hMem) {
    free(hMem);
    return nullptr;
}

namespace {

// The absolute security descriptor's layout on a 64-bit platform.
struct SecurityDescriptor {
    BYTE Revision;
    BYTE Sbz1;
    WORD Control;
    void* Owner;
    void* Group;
    PACL Sacl;
    PACL Dacl;
};
static_assert(sizeof(SecurityDescriptor) == SECURITY_DESCRIPTOR_MIN_LENGTH);

constexpr WORD kDaclPresent = 0x0004;
constexpr WORD kDaclDefaulted = 0x0008;

}  // namespace

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (!pSecurityDescriptor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    memset(pSecurityDescriptor, 0, sizeof(SecurityDescriptor));
    static_cast<SecurityDescriptor*>(pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                               PACL pDacl, BOOL bDaclDefaulted) {
    auto* sd = static_cast<SecurityDescriptor*>(pSecurityDescriptor);
    if (!sd || sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    sd->Control &= static_cast<WORD>(~(kDaclPresent | kDaclDefaulted));
    if (bDaclPresent) {
        sd->Control |= kDaclPresent;
        sd->Dacl = pDacl;
        if (bDaclDefaulted) sd->Control |= kDaclDefaulted;
    } else {
        sd->Dacl = nullptr;
    }
    return TRUE;
}

namespace w32 {

bool GrantsEveryone(const SECURITY_ATTRIBUTES* sa) {
    if (!sa || !sa->lpSecurityDescriptor) return false;
    const auto* sd = static_cast<const SecurityDescriptor*>(sa->lpSecurityDescriptor);
    return sd->Revision == SECURITY_DESCRIPTOR_REVISION && (sd->Control & kDaclPresent) && !sd->Dacl;
}

}  // namespace w32

//===-- Windows -----------------------------------------------------------===//

namespace {

struct WindowRoutes {
    std::mutex lock;
    std::unordered_map<HWND, WNDPROC> procs;
};

WindowRoutes& Routes() {
    static WindowRoutes* routes = new WindowRoutes;
    return *routes;
}

}  // namespace

void TmRegisterWindowProc(HWND hWnd, WNDPROC lpfnWndProc) {
    w32::GuardSettingLastError<bool>(false, [&]() -> bool {
        WindowRoutes& routes = Routes();
        std::lock_guard<std::mutex> guard(routes.lock);
        if (lpfnWndProc) {
            routes.procs[hWnd] = lpfnWndProc;
        } else {
            routes.procs.erase(hWnd);
        }
        return true;
    });
}

LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc = nullptr;
    {
        WindowRoutes& routes = Routes();
        std::lock_guard<std::mutex> guard(routes.lock);
        auto it = routes.procs.find(hWnd);
        if (it != routes.procs.end()) proc = it->second;
    }
    if (!proc) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return proc(hWnd, Msg, wParam, lParam);
}
