//===-- win32/Layer.h - Services of the platform layer for the library ----===//
//
// What the library's subsystems need from the layer beyond the Win32
// interface: path rules of this platform, the registry database's location
// and the namespace of named kernel objects derived from it. Nothing here
// exposes a POSIX type; system calls live behind win32/SysCalls.h.
//===----------------------------------------------------------------------===//
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "Win32Internal.h"

// TM_THREAD_SANITIZER is defined in a ThreadSanitizer build (GCC says so
// with __SANITIZE_THREAD__, clang with __has_feature): the layer then tells
// the sanitizer about locks it cannot see, such as a process-shared mutex
// taken through another mapping or inherited from a dead owner.
#if defined(__SANITIZE_THREAD__)
#define TM_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TM_THREAD_SANITIZER 1
#endif
#endif
#ifdef TM_THREAD_SANITIZER
#include <sanitizer/tsan_interface.h>
#endif

namespace w32 {

// The path separator of this platform, used wherever Windows code builds a
// path with a backslash.
inline constexpr char kPathSeparator = '/';

// The part of a path after its last '/' or '\', or the whole path.
const char* BaseName(const char* path);

// True for '/' and '\': a name may come from either platform's code.
inline bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

// True unless the library's file lies inside the build tree it was built
// in (TM_BUILD_TREE, fixed when the build was configured): an installed
// library takes the machine's registry and log directory by default, a
// build-tree one the developer's own.
bool RunsInstalled();

// Location of the registry: the one chosen with ChooseRegistryLocation,
// else $TAMARAK_REGISTRY (a postgresql:// URI as it is, a file made
// absolute), else for an installed library TM_SYSTEM_REGISTRY
// (/var/lib/tamarak/registry.db), else $XDG_STATE_HOME/tamarak/registry.db,
// else $HOME/.local/state/tamarak/registry.db. Fixed at the first call:
// everything that depends on the location (the store, the namespace of
// named objects) asks here, so nothing can have used another one.
const std::string& RegistryDatabasePath();

// Chooses the registry this process will use, written as TAMARAK_REGISTRY
// takes it; NULL or "" goes back to the environment and the default.
// ERROR_SUCCESS while RegistryDatabasePath has not fixed the location yet,
// and afterwards when the choice names the location that was fixed (two
// spellings of one file are one location); else ERROR_BUSY, and nothing
// changes.
LONG ChooseRegistryLocation(const char* location);

// path as it is when it starts with '/', else below the current directory.
std::string AbsolutePath(const std::string& path);

// Prefix of the names of shared kernel objects of this installation,
// derived from the registry database's path: two installations, or two
// test runs with their own TAMARAK_REGISTRY, never share an object.
const std::string& ObjectNamespace();

// The namespace that a registry database at this absolute path, or a
// registry at this postgresql:// location, gives.
std::string ObjectNamespaceFor(const std::string& databasePath);

// First-use initialisation of process-wide state: Run calls its function
// once per process, whichever thread comes first; the others wait until it
// has returned. A call made from inside that function by the same thread
// (an error report that needs the very state being set up) returns at once
// and finds that state as far as it is filled. Constant-initialised, so it
// may be used from static initialisers and at exit.
class OnceInit {
public:
    template <class Fn>
    void Run(Fn&& fn) {
        if (m_done.load(std::memory_order_acquire)) return;
        const std::thread::id self = std::this_thread::get_id();
        if (m_runner.load(std::memory_order_relaxed) == self) return;
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_done.load(std::memory_order_relaxed)) return;
        m_runner.store(self, std::memory_order_relaxed);
        struct Finish {
            OnceInit* once;
            ~Finish() {
                once->m_runner.store(std::thread::id(), std::memory_order_relaxed);
                once->m_done.store(true, std::memory_order_release);
            }
        } finish{this};
        fn();
    }
    bool Done() const { return m_done.load(std::memory_order_acquire); }

    // Calls fn while no Run is in progress in another thread: after one
    // that has begun has returned, and before one that has not begun
    // starts, so fn sees the state either untouched or whole.
    template <class Fn>
    void Excluding(Fn&& fn) {
        if (m_runner.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
            fn();
            return;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        fn();
    }

private:
    std::mutex m_lock;
    std::atomic<bool> m_done{false};
    std::atomic<std::thread::id> m_runner{};
};

// Reads the value as a number (its first bytes, least significant first;
// a missing value or one longer than 4 bytes counts as 0), stores
// ((number + 1) & dwMask) as a REG_DWORD and gives it in *pdwNext, all in
// one write transaction of the registry. The handle needs KEY_QUERY_VALUE
// and KEY_SET_VALUE. Returns the Win32 code, as RegSetValueExA does.
LONG RegIncrementValue(HKEY hKey, const char* lpValueName, DWORD dwMask, DWORD* pdwNext);

// The current calendar time, read through the system-call table so that
// tests can move the clock.
time_t CurrentTime();

// The machine's host name, as Windows Sockets' gethostname gives it, into
// a buffer of nSize bytes; false (the buffer then holds no name) when the
// system cannot tell it or it does not fit.
bool MachineHostName(char* pszName, size_t nSize);

// What mktime returns for these fields read as the machine's local
// standard time (tm_isdst 0; nYear counts from 1900, nMonth from 0; the
// fields may lie outside their usual ranges), as a 64-bit value, -1 where
// mktime fails. Follows TZ as mktime does, at a fraction of its cost.
int64_t LocalStandardTime(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond);

// The runtime's random numbers as the multithreaded runtime keeps them:
// one sequence per thread. After SeedThreadRandom(seed) the thread's
// ThreadRandom values are those of the C library's rand() after
// srand(seed); nothing else's sequence moves.
void SeedThreadRandom(unsigned seed);
int ThreadRandom();

// A stamp of the machine's time zone file /etc/localtime (device, inode,
// modification time, size, as the C library checks it when TZ is unset);
// it changes when the file is replaced, 0 when there is none.
uint64_t LocalZoneFileStamp();

// _fsopen for a stream that is only read or written through, never
// positioned: a text stream keeps stdio's buffer (tm_fopen's text streams
// keep none, so that ftell and fseek are exact), which spares a system
// call per write.
FILE* OpenBufferedStream(const char* path, const char* mode, int shflag);

// OpenBufferedStream for a file that no other program opens while this
// stream is open: one this process has just created under a name that
// others only look at once it is complete (a queue file that an envelope
// or a rename publishes after it is closed). It sets no share-mode marks,
// which spares their system calls; another opener's share mode does not
// see this stream.
FILE* OpenPrivateStream(const char* path, const char* mode);

// True when the attributes carry a security descriptor whose DACL is
// present and NULL: what Windows reads as full access for every account.
bool GrantsEveryone(const SECURITY_ATTRIBUTES* sa);

// The executable's path, which GetModuleFileNameA(NULL) gives: read once,
// when the library loads, as Windows fixes it for a process's life (read
// later, /proc/self/exe says "NAME (deleted)" once an upgrade has replaced
// the file). RememberExecutablePath reads it through the system-call
// table unless it is known already; GetModuleFileNameA calls it when
// nothing is remembered yet, so ForgetExecutablePath lets a test that
// fakes readlink have it read again.
bool RememberExecutablePath();
void ForgetExecutablePath();

// The Win32 error code that stands for an errno value.
DWORD ErrnoToWin32(int err);

}  // namespace w32
