//===-- win32/KernelObjects.cpp - Mutexes, events and waits on them -------===//
//
// CreateMutexA, OpenMutexA, ReleaseMutex, CreateEventA, OpenEventA,
// SetEvent, ResetEvent and the waits of WaitForSingleObject on both kinds,
// over the shared pages of SharedSegment.cpp.
//
// Mutex: a robust, process-shared, recursive pthread mutex. Robustness is
// what makes a dead owner visible: when the owning thread or process dies
// the kernel marks the mutex and the next locker gets EOWNERDEAD, which is
// made consistent at once and reported as WAIT_ABANDONED with the caller
// as owner. Taking and releasing a free mutex costs no system call.
//
// Event: a futex on a shared word. `signalled` is the state; `seq` counts
// the times the event went from reset to set and is the word waiters sleep
// on. A manual-reset waiter leaves when the event is set or `seq` moved
// since it began, so that SetEvent followed at once by ResetEvent still
// releases everyone who was waiting, as on Windows. An auto-reset waiter
// leaves only by taking the signal with a compare-and-swap 1 -> 0, so one
// SetEvent releases exactly one waiter. `waiters` only spares SetEvent the
// wake-up call when nobody sleeps; a waiter killed while counted costs a
// needless wake-up, nothing worse.
//
// Access: a handle remembers its access. As on Windows a wait needs
// SYNCHRONIZE and SetEvent/ResetEvent need EVENT_MODIFY_STATE (else
// ERROR_ACCESS_DENIED); ReleaseMutex needs no right; the generic rights
// map as Windows maps them; Open with no access at all gives
// ERROR_ACCESS_DENIED. Create gives every right.
//
// Security: a named object created with a NULL DACL (GetOpenSa) may be
// opened by every account: its file gets mode 0666 whatever the umask.
// Without attributes, or with any other descriptor, the file has mode
// 0666 less the umask, and another account's open fails with
// ERROR_ACCESS_DENIED. Not reproduced: bInheritHandle and DACLs that list
// accounts. Every handle passes to a child made with fork and none
// survives exec.
//
// Contents:
//   1. Access, deadlines and what both kinds share
//   2. Mutexes
//   3. Events
//   4. Handles
//   5. Entry points
//===----------------------------------------------------------------------===//
#include <linux/futex.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <new>

#include "Guard.h"
#include "Handles.h"
#include "Layer.h"
#include "SharedSegment.h"
#include "SysCalls.h"

namespace w32 {
namespace {

constexpr DWORD kMutexQueryState = 0x0001u;
constexpr DWORD kEventQueryState = 0x0001u;

struct MutexState {
    pthread_mutex_t mutex;
};

struct EventState {
    std::atomic<uint32_t> signalled;
    std::atomic<uint32_t> seq;
    std::atomic<uint32_t> waiters;
    uint32_t manualReset;  // fixed at creation
};
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "futex words must be plain 32-bit words");

//===-- 1. Access, deadlines and what both kinds share ------------------===//

// What a handle to an object of this kind may do when opened for dwAccess.
DWORD GrantedAccess(ObjectKind kind, DWORD dwAccess) {
    const DWORD all = kind == ObjectKind::Mutex ? MUTEX_ALL_ACCESS : EVENT_ALL_ACCESS;
    const DWORD query = kind == ObjectKind::Mutex ? kMutexQueryState : kEventQueryState;
    const DWORD modify = kind == ObjectKind::Mutex ? 0 : EVENT_MODIFY_STATE;
    DWORD granted = dwAccess & all;
    if (dwAccess & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= all;
    if (dwAccess & GENERIC_READ) granted |= READ_CONTROL | query;
    if (dwAccess & GENERIC_WRITE) granted |= READ_CONTROL | modify;
    if (dwAccess & GENERIC_EXECUTE) granted |= SYNCHRONIZE;
    return granted;
}

// ThreadSanitizer knows a mutex by its address: a thread that took the
// mutex through another mapping is told to it here before the release.
// Other builds do nothing.
void TellThreadSanitizerAcquired([[maybe_unused]] pthread_mutex_t* mutex) {
#ifdef TM_THREAD_SANITIZER
    __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
    __tsan_mutex_post_lock(mutex, __tsan_mutex_try_lock, 0);
#endif
}

// The calling thread's key in a Segment's owner note. Unique among the
// live threads of the process and free of system calls.
uintptr_t ThisThread() { return static_cast<uintptr_t>(pthread_self()); }

// Longest single sleep of a wait on a mutex (see MutexObject::TimedLock).
constexpr DWORD kLockSlice = 100;

bool Earlier(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// A monotonic deadline dwMilliseconds from now. Read from the clock
// itself, not through the system-call table: the kernel measures the wait
// against the real clock, whatever a test makes the layer's clock say.
struct Deadline {
    explicit Deadline(DWORD dwMilliseconds) {
        clock_gettime(CLOCK_MONOTONIC, &at);
        at.tv_sec += dwMilliseconds / 1000;
        at.tv_nsec += static_cast<long>(dwMilliseconds % 1000) * 1000000;
        if (at.tv_nsec >= 1000000000) {
            at.tv_sec += 1;
            at.tv_nsec -= 1000000000;
        }
    }
    // Time left, or false once the deadline has passed.
    bool Remaining(timespec* left) const {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        left->tv_sec = at.tv_sec - now.tv_sec;
        left->tv_nsec = at.tv_nsec - now.tv_nsec;
        if (left->tv_nsec < 0) {
            left->tv_sec -= 1;
            left->tv_nsec += 1000000000;
        }
        return left->tv_sec > 0 || (left->tv_sec == 0 && left->tv_nsec > 0);
    }
    timespec at;
};

class SyncObject : public KernelObject {
public:
    SyncObject(std::shared_ptr<Segment> segment, DWORD access)
        : m_segment(std::move(segment)), m_access(access) {}

protected:
    bool Allowed(DWORD right) const {
        if (m_access & right) return true;
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }

    std::shared_ptr<Segment> m_segment;
    DWORD m_access;
};

//===-- 2. Mutexes ------------------------------------------------------===//

class MutexObject final : public SyncObject {
public:
    using SyncObject::SyncObject;

    static void Init(Segment& segment, bool bInitialOwner) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutex_init(&segment.StateAs<MutexState>().mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        // Taken before the object is published: no one can get in first.
        if (bInitialOwner) {
            pthread_mutex_lock(&segment.StateAs<MutexState>().mutex);
            NoteAcquired(segment, false);
        }
    }

    // Undoes Init on an object that was never published.
    static void Discard(Segment& segment) {
        if (segment.m_ownerThread.load(std::memory_order_relaxed) == ThisThread()) {
            segment.m_ownerThread.store(0, std::memory_order_relaxed);
            segment.m_ownerDepth.store(0, std::memory_order_relaxed);
            pthread_mutex_unlock(&segment.StateAs<MutexState>().mutex);
        }
    }

    DWORD Wait(DWORD dwMilliseconds) override {
        if (!Allowed(SYNCHRONIZE)) return WAIT_FAILED;
        pthread_mutex_t* mutex = &m_segment->StateAs<MutexState>().mutex;
        int r;
        if (dwMilliseconds == 0) {
            r = pthread_mutex_trylock(mutex);
        } else {
            r = TimedLock(mutex, dwMilliseconds);
        }
        switch (r) {
            case 0:
                NoteAcquired(*m_segment, false);
                return WAIT_OBJECT_0;
            case EOWNERDEAD:
                // The owner died holding it: the caller owns it now, once.
                pthread_mutex_consistent(mutex);
                NoteAcquired(*m_segment, true);
                return WAIT_ABANDONED;
            case EBUSY:
            case ETIMEDOUT:
                return WAIT_TIMEOUT;
            default:
                SetLastError(ErrnoToWin32(r));
                return WAIT_FAILED;
        }
    }

    BOOL Release() {
        Segment& segment = *m_segment;
        pthread_mutex_t* mutex = &segment.StateAs<MutexState>().mutex;
        const uintptr_t self = ThisThread();
        const bool noted = segment.m_ownerThread.load(std::memory_order_relaxed) == self;
        // Only the owner may release. A thread owns the mutex through
        // another mapping than this one only after closing every handle
        // while holding it and opening it again; the mutex word tells.
        if (!noted) {
            if (!HeldByCallingThread(mutex)) {
                SetLastError(ERROR_NOT_OWNER);
                return FALSE;
            }
            TellThreadSanitizerAcquired(mutex);
        }
        // The note is updated while the mutex is still held, so it never
        // says "free" while another thread's note is being written.
        const uint32_t depth = segment.m_ownerDepth.load(std::memory_order_relaxed);
        if (noted) {
            segment.m_ownerDepth.store(depth - 1, std::memory_order_relaxed);
            if (depth == 1) segment.m_ownerThread.store(0, std::memory_order_relaxed);
        }
        int r = pthread_mutex_unlock(mutex);
        if (r == 0) return TRUE;
        if (noted) {
            segment.m_ownerThread.store(self, std::memory_order_relaxed);
            segment.m_ownerDepth.store(depth, std::memory_order_relaxed);
        }
        SetLastError(r == EPERM ? ERROR_NOT_OWNER : ErrnoToWin32(r));
        return FALSE;
    }

private:
    // The C library keeps a robust mutex's owner as the thread id in the
    // low bits of its futex word.
    static bool HeldByCallingThread(pthread_mutex_t* mutex) {
        const unsigned word = __atomic_load_n(&mutex->__data.__lock, __ATOMIC_RELAXED);
        return (word & FUTEX_TID_MASK) == static_cast<unsigned>(gettid());
    }

    static void NoteAcquired(Segment& segment, bool abandoned) {
        const uintptr_t self = ThisThread();
        if (!abandoned && segment.m_ownerThread.load(std::memory_order_relaxed) == self) {
            segment.m_ownerDepth.fetch_add(1, std::memory_order_relaxed);
        } else {
            segment.m_ownerThread.store(self, std::memory_order_relaxed);
            segment.m_ownerDepth.store(1, std::memory_order_relaxed);
        }
    }

    // Waits in slices of at most kLockSlice, INFINITE included. The
    // kernel can lose the wake-up of a waiter: when a process ends by
    // exit() while its threads take and release the mutex, the mutex can
    // be left free (or marked abandoned) with a waiter of another process
    // asleep that no one will ever wake. Each new slice looks at the mutex
    // again and takes it; a wait that nothing disturbs costs nothing more.
    static int TimedLock(pthread_mutex_t* mutex, DWORD dwMilliseconds) {
#ifdef TM_THREAD_SANITIZER
        // ThreadSanitizer does not intercept pthread_mutex_clocklock, and
        // its pthread_mutex_timedlock loses an EOWNERDEAD acquisition; its
        // builds poll with trylock, which it follows in full.
        Deadline deadline(dwMilliseconds);
        for (;;) {
            int r = pthread_mutex_trylock(mutex);
            timespec left;
            if (r != EBUSY) return r;
            if (!deadline.Remaining(&left)) return ETIMEDOUT;
            if (left.tv_sec > 0 || left.tv_nsec > 1000000) left = {0, 1000000};
            Sys().nanosleep(&left, nullptr);
        }
#else
        // A free mutex is taken without reading the clock.
        int taken = pthread_mutex_trylock(mutex);
        if (taken != EBUSY) return taken;
        // The monotonic clock: setting the time of day must not stretch or
        // cut a wait.
        const bool forever = dwMilliseconds == INFINITE;
        Deadline deadline(forever ? 0 : dwMilliseconds);
        for (;;) {
            Deadline slice(kLockSlice);
            const bool last = !forever && !Earlier(slice.at, deadline.at);
            int r = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, last ? &deadline.at : &slice.at);
            if (r != ETIMEDOUT || last) return r;
        }
#endif
    }
};

//===-- 3. Events -------------------------------------------------------===//

class EventObject final : public SyncObject {
public:
    using SyncObject::SyncObject;

    static void Init(Segment& segment, bool bManualReset, bool bInitialState) {
        EventState& e = segment.StateAs<EventState>();
        e.manualReset = bManualReset ? 1 : 0;
        e.signalled.store(bInitialState ? 1 : 0);
    }

    DWORD Wait(DWORD dwMilliseconds) override {
        if (!Allowed(SYNCHRONIZE)) return WAIT_FAILED;
        EventState& e = m_segment->StateAs<EventState>();
        const uint32_t start = e.seq.load();
        if (TryTake(e, start)) return WAIT_OBJECT_0;
        if (dwMilliseconds == 0) return WAIT_TIMEOUT;

        const Deadline deadline(dwMilliseconds == INFINITE ? 0 : dwMilliseconds);
        e.waiters.fetch_add(1);
        DWORD result;
        for (;;) {
            // Read before the test: a SetEvent after it changes seq and
            // the futex call returns at once instead of sleeping.
            const uint32_t seen = e.seq.load();
            if (TryTake(e, start)) {
                result = WAIT_OBJECT_0;
                break;
            }
            // In slices, as for a mutex: a setter that dies between the
            // change of seq and its wake-up wakes no one.
            timespec left = {0, static_cast<long>(kLockSlice) * 1000000};
            if (dwMilliseconds != INFINITE) {
                timespec remaining;
                if (!deadline.Remaining(&remaining)) {
                    result = WAIT_TIMEOUT;
                    break;
                }
                if (Earlier(remaining, left)) left = remaining;
            }
            // Not FUTEX_PRIVATE_FLAG: the word is shared between processes.
            long r = Sys().futex(reinterpret_cast<uint32_t*>(&e.seq), FUTEX_WAIT, seen, &left);
            if (r != 0 && errno != EAGAIN && errno != EINTR && errno != ETIMEDOUT) {
                SetLastError(ErrnoToWin32(errno));
                result = WAIT_FAILED;
                break;
            }
        }
        e.waiters.fetch_sub(1);
        return result;
    }

    BOOL Set() {
        if (!Allowed(EVENT_MODIFY_STATE)) return FALSE;
        EventState& e = m_segment->StateAs<EventState>();
        // Setting a set event does nothing.
        if (e.signalled.exchange(1) == 0) {
            e.seq.fetch_add(1);
            // Everyone is woken, even for an auto-reset event: a waiter
            // that was woken may time out or die before taking the signal,
            // and the others must then have their chance. The
            // compare-and-swap still lets only one through.
            if (e.waiters.load() != 0) {
                Sys().futex(reinterpret_cast<uint32_t*>(&e.seq), FUTEX_WAKE, INT_MAX, nullptr);
            }
        }
        return TRUE;
    }

    BOOL Reset() {
        if (!Allowed(EVENT_MODIFY_STATE)) return FALSE;
        m_segment->StateAs<EventState>().signalled.store(0);
        return TRUE;
    }

private:
    // True if the waiter that began at sequence `start` may leave now.
    static bool TryTake(EventState& e, uint32_t start) {
        if (e.manualReset) return e.signalled.load() != 0 || e.seq.load() != start;
        uint32_t expected = 1;
        return e.signalled.compare_exchange_strong(expected, 0);
    }
};

//===-- 4. Handles ------------------------------------------------------===//

template <class Object>
HANDLE NewHandle(std::shared_ptr<Segment> segment, DWORD access) {
    return InsertHandle(std::make_shared<Object>(std::move(segment), access));
}

// Create*: a new or existing object with every right. Last error: 0 for a
// new object, ERROR_ALREADY_EXISTS for an existing one.
template <class Object>
HANDLE CreateObject(ObjectKind kind, LPCSTR lpName, LPSECURITY_ATTRIBUTES sa, const SegmentStep& init,
                    const SegmentStep& discard) {
    const DWORD all = kind == ObjectKind::Mutex ? MUTEX_ALL_ACCESS : EVENT_ALL_ACCESS;
    DWORD error = ERROR_SUCCESS;
    bool created = true;
    std::shared_ptr<Segment> segment;
    // An empty name makes an unnamed object, as on Windows.
    if (!lpName || !*lpName) {
        segment = CreatePrivateSegment(kind, init, &error);
    } else {
        segment = OpenNamedSegment(lpName, kind, true, GrantsEveryone(sa), init, discard, &created, &error);
    }
    if (!segment) {
        SetLastError(error);
        return nullptr;
    }
    HANDLE h = NewHandle<Object>(std::move(segment), all);
    if (h) SetLastError(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return h;
}

template <class Object>
HANDLE OpenObject(ObjectKind kind, DWORD dwDesiredAccess, LPCSTR lpName) {
    if (!lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // No object has the empty name.
    if (!*lpName) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    DWORD error = ERROR_SUCCESS;
    bool created = false;
    const SegmentStep none = [](Segment&) {};
    std::shared_ptr<Segment> segment = OpenNamedSegment(lpName, kind, false, false, none, none, &created, &error);
    if (!segment) {
        SetLastError(error);
        return nullptr;
    }
    // Checked once the object is found, as Windows does: a missing
    // name gives ERROR_FILE_NOT_FOUND whatever the access.
    const DWORD granted = GrantedAccess(kind, dwDesiredAccess);
    if (granted == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return NewHandle<Object>(std::move(segment), granted);
}

template <class Object>
std::shared_ptr<Object> LookupOrFail(HANDLE h) {
    std::shared_ptr<Object> object = LookupHandleAs<Object>(h);
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

}  // namespace
}  // namespace w32

//===-- 5. Entry points -------------------------------------------------===//

using w32::EventObject;
using w32::MutexObject;
using w32::ObjectKind;
using w32::Segment;

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
    // bInitialOwner counts only for a new object.
    return w32::GuardSettingLastError<HANDLE>(nullptr, [&] {
        return w32::CreateObject<MutexObject>(
            ObjectKind::Mutex, lpName, lpMutexAttributes,
            [bInitialOwner](Segment& s) { MutexObject::Init(s, bInitialOwner != FALSE); },
            MutexObject::Discard);
    });
}

HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL, LPCSTR lpName) {
    return w32::GuardSettingLastError<HANDLE>(
        nullptr, [&] { return w32::OpenObject<MutexObject>(ObjectKind::Mutex, dwDesiredAccess, lpName); });
}

BOOL ReleaseMutex(HANDLE hMutex) {
    return w32::GuardSettingLastError<BOOL>(FALSE, [&] {
        std::shared_ptr<MutexObject> mutex = w32::LookupOrFail<MutexObject>(hMutex);
        return mutex ? mutex->Release() : FALSE;
    });
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName) {
    // The initial state counts only for a new object.
    return w32::GuardSettingLastError<HANDLE>(nullptr, [&] {
        return w32::CreateObject<EventObject>(
            ObjectKind::Event, lpName, lpEventAttributes,
            [bManualReset, bInitialState](Segment& s) {
                EventObject::Init(s, bManualReset != FALSE, bInitialState != FALSE);
            },
            [](Segment&) {});
    });
}

HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL, LPCSTR lpName) {
    return w32::GuardSettingLastError<HANDLE>(
        nullptr, [&] { return w32::OpenObject<EventObject>(ObjectKind::Event, dwDesiredAccess, lpName); });
}

BOOL SetEvent(HANDLE hEvent) {
    return w32::GuardSettingLastError<BOOL>(FALSE, [&] {
        std::shared_ptr<EventObject> event = w32::LookupOrFail<EventObject>(hEvent);
        return event ? event->Set() : FALSE;
    });
}

BOOL ResetEvent(HANDLE hEvent) {
    return w32::GuardSettingLastError<BOOL>(FALSE, [&] {
        std::shared_ptr<EventObject> event = w32::LookupOrFail<EventObject>(hEvent);
        return event ? event->Reset() : FALSE;
    });
}
