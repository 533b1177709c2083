//===-- win32/Layer.cpp - Last error, paths and the object namespace ------===//
//
// The thread's last error, the path rules of this platform, where the
// registry database lives and the namespace of named kernel objects that
// follows from it.
//===----------------------------------------------------------------------===//
#include "Layer.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "RegistryLocation.h"
#include "SysCalls.h"

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

namespace w32 {

const char* BaseName(const char* path) {
    if (!path) return "";
    const char* base = path;
    for (const char* p = path; *p; ++p) {
        if (IsPathSeparator(*p)) base = p + 1;
    }
    return base;
}

bool RunsInstalled() {
    static const bool installed = [] {
        // The library's own file: for a program linked with the archive
        // (the tests), the program's.
        Dl_info info;
        if (Sys().dladdr(reinterpret_cast<void*>(&RunsInstalled), &info) == 0 || !info.dli_fname) {
            return true;
        }
        char self[PATH_MAX], tree[PATH_MAX];
        if (!Sys().realpath(info.dli_fname, self) || !Sys().realpath(TM_BUILD_TREE, tree)) return true;
        size_t n = strlen(tree);
        return !(strncmp(self, tree, n) == 0 && self[n] == '/');
    }();
    return installed;
}

namespace {

std::string DefaultRegistryPath() {
    // One registry for every account of the machine once installed; its
    // directory is made by `tmctl reg init`, by whoever may write there.
    if (RunsInstalled()) return TM_SYSTEM_REGISTRY;
    std::string dir;
    if (const char* state = getenv("XDG_STATE_HOME"); state && *state == '/') {
        dir = std::string(state) + "/tamarak";
    } else if (const char* home = getenv("HOME"); home && *home == '/') {
        dir = std::string(home) + "/.local/state/tamarak";
    } else {
        dir = "/tmp/tamarak-" + std::to_string(getuid());
    }
    // Make the directories on the way; a failure shows later as a registry
    // database that cannot be opened.
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos == dir.size() || dir[pos] == '/') {
            Sys().mkdir(dir.substr(0, pos).c_str(), 0700);
        }
    }
    return dir + "/registry.db";
}

}  // namespace

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!Sys().getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

namespace {

// The location chosen with ChooseRegistryLocation (empty: none) and, once
// fixed, the location itself. g_bLocationFixed is set under
// g_locationLock after the fixed location, which never changes again; the
// fast path of RegistryDatabasePath reads it without the lock. The strings
// are never destroyed: at process exit the C library runs the static
// destructors while the process's other threads may still name objects.
std::mutex g_locationLock;
std::atomic<bool> g_bLocationFixed{false};

std::string& ChosenLocation() {
    static std::string* location = new std::string;
    return *location;
}

std::string& FixedLocation() {
    static std::string* location = new std::string;
    return *location;
}

// A location as TAMARAK_REGISTRY takes it: a postgresql:// URI as it is,
// a file's path made absolute against the current directory.
std::string LocationAsGiven(const char* text) {
    return reg::IsPostgresLocation(text) ? std::string(text) : AbsolutePath(text);
}

std::string LocationFromEnvironment() {
    const char* env = getenv("TAMARAK_REGISTRY");
    if (env && *env) return LocationAsGiven(env);
    return DefaultRegistryPath();
}

}  // namespace

const std::string& RegistryDatabasePath() {
    if (g_bLocationFixed.load(std::memory_order_acquire)) return FixedLocation();
    std::lock_guard<std::mutex> guard(g_locationLock);
    if (!g_bLocationFixed.load(std::memory_order_relaxed)) {
        FixedLocation() = ChosenLocation().empty() ? LocationFromEnvironment() : ChosenLocation();
        g_bLocationFixed.store(true, std::memory_order_release);
    }
    return FixedLocation();
}

LONG ChooseRegistryLocation(const char* location) {
    const std::string wanted = location && *location ? LocationAsGiven(location) : std::string();
    std::lock_guard<std::mutex> guard(g_locationLock);
    if (!g_bLocationFixed.load(std::memory_order_relaxed)) {
        ChosenLocation() = wanted;
        return ERROR_SUCCESS;
    }
    // Too late to choose: the store may be open and named objects made in
    // the fixed location's namespace. Naming that same location again is
    // harmless.
    const std::string effective = wanted.empty() ? LocationFromEnvironment() : wanted;
    const std::string& fixed = FixedLocation();
    if (effective == fixed || ObjectNamespaceFor(effective) == ObjectNamespaceFor(fixed)) {
        return ERROR_SUCCESS;
    }
    return ERROR_BUSY;
}

namespace {

// The database's directory resolved, so that two spellings of one
// installation's path meet in the same namespace.
std::string ResolvedDatabasePath(const std::string& databasePath) {
    std::string path = databasePath;
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    char resolved[PATH_MAX];
    if (Sys().realpath(dir.empty() ? "/" : dir.c_str(), resolved)) {
        path = std::string(resolved) + (slash == std::string::npos ? "/" + path : path.substr(slash));
    }
    return path;
}

}  // namespace

std::string ObjectNamespaceFor(const std::string& databasePath) {
    // A server's registry goes by its identity, the same on every host.
    const std::string path = reg::IsPostgresLocation(databasePath)
                                 ? reg::ParseRegistryLocation(databasePath).identity
                                 : ResolvedDatabasePath(databasePath);
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
    for (unsigned char c : path) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    char text[32];
    snprintf(text, sizeof text, "tamarak.%016llx.", (unsigned long long)hash);
    return text;
}

const std::string& ObjectNamespace() {
    // Never destroyed, for the threads that still make named objects while
    // the process exits.
    static const std::string* prefix = new std::string(ObjectNamespaceFor(RegistryDatabasePath()));
    return *prefix;
}

time_t CurrentTime() {
    struct timespec ts;
    if (Sys().clockGettime(CLOCK_REALTIME, &ts) != 0) return time(nullptr);
    return ts.tv_sec;
}

bool MachineHostName(char* pszName, size_t nSize) {
    if (!pszName || nSize == 0) return false;
    if (Sys().gethostname(pszName, nSize) != 0 || !memchr(pszName, '\0', nSize)) {
        pszName[0] = '\0';
        return false;
    }
    return true;
}

uint64_t LocalZoneFileStamp() {
    struct stat st;
    if (Sys().stat("/etc/localtime", &st) != 0) return 0;
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a over the fields
    for (uint64_t field : {uint64_t(st.st_dev), uint64_t(st.st_ino), uint64_t(st.st_mtim.tv_sec),
                           uint64_t(st.st_mtim.tv_nsec), uint64_t(st.st_size)}) {
        for (int i = 0; i < 8; ++i) {
            hash ^= (field >> (8 * i)) & 0xFF;
            hash *= 0x100000001b3ull;
        }
    }
    return hash ? hash : 1;
}

namespace {

// rand() is random() on the 128-byte state that srand() seeds; the
// reentrant form on a state of the same size gives the same values.
struct ThreadRandomState {
    char state[128];
    struct random_data data;
    bool seeded = false;
};

ThreadRandomState& RandomState() {
    static thread_local ThreadRandomState random;
    return random;
}

}  // namespace

void SeedThreadRandom(unsigned seed) {
    ThreadRandomState& random = RandomState();
    memset(&random.data, 0, sizeof random.data);
    initstate_r(seed, random.state, sizeof random.state, &random.data);
    random.seeded = true;
}

int ThreadRandom() {
    ThreadRandomState& random = RandomState();
    // An unseeded sequence starts as srand(1) would.
    if (!random.seeded) SeedThreadRandom(1);
    int32_t value = 0;
    random_r(&random.data, &value);
    return value;
}

DWORD ErrnoToWin32(int err) {
    switch (err) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR: return ERROR_ACCESS_DENIED;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST: return ERROR_FILE_EXISTS;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case EAGAIN: return ERROR_LOCK_VIOLATION;
        case EPIPE: return ERROR_BROKEN_PIPE;
        case ETIMEDOUT: return ERROR_TIMEOUT;
        case EIO: return ERROR_GEN_FAILURE;
        default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace w32
