//===-- win32/SharedSegment.h - The memory behind mutexes and events ------===//
//
// Every mutex and event keeps its state in one page of memory shared with
// whoever else may use the object. For a named object that page is a file
// in /dev/shm, so that every process of the installation can map it; for
// an unnamed one it is an anonymous shared mapping, which a forked child
// inherits together with the handle. This module names, finds, creates,
// maps and retires those pages; KernelObjects.cpp gives them meaning.
//
// Limits: names of more than MAX_PATH characters are refused, as by the
// ANSI functions of Windows. Diagnostics: failures return nullptr with the
// Win32 code Windows would give in *pError.
//===----------------------------------------------------------------------===//
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tmwin32.h"

namespace w32 {

enum class ObjectKind : uint16_t { Mutex = 1, Event = 2 };

// Size of one object's mapping; its state starts at kStateOffset.
inline constexpr size_t kSegmentSize = 4096;
inline constexpr size_t kStateOffset = 512;

// One object's mapping in this process. Every handle of this process to
// the same named object shares one Segment, and so one mapping.
class Segment : public std::enable_shared_from_this<Segment> {
public:
    ~Segment();
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    ObjectKind Kind() const { return m_kind; }

    template <class State>
    State& StateAs() const {
        static_assert(sizeof(State) <= kSegmentSize - kStateOffset);
        return *reinterpret_cast<State*>(m_base + kStateOffset);
    }

    // Mutexes only: the thread of this process that holds the mutex
    // through this mapping (0: none) and how many times. A mapping that a
    // thread's robust-mutex list points into must never be unmapped, or
    // the C library and the kernel would write into whatever is mapped
    // there next; the note tells the destructor to leave such a page be.
    std::atomic<uintptr_t> m_ownerThread{0};
    std::atomic<uint32_t> m_ownerDepth{0};

private:
    friend struct SegmentAccess;
    explicit Segment(ObjectKind kind) : m_kind(kind) {}

    ObjectKind m_kind;
    char* m_base = nullptr;
    int m_fd = -1;              // named objects: holds the shared flock
    std::string m_path;         // named objects: the file in /dev/shm
    bool m_published = false;   // the file is linked under m_path
    bool m_registered = false;  // entered in the process's segment store
};

// Prepares the state of a new object before any other thread or process
// can see it; the discard step undoes what must be undone before that
// memory goes away unpublished (a mutex taken for its creator).
using SegmentStep = std::function<void(Segment&)>;

// The named object lpName of the given kind. With bMayCreate a missing
// object is made (init runs on it first) and *pbCreated set; bOpenToAll
// makes its file readable and writable by every account. Fails with
// ERROR_FILE_NOT_FOUND (missing, bMayCreate false), ERROR_INVALID_HANDLE
// (the name belongs to an object of another kind), ERROR_PATH_NOT_FOUND
// (a '\' other than a "Global\" or "Local\" prefix),
// ERROR_FILENAME_EXCED_RANGE (name longer than MAX_PATH), or the code of
// the system call that failed.
std::shared_ptr<Segment> OpenNamedSegment(const char* lpName, ObjectKind kind, bool bMayCreate,
                                          bool bOpenToAll, const SegmentStep& init,
                                          const SegmentStep& discard, bool* pbCreated,
                                          DWORD* pError);

// A new unnamed object, shared only with children forked later.
std::shared_ptr<Segment> CreatePrivateSegment(ObjectKind kind, const SegmentStep& init,
                                              DWORD* pError);

// The start of the path of every named object's file of this
// installation.
std::string SegmentFilePrefix();

// The file that stands for lpName in /dev/shm, or "" with *pError set
// when the name is not valid.
std::string SegmentFilePath(const char* lpName, DWORD* pError);

// The installation's registry page: one file in /dev/shm beside the named
// objects (<ObjectNamespace()>registry-writer), mapped once per process.
//   - The writer lock: a robust, process-shared, priority-inheriting mutex.
//     Unlocking such a mutex hands it to the longest waiter, so writers of
//     several processes take turns instead of racing SQLite's busy handler.
//   - The change counter: every write of a store that keeps no stamp of its
//     own on this host (PostgreSQL) adds one after it commits, so that a
//     process's cache of that store sees every change made on this host.
class RegistryPage {
public:
    static RegistryPage& Instance();
    // False if the lock is not available (no shared memory, or it stayed
    // taken for the whole timeout); the caller then relies on its store's
    // own locking alone.
    bool AcquireWriter(int timeoutMs);
    void ReleaseWriter();
    // The counter, or nullptr when the page cannot be mapped.
    std::atomic<uint64_t>* Changes();

private:
    RegistryPage() = default;
    bool Map();
    struct RegistryShared* m_shared = nullptr;
};

}  // namespace w32
