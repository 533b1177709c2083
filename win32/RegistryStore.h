//===-- win32/RegistryStore.h - The registry's SQLite store (internal) ----===//
//
// The whole registry of an installation, the four predefined roots and all
// below them, is one SQLite database. This process holds one connection to
// it, opened lazily, shared by all threads under one lock, and reopened in
// the child after a fork (the parent's connection is left alone there).
// Every Reg call runs as one transaction through Store::Read or
// Store::Write; writers of all processes of the installation queue on one
// cross-process lock that hands over in arrival order before they start
// their SQLite write transaction. Key lookups and value reads are kept in
// memory and answered from there while SQLite's WAL-index header is
// unchanged, i.e. while no process has committed anything since.
//
// A file is taken for a registry only when it is empty or holds this
// schema; another program's database is refused before anything in it is
// changed (ERROR_NOT_REGISTRY_FILE), the journal mode included.
//
// Schema (user_version 1):
//   keys(id, parent, name, path, allowed, volatile)
//     id: never reused (AUTOINCREMENT), so a key deleted and created again
//         is a different key and old handles see ERROR_KEY_DELETED.
//     path: root name and names joined by '\', unique without regard to
//         ASCII case; opening a path is one index lookup.
//     allowed: the stored access restriction, NULL for none.
//   vals(id, key, name, type, data)
//     id: creation order; replacing a value updates the row in place.
//   meta(name, value): the boot that volatile keys belong to.
//
// Diagnostics: a failing SQLite call inside a body throws SqlError, which
// the runner turns into a Win32 code (MapSqliteError) after rolling back.
//===----------------------------------------------------------------------===//
#pragma once

#include <pthread.h>
#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tmwin32.h"

namespace w32::reg {

// Key ids of the predefined roots: HKEY_CLASSES_ROOT .. HKEY_USERS.
inline constexpr int64_t kFirstRootId = 1;
inline constexpr int64_t kRootCount = 4;

struct SqlError {
    int rc;
    int sysErrno;
    LONG code = 0;  // a Win32 code of its own, when SQLite's does not say it
};

// The Win32 code for a failed SQLite call.
LONG MapSqliteError(int rc, int sysErrno);
inline LONG MapSqliteError(const SqlError& error) {
    return error.code ? error.code : MapSqliteError(error.rc, error.sysErrno);
}

enum StatementId {
    kBegin,
    kBeginImmediate,
    kCommit,
    kRollback,
    kDataVersion,
    kKeyByPath,
    kKeyById,
    kInsertKey,
    kHasChild,
    kDeleteKey,
    kDeleteKeyValues,
    kSetRestriction,
    kGetValue,
    kSetValue,
    kDeleteValue,
    kEnumKeyAt,
    kEnumKeyAfter,
    kEnumValueAt,
    kEnumValueAfter,
    kSavepoint,
    kRelease,
    kRollbackTo,
    kStatementCount
};

// Identifies one state of the database as this connection sees it: equal
// generations mean nothing was committed by anyone in between.
struct Generation {
    uint64_t epoch = 0;        // connection; changes when it is reopened
    int64_t dataVersion = -1;  // commits of other connections
    uint64_t ownWrites = 0;    // commits of this connection
    bool operator==(const Generation&) const = default;
};

// A copy of the WAL-index header in SQLite's shared memory. Every commit
// of every process changes it (its change counter, frame count and salts),
// so an unchanged header means nothing was committed in between.
struct WalStamp {
    uint32_t words[12];
    bool operator==(const WalStamp&) const = default;
};

// A result the read cache keeps: a key (id, allowance) or a value (type,
// data).
struct CacheEntry {
    int64_t id = 0;
    std::optional<uint32_t> allowed;
    DWORD type = 0;
    std::string data;
};

// What a cache lookup returns when it cannot answer.
inline constexpr LONG kCacheMiss = -1;

class Store;

// One use of a prepared statement; resets it when it goes out of scope so
// that no statement holds the snapshot open beyond its call.
class Query {
public:
    Query(Store& store, StatementId id);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& Bind(int index, int64_t value);
    Query& BindNull(int index);
    Query& Bind(int index, std::string_view text);
    Query& BindBlob(int index, const void* data, size_t size);
    // True while a row is available; false when done. Throws SqlError.
    bool Step();

    int64_t Int(int col) const { return sqlite3_column_int64(m_stmt, col); }
    bool IsNull(int col) const { return sqlite3_column_type(m_stmt, col) == SQLITE_NULL; }
    std::string_view Text(int col) const;
    std::pair<const void*, size_t> Blob(int col) const;

private:
    Store& m_store;
    sqlite3_stmt* m_stmt;
};

// A borrowed callable, so the transaction runner is not a template.
class BodyRef {
public:
    template <class F>
    BodyRef(F& f) : m_obj(&f), m_call([](void* o) -> LONG { return (*static_cast<F*>(o))(); }) {}
    LONG operator()() const { return m_call(m_obj); }

private:
    void* m_obj;
    LONG (*m_call)(void*);
};

class Store {
public:
    static Store& Instance();

    // Runs body as one read transaction. The body's result is returned; a
    // SqlError thrown inside becomes its Win32 code.
    template <class F>
    LONG Read(F&& body) {
        return Run(false, BodyRef(body));
    }
    // Runs body as one write transaction; committed only if it returns
    // ERROR_SUCCESS, rolled back otherwise.
    template <class F>
    LONG Write(F&& body) {
        return Run(true, BodyRef(body));
    }

    // Answers a read from the cache when nothing was committed since the
    // cache was filled: fromCache runs under the lock without touching
    // SQLite and may return kCacheMiss; then body runs as one read
    // transaction, and what it offers with CacheFill is kept if the
    // database did not change while it ran.
    template <class F, class G>
    LONG ReadCached(F&& fromCache, G&& body) {
        return RunCached(BodyRef(fromCache), BodyRef(body));
    }
    const CacheEntry* CacheFind(const std::string& key) const;
    void CacheFill(std::string key, CacheEntry entry);

    // Batches: between BeginBatch and EndBatch the calls of the calling
    // thread share transactions, committed every kBatchCalls calls (the
    // writer lock is let go in between) and at EndBatch; a batch that has
    // only read holds a read transaction, ended by its first write; each call
    // runs in a savepoint of its own, so a call that fails undoes only
    // itself. A call of another thread commits the open batch first and
    // runs as its own transaction. EndBatch returns the code of the last
    // commit. Batches nest; the outermost EndBatch commits.
    void BeginBatch();
    LONG EndBatch();

    // Inside a body: the state the transaction sees.
    Generation CurrentGeneration();
    int64_t LastInsertId() { return sqlite3_last_insert_rowid(m_db); }
    bool IsWriting() const { return m_writing; }

    sqlite3_stmt* Statement(StatementId id);
    sqlite3* Connection() { return m_db; }

    // The fork handlers.
    void BeforeFork();
    void AfterForkParent();
    void AfterForkChild();

    // The process lock of the store; the handle table of the registry
    // functions is locked inside it around fork.
    std::mutex& Lock() { return m_lock; }

    // TmRegCreateRegistry for an absolute path.
    static LONG CreateRegistryFile(const std::string& path);
    // Opens the connection if it is not open: the code every call gets.
    LONG Check();

private:
    Store();
    LONG Run(bool write, BodyRef body);
    LONG RunLocked(bool write, BodyRef body);
    LONG RunCached(BodyRef fromCache, BodyRef body);
    LONG RunInBatch(bool write, BodyRef body);
    bool InOwnBatch() const;
    LONG CommitBatch();
    void AbandonBatch();
    bool ReadStamp(WalStamp* stamp);
    void DropCache();
    LONG EnsureOpen();
    void OpenConnection();
    enum class Contents { kEmpty, kRegistry, kLaterRegistry, kForeign };
    Contents Classify();
    static Contents Classify(sqlite3* db);
    void PrepareSchema(Contents contents);
    void PurgeVolatileKeys();
    void CloseConnection();
    void Exec(const char* sql);
    void ExecStatement(StatementId id);
    LONG Fail(const SqlError& error);

    std::mutex m_lock;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_statements[kStatementCount] = {};
    uint64_t m_epoch = 1;
    uint64_t m_ownWrites = 0;
    bool m_writing = false;
    // The read cache and the header it is valid for.
    const volatile void* m_walHeader = nullptr;
    bool m_walHeaderTried = false;
    bool m_walMode = false;
    std::optional<WalStamp> m_cacheStamp;
    std::unordered_map<std::string, CacheEntry> m_cache;
    size_t m_cacheBytes = 0;
    std::vector<std::pair<std::string, CacheEntry>> m_pending;
    // The batch: its owner, nesting, and the transaction it has open.
    int m_batchDepth = 0;
    pthread_t m_batchOwner{};
    bool m_batchOpen = false;
    bool m_batchReadOnly = false;
    bool m_batchLocked = false;
    int m_batchCalls = 0;
    LONG m_batchResult = ERROR_SUCCESS;
};

// The cross-process writer lock of the installation: a robust,
// process-shared, priority-inheriting mutex in a small shared-memory file.
// Unlocking such a mutex hands it to the longest waiter, so writers of
// several processes take turns instead of racing SQLite's busy handler.
class WriterLock {
public:
    static WriterLock& Instance();
    // False if the lock is not available (no shared memory, or it stayed
    // taken for the whole timeout); the caller then relies on SQLite's
    // own locking alone.
    bool Acquire();
    void Release();

private:
    WriterLock() = default;
    bool Map();
    struct Shared* m_shared = nullptr;
    bool m_tried = false;
};

}  // namespace w32::reg
