//===-- win32/SharedSegment.cpp - The memory behind mutexes and events ----===//
//
// Named objects are files in /dev/shm called
// <ObjectNamespace()>obj.<encoded name>: letters, digits, '-', '_' and '.'
// stand for themselves, every other byte is %XX; a name whose encoding
// would not fit in a file name becomes '~' and a 128-bit hash. "obj."
// keeps object names away from other files of the namespace (the
// registry's writer lock). The file is one page: a SegmentHeader (magic,
// layout version, kind, the full name) and, at kStateOffset, the state.
//
// Lifetime. Every process that has a named object open holds a shared
// flock on its file through an open file description of its own, used for
// nothing else: a mapping keeps a reference to the description it was made
// from, and a lock on that one would outlive the close. So:
//   - a file is only ever linked under its name fully initialised: it is
//     made as an unnamed O_TMPFILE, filled in, locked and then linked with
//     linkat, which fails if the name is taken. Racing creators cannot both
//     win and no one ever sees half an object, even if its creator dies;
//   - the last holder removes the file: on close it opens a probe, lets go
//     of its own descriptor and, if an exclusive non-blocking lock on the
//     probe succeeds, nobody else holds the object and it unlinks it;
//   - an opener that gets the exclusive lock finds a file that no live
//     process holds (its holders died): it counts as absent and is removed;
//   - a process that ends normally lets go of what it still holds at exit,
//     so only a process that is killed leaves a file for the next opener;
//   - a file that nobody holds but that the opener may not remove (another
//     account's file: /dev/shm is sticky) is taken over in place. Under
//     its exclusive flock and a takeover lock (an OFD lock on its first
//     byte) the page is made a new object's, as if the file had been
//     removed and created anew; the takeover lock is let go only once the
//     exclusive flock has become a shared one, which flock does not do
//     atomically, so no second opener can take the same file over in
//     between;
//   - every unlink happens under the exclusive lock and only after checking
//     that the name still leads to the locked file, and every opener checks
//     after its shared lock that the name still leads to its file, so an
//     opener never keeps a file that a closer is removing.
// No lock spans the namespace: a process stopped in a debugger holds up
// nobody but the openers of the very file it is retiring.
//
// Access. A file is created with mode 0666 less the umask, or 0666 for an
// object open to every account (a NULL DACL); an account that may not
// read and write the file cannot open the object (ERROR_ACCESS_DENIED).
//
// Fork. A child shares its parent's open file descriptions, and flock
// locks belong to those. A closer therefore never unlocks its own
// descriptor (that would drop the lock for a child still using the object)
// but closes it and tests with a fresh probe; the object lives while any
// process still has the description open.
//
// Contents:
//   1. Names
//   2. Files: locks, checks, creation and retirement
//   3. The process's segment store
//   4. Opening and creating
//   5. The registry's page
//===----------------------------------------------------------------------===//
#include "SharedSegment.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "Layer.h"
#include "SysCalls.h"

namespace w32 {

namespace {

constexpr uint32_t kSegmentMagic = 0x4F4B4D54;  // "TMKO"
constexpr uint16_t kSegmentVersion = 1;
constexpr const char kShmDir[] = "/dev/shm";
constexpr const char kObjectPrefix[] = "obj.";
// Attempts at finding or creating one name before giving up; each failed
// attempt means another process created or retired the file meanwhile.
constexpr int kMaxAttempts = 1000;

struct SegmentHeader {
    uint32_t magic;
    uint16_t version;
    uint16_t kind;
    uint32_t nameLength;
    char name[MAX_PATH + 1];
};
static_assert(sizeof(SegmentHeader) <= kStateOffset);

//===-- 1. Names --------------------------------------------------------===//

bool IsPlainNameChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_' || c == '.';
}

// FNV-1a, 128 bits. Only names too long for a file name are hashed; the
// full name kept in the header tells a collision from the same name.
std::string NameHash(const std::string& name) {
    unsigned __int128 hash = (static_cast<unsigned __int128>(0x6c62272e07bb0142ull) << 64) |
                             0x62b821756295c58dull;
    const unsigned __int128 prime = (static_cast<unsigned __int128>(1) << 88) | 0x13b;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= prime;
    }
    char text[33];
    snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(hash >> 64),
             static_cast<unsigned long long>(hash));
    return text;
}

// Windows resolves "Global\" and "Local\" to the one session namespace
// that every process here shares; any other '\' names an object directory
// that does not exist.
DWORD CanonicalName(const char* lpName, std::string* canonical) {
    size_t length = strlen(lpName);
    // The ANSI functions convert the name into a buffer of MAX_PATH + 1
    // wide characters.
    if (length > MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    const char* name = lpName;
    for (const char* prefix : {"Global\\", "Local\\"}) {
        size_t n = strlen(prefix);
        if (strncmp(name, prefix, n) == 0) {
            name += n;
            break;
        }
    }
    if (!*name) return ERROR_INVALID_NAME;
    if (strchr(name, '\\')) return ERROR_PATH_NOT_FOUND;
    canonical->assign(name);
    return ERROR_SUCCESS;
}

std::string FileNameFor(const std::string& canonical) {
    const std::string prefix = ObjectNamespace() + kObjectPrefix;
    std::string encoded;
    encoded.reserve(canonical.size());
    for (unsigned char c : canonical) {
        if (IsPlainNameChar(c)) {
            encoded += static_cast<char>(c);
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            encoded += hex;
        }
    }
    // '~' never comes out of the encoding, so a hashed name cannot meet an
    // encoded one.
    if (prefix.size() + encoded.size() > NAME_MAX) return prefix + "~" + NameHash(canonical);
    return prefix + encoded;
}

//===-- 2. Files: locks, checks, creation and retirement ------------------===//

int Flock(int fd, int operation) {
    int r;
    do {
        r = Sys().flock(fd, operation);
    } while (r != 0 && errno == EINTR);
    return r;
}

// True if path names the file open on fd.
bool NamesFile(int fd, const std::string& path) {
    struct stat open, named;
    if (Sys().fstat(fd, &open) != 0 || Sys().stat(path.c_str(), &named) != 0) return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// Gives up this process's hold on a published file and removes the file if
// no other holder remains.
void ReleaseHolder(int fd, const std::string& path) {
    // While fd's shared lock stands, nobody can unlink the file, so the
    // probe opens this very file.
    int probe = Sys().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    Sys().close(fd);
    // Without a probe the file stays; the next opener finds no holder and
    // removes it.
    if (probe < 0) return;
    if (Flock(probe, LOCK_EX | LOCK_NB) == 0 && NamesFile(probe, path)) {
        Sys().unlink(path.c_str());
    }
    Sys().close(probe);
}

bool WriteZeroPage(int fd) {
    static const char zeros[kSegmentSize] = {};
    size_t done = 0;
    while (done < sizeof zeros) {
        ssize_t n = Sys().write(fd, zeros + done, sizeof zeros - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

char* MapSegment(int fd) {
    int flags = fd >= 0 ? MAP_SHARED : MAP_SHARED | MAP_ANONYMOUS;
    void* p = Sys().mmap(nullptr, kSegmentSize, PROT_READ | PROT_WRITE, flags, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char*>(p);
}

// A second open file description of the file open on fd (linked or not).
int Reopen(int fd, int flags) {
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return Sys().open(self, flags | O_CLOEXEC, 0);
}

// Maps the file whose holder's lock is on holdFd, through a description of
// its own (see "Lifetime").
char* MapHeldFile(int holdFd) {
    int fd = Reopen(holdFd, O_RDWR);
    if (fd < 0) return nullptr;
    char* base = MapSegment(fd);
    int err = errno;
    Sys().close(fd);
    errno = err;
    return base;
}

void WriteHeader(char* base, ObjectKind kind, const std::string& canonical) {
    SegmentHeader* header = reinterpret_cast<SegmentHeader*>(base);
    header->magic = kSegmentMagic;
    header->version = kSegmentVersion;
    header->kind = static_cast<uint16_t>(kind);
    header->nameLength = static_cast<uint32_t>(canonical.size());
    memcpy(header->name, canonical.data(), canonical.size());
}

}  // namespace

// Builds and takes apart Segments for the functions of this file.
struct SegmentAccess {
    static std::shared_ptr<Segment> New(ObjectKind kind) {
        return std::shared_ptr<Segment>(new Segment(kind));
    }
    static char*& Base(Segment& s) { return s.m_base; }
    static int& Fd(Segment& s) { return s.m_fd; }
    static std::string& Path(Segment& s) { return s.m_path; }
    static bool& Published(Segment& s) { return s.m_published; }
    static bool& Registered(Segment& s) { return s.m_registered; }
};

namespace {

//===-- 3. The process's segment store ----------------------------------===//

// Live segments of this process and the named ones by file, so that every
// handle of the process to one object shares a single mapping.
struct SegmentStore {
    std::mutex lock;
    std::unordered_map<std::string, std::weak_ptr<Segment>> named;
    std::unordered_set<Segment*> live;
    // New objects being prepared outside the lock, not yet published.
    std::unordered_set<Segment*> pending;
};

SegmentStore* g_store;

void ChildAfterFork() {
    // The child's only thread is the one that forked; no thread of the
    // child owns a mutex (the C library empties the robust list too).
    for (auto it = g_store->live.begin(); it != g_store->live.end();) {
        Segment* segment = *it;
        segment->m_ownerThread.store(0, std::memory_order_relaxed);
        segment->m_ownerDepth.store(0, std::memory_order_relaxed);
        if (segment->weak_from_this().expired()) {
            // A thread that does not exist here was about to retire this
            // segment. Its descriptor must not keep the object alive for
            // as long as the child lives.
            int& fd = SegmentAccess::Fd(*segment);
            if (fd >= 0) Sys().close(fd);
            fd = -1;
            it = g_store->live.erase(it);
        } else {
            ++it;
        }
    }
    // The same for objects a vanished thread was creating.
    for (Segment* segment : g_store->pending) {
        int& fd = SegmentAccess::Fd(*segment);
        if (fd >= 0) Sys().close(fd);
        fd = -1;
    }
    g_store->pending.clear();
    g_store->lock.unlock();
}

// Never destroyed: handles may be closed by static destructors that run
// after this file's statics are gone.
SegmentStore& Store() {
    static SegmentStore* store = [] {
        g_store = new SegmentStore;
        pthread_atfork([] { g_store->lock.lock(); }, [] { g_store->lock.unlock(); },
                       ChildAfterFork);
        return g_store;
    }();
    return *store;
}

// At the end of a process that did not close every handle: let go of the
// files so that the last holder removes them, rather than leaving them for
// the next opener to find without holders. Runs after the static
// destructors (lowest priority), which may still close handles; the
// mappings stay, in case anything runs later still. A process that dies
// or calls _exit leaves its files to the next opener.
__attribute__((destructor(101))) void ReleaseHoldsAtExit() {
    if (!g_store) return;
    // Another thread may be inside the store for good (blocked in an open);
    // exit must not wait for it.
    std::unique_lock<std::mutex> guard(g_store->lock, std::try_to_lock);
    if (!guard.owns_lock()) return;
    for (Segment* segment : g_store->live) {
        int& fd = SegmentAccess::Fd(*segment);
        if (fd >= 0 && SegmentAccess::Published(*segment)) {
            ReleaseHolder(fd, SegmentAccess::Path(*segment));
            fd = -1;
        }
    }
}

// Enters a published or private segment in the store; the caller holds
// the store's lock.
void Register(SegmentStore& store, const std::shared_ptr<Segment>& segment) {
    store.live.insert(segment.get());
    if (!SegmentAccess::Path(*segment).empty()) {
        store.named[SegmentAccess::Path(*segment)] = segment;
    }
    SegmentAccess::Registered(*segment) = true;
}

//===-- 4. Opening and creating -----------------------------------------===//

enum class Lookup { Found, Absent, Retry, Unowned, Failed };

// The takeover lock of a file that nobody holds (see "Lifetime"); fd must
// be open for writing. Never waits.
bool TakeOverLock(int fd, short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    int r;
    do {
        r = Sys().fcntlLock(fd, F_OFD_SETLK, &lock);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

// Opens the published file at path and takes a holder's lock on it.
// Unowned: nobody holds the file and this process may not remove it;
// *pFd then holds its exclusive flock and its takeover lock.
Lookup OpenPublished(const std::string& path, int* pFd, DWORD* pError) {
    int fd = Sys().open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) {
        if (errno == ENOENT) return Lookup::Absent;
        if (errno == EINTR) return Lookup::Retry;
        *pError = ErrnoToWin32(errno);
        return Lookup::Failed;
    }
    if (Flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // Nobody holds it: the file of holders that died, or that another
        // account let go of last. It counts as absent; remove it and look
        // again.
        if (NamesFile(fd, path) && Sys().unlink(path.c_str()) != 0 && (errno == EPERM || errno == EACCES) &&
            TakeOverLock(fd, F_WRLCK)) {
            *pFd = fd;
            return Lookup::Unowned;
        }
        // Another opener is taking the file over: it holds the shared
        // lock as soon as this descriptor is closed.
        Sys().close(fd);
        return Lookup::Retry;
    }
    if (errno != EWOULDBLOCK || Flock(fd, LOCK_SH) != 0) {
        *pError = ErrnoToWin32(errno);
        Sys().close(fd);
        return Lookup::Failed;
    }
    // The lock may have come after a closer removed the file.
    if (!NamesFile(fd, path)) {
        Sys().close(fd);
        return Lookup::Retry;
    }
    *pFd = fd;
    return Lookup::Found;
}

// Maps a published file this process holds and checks that it is the
// object asked for.
std::shared_ptr<Segment> MapPublished(int fd, const std::string& path, ObjectKind kind,
                                      const std::string& canonical, DWORD* pError) {
    struct stat st;
    char* base = nullptr;
    if (Sys().fstat(fd, &st) != 0) {
        *pError = ErrnoToWin32(errno);
    } else if (st.st_size != static_cast<off_t>(kSegmentSize)) {
        *pError = ERROR_INVALID_HANDLE;  // not an object of this layer
    } else if (!(base = MapHeldFile(fd))) {
        *pError = ErrnoToWin32(errno);
    } else {
        const SegmentHeader* header = reinterpret_cast<const SegmentHeader*>(base);
        bool same = header->magic == kSegmentMagic && header->version == kSegmentVersion &&
                    header->nameLength == canonical.size() &&
                    memcmp(header->name, canonical.data(), canonical.size()) == 0;
        // Windows: one namespace for every kind; a name taken by another
        // kind gives ERROR_INVALID_HANDLE.
        if (same && header->kind == static_cast<uint16_t>(kind)) {
            std::shared_ptr<Segment> segment = SegmentAccess::New(kind);
            SegmentAccess::Base(*segment) = base;
            SegmentAccess::Fd(*segment) = fd;
            SegmentAccess::Path(*segment) = path;
            SegmentAccess::Published(*segment) = true;
            return segment;
        }
        *pError = ERROR_INVALID_HANDLE;
    }
    if (base) Sys().munmap(base, kSegmentSize);
    ReleaseHolder(fd, path);
    return nullptr;
}

// A file that nobody holds, made a new object's page in place; fd holds
// its exclusive flock and its takeover lock. On failure fd is closed.
std::shared_ptr<Segment> TakeOver(int fd, const std::string& path, ObjectKind kind,
                                  const std::string& canonical, DWORD* pError) {
    struct stat st;
    char* base = nullptr;
    if (Sys().fstat(fd, &st) != 0) {
        *pError = ErrnoToWin32(errno);
    } else if (st.st_size != static_cast<off_t>(kSegmentSize)) {
        *pError = ERROR_INVALID_HANDLE;  // not an object of this layer
    } else if (!(base = MapHeldFile(fd))) {
        *pError = ErrnoToWin32(errno);
    } else {
        memset(base, 0, kSegmentSize);
        WriteHeader(base, kind, canonical);
        std::shared_ptr<Segment> segment = SegmentAccess::New(kind);
        SegmentAccess::Base(*segment) = base;
        SegmentAccess::Fd(*segment) = fd;
        SegmentAccess::Path(*segment) = path;
        SegmentAccess::Published(*segment) = true;
        return segment;
    }
    Sys().close(fd);
    return nullptr;
}

// A new object's file, filled in and held but not yet linked under a name.
std::shared_ptr<Segment> NewUnpublished(ObjectKind kind, const std::string& canonical,
                                        bool bOpenToAll, DWORD* pError) {
    int fd = Sys().open(kShmDir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) {
        *pError = ErrnoToWin32(errno);
        return nullptr;
    }
    // The umask would take access away from other accounts.
    if (bOpenToAll && Sys().fchmod(fd, 0666) != 0) {
        *pError = ErrnoToWin32(errno);
        Sys().close(fd);
        return nullptr;
    }
    std::shared_ptr<Segment> segment = SegmentAccess::New(kind);
    // Writing the page rather than sizing the file: a full /dev/shm then
    // fails here instead of raising SIGBUS at the first touch of the map.
    char* base = nullptr;
    int holdFd = -1;
    bool ok = WriteZeroPage(fd) && (base = MapSegment(fd)) &&
              (holdFd = Reopen(fd, O_RDONLY)) >= 0 && Flock(holdFd, LOCK_SH) == 0;
    int err = errno;
    Sys().close(fd);
    SegmentAccess::Base(*segment) = base;
    SegmentAccess::Fd(*segment) = holdFd;
    if (!ok) {
        *pError = ErrnoToWin32(err);
        return nullptr;
    }
    WriteHeader(base, kind, canonical);
    return segment;
}

// Links a new object's file under path; false with errno EEXIST if another
// process published one first.
bool Publish(Segment& segment, const std::string& path) {
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", SegmentAccess::Fd(segment));
    if (Sys().linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        return false;
    }
    SegmentAccess::Path(segment) = path;
    SegmentAccess::Published(segment) = true;
    return true;
}

}  // namespace

Segment::~Segment() {
    // Unregistered segments never left the function that made them, which
    // may hold the store's lock.
    std::unique_lock<std::mutex> guard;
    if (m_registered) {
        SegmentStore& store = Store();
        guard = std::unique_lock<std::mutex>(store.lock);
        store.live.erase(this);
        auto it = store.named.find(m_path);
        if (it != store.named.end() && it->second.expired()) store.named.erase(it);
    }
    // A page that a live thread's robust list points into stays mapped for
    // the life of the process (see m_ownerThread).
    if (m_base && m_ownerThread.load(std::memory_order_relaxed) == 0) {
        Sys().munmap(m_base, kSegmentSize);
    }
    if (m_fd >= 0) {
        if (m_published) {
            ReleaseHolder(m_fd, m_path);
        } else {
            Sys().close(m_fd);
        }
    }
}

std::string SegmentFilePrefix() {
    return std::string(kShmDir) + "/" + ObjectNamespace() + kObjectPrefix;
}

std::string SegmentFilePath(const char* lpName, DWORD* pError) {
    std::string canonical;
    *pError = CanonicalName(lpName, &canonical);
    if (*pError != ERROR_SUCCESS) return std::string();
    return std::string(kShmDir) + "/" + FileNameFor(canonical);
}

std::shared_ptr<Segment> OpenNamedSegment(const char* lpName, ObjectKind kind, bool bMayCreate,
                                          bool bOpenToAll, const SegmentStep& init,
                                          const SegmentStep& discard, bool* pbCreated,
                                          DWORD* pError) {
    std::string canonical;
    *pError = CanonicalName(lpName, &canonical);
    if (*pError != ERROR_SUCCESS) return nullptr;
    const std::string path = std::string(kShmDir) + "/" + FileNameFor(canonical);
    *pbCreated = false;

    SegmentStore& store = Store();
    // Declared before the lock: if this is the last reference to a segment
    // that another thread just closed, its destructor takes the lock.
    std::shared_ptr<Segment> segment;
    std::unique_lock<std::mutex> guard(store.lock);

    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        auto it = store.named.find(path);
        if (it != store.named.end() && (segment = it->second.lock())) {
            if (segment->Kind() == kind) return segment;
            *pError = ERROR_INVALID_HANDLE;
            return nullptr;
        }
        int fd = -1;
        switch (OpenPublished(path, &fd, pError)) {
            case Lookup::Found:
                segment = MapPublished(fd, path, kind, canonical, pError);
                if (segment) Register(store, segment);
                return segment;
            case Lookup::Failed:
                return nullptr;
            case Lookup::Retry:
                continue;
            case Lookup::Unowned: {
                if (!bMayCreate) {
                    Sys().close(fd);
                    *pError = ERROR_FILE_NOT_FOUND;
                    return nullptr;
                }
                std::shared_ptr<Segment> taken = TakeOver(fd, path, kind, canonical, pError);
                if (!taken) return nullptr;
                store.pending.insert(taken.get());
                guard.unlock();
                init(*taken);
                const bool held = Flock(fd, LOCK_SH) == 0;
                const int err = errno;
                TakeOverLock(fd, F_UNLCK);
                // The owner may have removed the file while the lock
                // changed; its new object is the one to use.
                const bool named = held && NamesFile(fd, path);
                if (!named) discard(*taken);
                guard.lock();
                store.pending.erase(taken.get());
                if (named) {
                    Register(store, taken);
                    *pbCreated = true;
                    return taken;
                }
                taken.reset();
                if (!held) {
                    *pError = ErrnoToWin32(err);
                    return nullptr;
                }
                continue;
            }
            case Lookup::Absent:
                break;
        }
        if (!bMayCreate) {
            *pError = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        std::shared_ptr<Segment> fresh = NewUnpublished(kind, canonical, bOpenToAll, pError);
        if (!fresh) return nullptr;
        // The state is prepared outside the lock: a mutex taken for its
        // creator is never taken under the store's lock.
        store.pending.insert(fresh.get());
        guard.unlock();
        init(*fresh);
        guard.lock();
        store.pending.erase(fresh.get());
        if (Publish(*fresh, path)) {
            Register(store, fresh);
            *pbCreated = true;
            return fresh;
        }
        int err = errno;
        guard.unlock();
        discard(*fresh);
        fresh.reset();
        guard.lock();
        if (err != EEXIST) {
            *pError = ErrnoToWin32(err);
            return nullptr;
        }
        // Another process or thread published the name first: use its
        // object.
    }
    *pError = ERROR_GEN_FAILURE;
    return nullptr;
}

std::shared_ptr<Segment> CreatePrivateSegment(ObjectKind kind, const SegmentStep& init,
                                              DWORD* pError) {
    char* base = MapSegment(-1);
    if (!base) {
        *pError = ErrnoToWin32(errno);
        return nullptr;
    }
    std::shared_ptr<Segment> segment = SegmentAccess::New(kind);
    SegmentAccess::Base(*segment) = base;
    WriteHeader(base, kind, std::string());
    init(*segment);
    SegmentStore& store = Store();
    std::lock_guard<std::mutex> guard(store.lock);
    Register(store, segment);
    return segment;
}

//===-- 5. The registry's page --------------------------------------------===//

// The page's layout; the counter was added after the mutex, in bytes that
// the page's first layout left zero, so processes of either layout share
// one page.
struct RegistryShared {
    uint32_t magic;
    uint32_t reserved;
    pthread_mutex_t mutex;
    std::atomic<uint64_t> changes;
};

namespace {
constexpr uint32_t kRegistryPageMagic = 0x544d5257;  // "TMRW"
constexpr size_t kRegistryPageSize = 4096;
static_assert(sizeof(RegistryShared) <= kRegistryPageSize);
static_assert(std::atomic<uint64_t>::is_always_lock_free);
}  // namespace

RegistryPage& RegistryPage::Instance() {
    static RegistryPage* page = new RegistryPage;
    return *page;
}

bool RegistryPage::Map() {
    std::string path = std::string(kShmDir) + "/" + ObjectNamespace() + "registry-writer";
    int fd = Sys().open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0660);
    if (fd < 0) return false;
    // The file lock orders the first processes that meet a new file: one
    // sizes it and builds the mutex, the others wait and find it built.
    if (Flock(fd, LOCK_EX) != 0) {
        Sys().close(fd);
        return false;
    }
    bool ok = false;
    struct stat st;
    if (Sys().fstat(fd, &st) == 0 &&
        (st.st_size >= static_cast<off_t>(kRegistryPageSize) ||
         Sys().ftruncate(fd, kRegistryPageSize) == 0)) {
        void* p = Sys().mmap(nullptr, kRegistryPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) {
            auto* shared = static_cast<RegistryShared*>(p);
            ok = shared->magic == kRegistryPageMagic;
            if (!ok) {
                pthread_mutexattr_t attr;
                pthread_mutexattr_init(&attr);
                pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
                pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
                // A priority-inheriting mutex is a kernel futex that hands
                // ownership straight to the first waiter on unlock.
                pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
                ok = pthread_mutex_init(&shared->mutex, &attr) == 0;
                pthread_mutexattr_destroy(&attr);
                if (ok) __atomic_store_n(&shared->magic, kRegistryPageMagic, __ATOMIC_RELEASE);
            }
            if (ok) {
                m_shared = shared;
            } else {
                Sys().munmap(p, kRegistryPageSize);
            }
        }
    }
    Flock(fd, LOCK_UN);
    Sys().close(fd);
    return ok;
}

bool RegistryPage::AcquireWriter(int timeoutMs) {
    if (!Changes()) return false;
    int rc = pthread_mutex_trylock(&m_shared->mutex);
    if (rc == EBUSY) {
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += timeoutMs / 1000;
        deadline.tv_nsec += (timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        rc = pthread_mutex_timedlock(&m_shared->mutex, &deadline);
#ifdef TM_THREAD_SANITIZER
        // The sanitizer records a timed lock only when it returns 0; an
        // inherited lock is ours all the same. It is told as a lock of its
        // own, begun and finished: a finish alone unbalances the
        // sanitizer's count of the thread's open lock calls, and it stops
        // the process.
        if (rc == EOWNERDEAD) {
            __tsan_mutex_pre_lock(&m_shared->mutex, 0);
            __tsan_mutex_post_lock(&m_shared->mutex, 0, 1);
        }
#endif
    }
    if (rc == EOWNERDEAD) {
        // The holder died inside a write; the store rolls its transaction
        // back, so the lock itself is all that is left.
        pthread_mutex_consistent(&m_shared->mutex);
        rc = 0;
    }
    return rc == 0;
}

void RegistryPage::ReleaseWriter() { pthread_mutex_unlock(&m_shared->mutex); }

std::atomic<uint64_t>* RegistryPage::Changes() {
    // Mapped once; callers come from one store's lock, or from several
    // threads at once when more than one store is open.
    static std::once_flag once;
    std::call_once(once, [this] { Map(); });
    return m_shared ? &m_shared->changes : nullptr;
}

}  // namespace w32
