//===-- win32/RegistryStore.cpp - The registry's SQLite store -------------===//
//
// Contents:
//   1. Error mapping
//   2. Statements and queries
//   3. The connection: open, schema, volatile keys, close
//   4. Transactions
//   5. The read cache
//   6. Fork
//   7. The cross-process writer lock
//
// Diagnostics: nothing is logged; every failure becomes a Win32 code.
// Limits: a caller waits at most kBusyTimeoutMs for another process's
// write, then gets ERROR_TIMEOUT.
//===----------------------------------------------------------------------===//
#include "RegistryStore.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include "Layer.h"
#include "SysCalls.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TM_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define TM_TSAN 1
#endif
#ifdef TM_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace w32::reg {
namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kSchemaVersion = 1;
// Bounds of the read cache; it starts afresh when it would pass them.
constexpr size_t kCacheMaxEntries = 4096;
constexpr size_t kCacheMaxBytes = 1 << 20;
constexpr size_t kCacheMaxValueSize = 4096;

// Process crashes never lose a committed call in WAL mode with NORMAL
// synchronisation; a power failure may lose the last calls but leaves the
// file consistent, as NT's lazily flushed hives do.
constexpr const char* kPragmas = "PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=OFF;";

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL COLLATE NOCASE,
  path TEXT NOT NULL UNIQUE COLLATE NOCASE,
  allowed INTEGER,
  volatile INTEGER NOT NULL DEFAULT 0);
CREATE UNIQUE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, name);
CREATE TABLE IF NOT EXISTS vals(
  id INTEGER PRIMARY KEY,
  key INTEGER NOT NULL,
  name TEXT NOT NULL COLLATE NOCASE,
  type INTEGER NOT NULL,
  data BLOB NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS vals_by_name ON vals(key, name);
CREATE INDEX IF NOT EXISTS vals_by_order ON vals(key);
CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value);
INSERT OR IGNORE INTO keys(id, parent, name, path) VALUES
  (1, 0, 'HKEY_CLASSES_ROOT', 'HKEY_CLASSES_ROOT'),
  (2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER'),
  (3, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),
  (4, 0, 'HKEY_USERS', 'HKEY_USERS');
PRAGMA user_version = 1;
)sql";

constexpr const char* kStatementSql[kStatementCount] = {
    /* kBegin */ "BEGIN",
    /* kBeginImmediate */ "BEGIN IMMEDIATE",
    /* kCommit */ "COMMIT",
    /* kRollback */ "ROLLBACK",
    /* kDataVersion */ "PRAGMA data_version",
    /* kKeyByPath */ "SELECT id, allowed, volatile FROM keys WHERE path = ?1",
    /* kKeyById */ "SELECT allowed, volatile FROM keys WHERE id = ?1",
    /* kInsertKey */ "INSERT INTO keys(parent, name, path, volatile) VALUES(?1, ?2, ?3, ?4)",
    /* kHasChild */ "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    /* kDeleteKey */ "DELETE FROM keys WHERE id = ?1",
    /* kDeleteKeyValues */ "DELETE FROM vals WHERE key = ?1",
    /* kSetRestriction */ "UPDATE keys SET allowed = ?2 WHERE id = ?1",
    /* kGetValue */ "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2",
    /* kSetValue */
    ("INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
     "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data"),
    /* kDeleteValue */ "DELETE FROM vals WHERE key = ?1 AND name = ?2",
    /* kEnumKeyAt */ "SELECT name FROM keys WHERE parent = ?1 ORDER BY name LIMIT 1 OFFSET ?2",
    /* kEnumKeyAfter */ "SELECT name FROM keys WHERE parent = ?1 AND name > ?2 ORDER BY name LIMIT 1",
    /* kEnumValueAt */ "SELECT id, name, type, data FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2",
    /* kEnumValueAfter */ "SELECT id, name, type, data FROM vals WHERE key = ?1 AND id > ?2 ORDER BY id LIMIT 1",
    /* kSavepoint */ "SAVEPOINT tmcall",
    /* kRelease */ "RELEASE tmcall",
    /* kRollbackTo */ "ROLLBACK TO tmcall",
};

[[noreturn]] void Throw(sqlite3* db, int rc) {
    throw SqlError{rc, db ? sqlite3_system_errno(db) : 0};
}

// Failures after which the connection is dropped, so that the next call
// opens the file afresh (it may have been repaired, replaced or made
// writable in the meantime).
bool IsConnectionFatal(int rc) {
    switch (rc & 0xff) {
        case SQLITE_CANTOPEN:
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
        case SQLITE_IOERR:
        case SQLITE_READONLY:
        case SQLITE_ERROR:
        case SQLITE_SCHEMA:
        case SQLITE_PERM:
            return true;
        default:
            return false;
    }
}

// The boot this machine runs; volatile keys of another boot are gone.
std::string CurrentBootId() {
    int fd = Sys().open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return {};
    char buf[64];
    ssize_t n = Sys().read(fd, buf, sizeof buf);
    Sys().close(fd);
    if (n <= 0) return {};
    std::string id(buf, static_cast<size_t>(n));
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id;
}

// Connections left behind by a fork in the child. They belong to the
// parent's file locks and must never be used or closed here; keeping them
// reachable also keeps leak checkers quiet.
std::vector<sqlite3*>& AbandonedConnections() {
    static auto* list = new std::vector<sqlite3*>;
    return *list;
}

}  // namespace

//===-- 1. Error mapping ------------------------------------------------===//

LONG MapSqliteError(int rc, int sysErrno) {
    switch (rc & 0xff) {
        case SQLITE_OK:
            return ERROR_SUCCESS;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_TIMEOUT;
        case SQLITE_NOMEM:
        case SQLITE_TOOBIG:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
        case SQLITE_FORMAT:
        case SQLITE_ERROR:
        case SQLITE_SCHEMA:
            return ERROR_BADDB;
        case SQLITE_IOERR:
            if (sysErrno == ENOSPC || sysErrno == EDQUOT) return ERROR_DISK_FULL;
            if (sysErrno == EROFS || sysErrno == EACCES || sysErrno == EPERM)
                return ERROR_ACCESS_DENIED;
            return ERROR_REGISTRY_IO_FAILED;
        case SQLITE_CANTOPEN:
        default:
            return ERROR_REGISTRY_IO_FAILED;
    }
}

//===-- 2. Statements and queries ---------------------------------------===//

Query::Query(Store& store, StatementId id) : m_store(store), m_stmt(store.Statement(id)) {}

Query::~Query() { sqlite3_reset(m_stmt); }

Query& Query::Bind(int index, int64_t value) {
    int rc = sqlite3_bind_int64(m_stmt, index, value);
    if (rc != SQLITE_OK) Throw(m_store.Connection(), rc);
    return *this;
}

Query& Query::BindNull(int index) {
    int rc = sqlite3_bind_null(m_stmt, index);
    if (rc != SQLITE_OK) Throw(m_store.Connection(), rc);
    return *this;
}

Query& Query::Bind(int index, std::string_view text) {
    // Names are bytes; SQLite keeps them as given and NOCASE folds only
    // ASCII letters, as NT compares registry names.
    int rc = sqlite3_bind_text64(m_stmt, index, text.data(), text.size(), SQLITE_STATIC,
                                 SQLITE_UTF8);
    if (rc != SQLITE_OK) Throw(m_store.Connection(), rc);
    return *this;
}

Query& Query::BindBlob(int index, const void* data, size_t size) {
    // A NULL pointer would bind SQL NULL; an empty value is an empty blob.
    static const char kEmpty = 0;
    int rc = sqlite3_bind_blob64(m_stmt, index, size ? data : &kEmpty, size, SQLITE_STATIC);
    if (rc != SQLITE_OK) Throw(m_store.Connection(), rc);
    return *this;
}

bool Query::Step() {
    int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Throw(m_store.Connection(), rc);
}

std::string_view Query::Text(int col) const {
    const char* p = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, col));
    int n = sqlite3_column_bytes(m_stmt, col);
    return p ? std::string_view(p, static_cast<size_t>(n)) : std::string_view();
}

std::pair<const void*, size_t> Query::Blob(int col) const {
    const void* p = sqlite3_column_blob(m_stmt, col);
    int n = sqlite3_column_bytes(m_stmt, col);
    return {p, static_cast<size_t>(n)};
}

sqlite3_stmt* Store::Statement(StatementId id) {
    sqlite3_stmt*& stmt = m_statements[id];
    if (!stmt) {
        int rc = sqlite3_prepare_v3(m_db, kStatementSql[id], -1, SQLITE_PREPARE_PERSISTENT, &stmt,
                                    nullptr);
        if (rc != SQLITE_OK) Throw(m_db, rc);
    }
    return stmt;
}

void Store::Exec(const char* sql) {
    int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Throw(m_db, rc);
}

void Store::ExecStatement(StatementId id) {
    Query q(*this, id);
    q.Step();
}

//===-- 3. The connection -----------------------------------------------===//

Store& Store::Instance() {
    // Never destroyed: handles may be closed by static destructors that
    // run after this file's.
    static Store* store = new Store;
    return *store;
}

Store::Store() {
    pthread_atfork([] { Instance().BeforeFork(); }, [] { Instance().AfterForkParent(); },
                   [] { Instance().AfterForkChild(); });
}

LONG Store::EnsureOpen() {
    if (m_db) return ERROR_SUCCESS;
    try {
        OpenConnection();
        return ERROR_SUCCESS;
    } catch (const SqlError& error) {
        LONG code = MapSqliteError(error);
        CloseConnection();
        return code;
    } catch (const std::bad_alloc&) {
        CloseConnection();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG Store::Check() {
    std::lock_guard<std::mutex> guard(m_lock);
    return EnsureOpen();
}

void Store::OpenConnection() {
    // Only TmRegCreateRegistry makes the file (see there).
    struct stat st;
    if (Sys().stat(RegistryDatabasePath().c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        throw SqlError{SQLITE_CANTOPEN, errno, ERROR_CANTOPEN};
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(RegistryDatabasePath().c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                             nullptr);
    if (rc != SQLITE_OK) {
        int err = db ? sqlite3_system_errno(db) : 0;
        sqlite3_close(db);
        throw SqlError{rc, err};
    }
    m_db = db;
    ++m_epoch;
    // The busy timeout must be in place before the journal mode changes:
    // switching to WAL takes a lock that a second process opening the file
    // at the same moment would otherwise fail on at once.
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    // Nothing may change in a file that is not ours, not even its journal.
    const Contents contents = Classify();
    if (contents == Contents::kForeign) throw SqlError{SQLITE_NOTADB, 0, ERROR_NOT_REGISTRY_FILE};
    // A file of a later layer.
    if (contents == Contents::kLaterRegistry) throw SqlError{SQLITE_NOTADB, 0};
    const char* mode = sqlite3_db_readonly(m_db, "main") ? "PRAGMA journal_mode"
                                                          : "PRAGMA journal_mode=WAL";
    sqlite3_stmt* stmt = nullptr;
    rc = sqlite3_prepare_v2(m_db, mode, -1, &stmt, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
    m_walMode = rc == SQLITE_ROW &&
                sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "wal") == 0;
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW) Throw(m_db, rc);
    Exec(kPragmas);
    PrepareSchema(contents);
    PurgeVolatileKeys();
}

Store::Contents Store::Classify() { return Classify(m_db); }

// One statement, so that all three answers come from one snapshot.
Store::Contents Store::Classify(sqlite3* db) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db,
                                "SELECT (SELECT count(*) FROM sqlite_master),"
                                " (SELECT count(*) FROM sqlite_master WHERE type = 'table'"
                                "  AND name IN ('keys', 'vals', 'meta')),"
                                " (SELECT user_version FROM pragma_user_version)",
                                -1, &stmt, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
    int objects = 0, ours = 0, version = 0;
    if (rc == SQLITE_ROW) {
        objects = sqlite3_column_int(stmt, 0);
        ours = sqlite3_column_int(stmt, 1);
        version = sqlite3_column_int(stmt, 2);
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW) Throw(db, rc);
    if (objects == 0 && version == 0) return Contents::kEmpty;
    if (ours == 3 && version == kSchemaVersion) return Contents::kRegistry;
    if (ours == 3 && version > kSchemaVersion) return Contents::kLaterRegistry;
    return Contents::kForeign;
}

void Store::PrepareSchema(Contents contents) {
    if (contents == Contents::kRegistry) return;
    if (sqlite3_db_readonly(m_db, "main")) throw SqlError{SQLITE_READONLY, 0};
    // Several processes may meet a new file at once: the writer lock and
    // BEGIN IMMEDIATE let one create the schema, the others find it made.
    bool locked = WriterLock::Instance().Acquire();
    try {
        Exec("BEGIN IMMEDIATE");
        switch (Classify()) {
            case Contents::kEmpty:
                Exec(kSchema);
                break;
            case Contents::kRegistry:
                break;
            case Contents::kLaterRegistry:
                throw SqlError{SQLITE_NOTADB, 0};
            case Contents::kForeign:
                throw SqlError{SQLITE_NOTADB, 0, ERROR_NOT_REGISTRY_FILE};
        }
        Exec("COMMIT");
    } catch (...) {
        if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        if (locked) WriterLock::Instance().Release();
        throw;
    }
    if (locked) WriterLock::Instance().Release();
}

namespace {

LONG CodeForErrno(int err, LONG otherwise) {
    switch (err) {
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case ENOENT:
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        default:
            return otherwise;
    }
}

}  // namespace

LONG Store::CreateRegistryFile(const std::string& path) {
    // The directories on the way, with the modes the umask gives.
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        if (Sys().mkdir(path.substr(0, pos).c_str(), 0777) != 0 && errno != EEXIST) {
            return CodeForErrno(errno, ERROR_PATH_NOT_FOUND);
        }
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX |
                                 SQLITE_OPEN_EXRESCODE,
                             nullptr);
    if (rc != SQLITE_OK) {
        int err = db ? sqlite3_system_errno(db) : 0;
        sqlite3_close(db);
        return CodeForErrno(err, MapSqliteError(rc, err));
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    LONG code = ERROR_SUCCESS;
    try {
        // Classified before anything is written: another program's file is
        // left exactly as it is, journal mode included.
        Contents contents = Classify(db);
        if (contents == Contents::kEmpty) {
            auto exec = [db](const char* sql) {
                int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
                if (rc != SQLITE_OK) Throw(db, rc);
            };
            exec("PRAGMA journal_mode=WAL");
            exec("BEGIN IMMEDIATE");
            // Another process may have made it meanwhile.
            contents = Classify(db);
            if (contents == Contents::kEmpty) exec(kSchema);
            exec("COMMIT");
            if (contents == Contents::kEmpty) contents = Contents::kRegistry, code = ERROR_SUCCESS;
            else code = -1;
        } else {
            code = -1;
        }
        if (code == -1) {
            code = contents == Contents::kRegistry        ? ERROR_ALREADY_EXISTS
                   : contents == Contents::kForeign       ? ERROR_NOT_REGISTRY_FILE
                                                          : MapSqliteError(SQLITE_NOTADB, 0);
        }
    } catch (const SqlError& error) {
        if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        code = CodeForErrno(error.sysErrno, MapSqliteError(error));
    }
    sqlite3_close(db);
    return code;
}

void Store::PurgeVolatileKeys() {
    if (sqlite3_db_readonly(m_db, "main")) return;
    std::string boot = CurrentBootId();
    if (boot.empty()) return;
    auto storedBoot = [this] {
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v2(m_db, "SELECT value FROM meta WHERE name = 'boot'", -1, &stmt,
                                    nullptr);
        if (rc != SQLITE_OK) Throw(m_db, rc);
        std::string value;
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
            if (text) value = text;
        }
        sqlite3_finalize(stmt);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) Throw(m_db, rc);
        return value;
    };
    if (storedBoot() == boot) return;
    // Volatile keys live until the machine restarts; only volatile keys
    // can lie below a volatile key, so whole subtrees go.
    bool locked = WriterLock::Instance().Acquire();
    try {
        Exec("BEGIN IMMEDIATE");
        if (storedBoot() != boot) {
            Exec("DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE volatile);"
                 "DELETE FROM keys WHERE volatile;");
            sqlite3_stmt* stmt = nullptr;
            int rc = sqlite3_prepare_v2(
                m_db, "INSERT OR REPLACE INTO meta(name, value) VALUES('boot', ?1)", -1, &stmt,
                nullptr);
            if (rc == SQLITE_OK) {
                sqlite3_bind_text(stmt, 1, boot.c_str(), -1, SQLITE_TRANSIENT);
                rc = sqlite3_step(stmt);
                if (rc == SQLITE_DONE) rc = SQLITE_OK;
            }
            sqlite3_finalize(stmt);
            if (rc != SQLITE_OK) Throw(m_db, rc);
        }
        Exec("COMMIT");
        ++m_ownWrites;
    } catch (...) {
        if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        if (locked) WriterLock::Instance().Release();
        throw;
    }
    if (locked) WriterLock::Instance().Release();
}

void Store::CloseConnection() {
    for (sqlite3_stmt*& stmt : m_statements) {
        sqlite3_finalize(stmt);
        stmt = nullptr;
    }
    if (m_db) sqlite3_close_v2(m_db);
    m_db = nullptr;
    ++m_epoch;
    DropCache();
    m_walHeader = nullptr;
    m_walHeaderTried = false;
}

//===-- 4. Transactions -------------------------------------------------===//

Generation Store::CurrentGeneration() {
    Query q(*this, kDataVersion);
    q.Step();
    return Generation{m_epoch, q.Int(0), m_ownWrites};
}

LONG Store::Fail(const SqlError& error) {
    LONG code = MapSqliteError(error);
    if (m_db && !sqlite3_get_autocommit(m_db))
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (IsConnectionFatal(error.rc)) CloseConnection();
    return code;
}

LONG Store::Run(bool write, BodyRef body) {
    std::lock_guard<std::mutex> guard(m_lock);
    LONG code = EnsureOpen();
    if (code != ERROR_SUCCESS) return code;
    return RunLocked(write, body);
}

LONG Store::RunLocked(bool write, BodyRef body) {
    if (m_batchOpen && !InOwnBatch()) {
        // Another thread's call stands alone, after the batch so far.
        LONG code = CommitBatch();
        if (code != ERROR_SUCCESS) m_batchResult = code;
    } else if (m_batchOpen && write && m_batchReadOnly) {
        // The first write of a batch that has only read: the read
        // transaction ends and a write transaction begins.
        CommitBatch();
    }
    if (InOwnBatch()) return RunInBatch(write, body);
    if (write) DropCache();
    // Writers queue on the installation's lock before SQLite's: SQLite's
    // busy handler polls with growing sleeps, so a writer that just
    // committed wins again and again against one that sleeps.
    bool locked = write && !m_batchLocked && WriterLock::Instance().Acquire();
    struct Unlock {
        bool locked;
        ~Unlock() {
            if (locked) WriterLock::Instance().Release();
        }
    } unlock{locked};
    m_writing = write;
    try {
        ExecStatement(write ? kBeginImmediate : kBegin);
        LONG result = body();
        if (write) ++m_ownWrites;
        ExecStatement(result == ERROR_SUCCESS || !write ? kCommit : kRollback);
        m_writing = false;
        return result;
    } catch (const SqlError& error) {
        m_writing = false;
        return Fail(error);
    } catch (const std::bad_alloc&) {
        m_writing = false;
        return Fail(SqlError{SQLITE_NOMEM, 0});
    }
}

//===-- 4a. Batches -----------------------------------------------------===//
//
// One transaction per call costs a WAL append and a round of file locks per
// call; a tree of a hundred thousand values restored call by call spends
// nearly all its time there. A batch keeps one write transaction open over
// many calls of one thread. Committing every kBatchCalls calls bounds both
// what a failure at commit can undo and how long other processes wait for
// the writer lock. A batch that only reads holds a read transaction the
// same way, which also spares each read its own transaction.

namespace {
constexpr int kBatchCalls = 256;
}

bool Store::InOwnBatch() const { return m_batchDepth > 0 && pthread_equal(m_batchOwner, pthread_self()); }

void Store::BeginBatch() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_batchDepth > 0 && !InOwnBatch()) {
        // Another thread's batch: this thread's calls stand alone.
        return;
    }
    if (m_batchDepth++ == 0) {
        m_batchOwner = pthread_self();
        m_batchResult = ERROR_SUCCESS;
    }
}

LONG Store::EndBatch() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!InOwnBatch()) return ERROR_SUCCESS;
    if (--m_batchDepth > 0) return ERROR_SUCCESS;
    LONG code = m_batchOpen ? CommitBatch() : ERROR_SUCCESS;
    if (m_batchLocked) {
        WriterLock::Instance().Release();
        m_batchLocked = false;
    }
    if (code == ERROR_SUCCESS) code = m_batchResult;
    m_batchResult = ERROR_SUCCESS;
    return code;
}

// Ends the open transaction of the batch with a commit; on failure
// SQLite's rollback leaves the calls since the last commit undone.
LONG Store::CommitBatch() {
    LONG code = ERROR_SUCCESS;
    try {
        ExecStatement(kCommit);
    } catch (const SqlError& error) {
        code = Fail(error);
    }
    AbandonBatch();
    return code;
}

// The writer lock is a mutex of the thread that took it: only the batch's
// own thread lets it go. Until it does, the other threads of this process
// write without taking it, as this process's turn is still on.
void Store::AbandonBatch() {
    if (m_db && !sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (m_batchLocked && InOwnBatch()) {
        WriterLock::Instance().Release();
        m_batchLocked = false;
    }
    m_batchOpen = false;
    m_batchReadOnly = false;
    m_batchCalls = 0;
    DropCache();
}

LONG Store::RunInBatch(bool write, BodyRef body) {
    if (!m_batchOpen) {
        DropCache();
        if (m_batchLocked) {
            // Kept since another thread committed: other processes get
            // their turn before the next transaction.
            WriterLock::Instance().Release();
            m_batchLocked = false;
        }
        m_batchLocked = write && WriterLock::Instance().Acquire();
        try {
            ExecStatement(write ? kBeginImmediate : kBegin);
        } catch (const SqlError& error) {
            AbandonBatch();
            return Fail(error);
        }
        m_batchOpen = true;
        m_batchReadOnly = !write;
        m_batchCalls = 0;
    }
    if (write) DropCache();
    m_writing = write;
    try {
        ExecStatement(kSavepoint);
        LONG result = body();
        if (write) ++m_ownWrites;
        if (result != ERROR_SUCCESS && write) ExecStatement(kRollbackTo);
        ExecStatement(kRelease);
        m_writing = false;
        if (++m_batchCalls >= kBatchCalls) {
            LONG code = CommitBatch();
            if (code != ERROR_SUCCESS) {
                m_batchResult = code;
                if (result == ERROR_SUCCESS) result = code;
            }
        }
        return result;
    } catch (const SqlError& error) {
        m_writing = false;
        // Undo this call alone while the transaction stands; if SQLite has
        // rolled the whole transaction back, the batch so far is lost and
        // the failure is kept for EndBatch.
        if (m_db && !sqlite3_get_autocommit(m_db) &&
            sqlite3_exec(m_db, "ROLLBACK TO tmcall; RELEASE tmcall", nullptr, nullptr, nullptr) == SQLITE_OK) {
            DropCache();
            return MapSqliteError(error.rc, error.sysErrno);
        }
        LONG code = Fail(error);
        m_batchResult = code;
        AbandonBatch();
        return code;
    } catch (const std::bad_alloc&) {
        m_writing = false;
        if (m_db && !sqlite3_get_autocommit(m_db) &&
            sqlite3_exec(m_db, "ROLLBACK TO tmcall; RELEASE tmcall", nullptr, nullptr, nullptr) == SQLITE_OK) {
            DropCache();
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        m_batchResult = ERROR_NOT_ENOUGH_MEMORY;
        AbandonBatch();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

//===-- 5. The read cache -----------------------------------------------===//
//
// Two Reg calls are two transactions, and each read transaction costs SQLite
// a lock and an unlock of its shared memory (two fcntl calls). The common
// open-read-close of one value would so cost twice what one bare SQLite
// transaction does. The cache answers repeated key lookups and value reads
// without SQLite while the WAL-index header is unchanged: writers of every
// process update that header as the last step of each commit, so a
// matching header proves that the cached answers are still the database's.

bool Store::ReadStamp(WalStamp* stamp) {
    if (!m_walHeader && !m_walHeaderTried && m_db && m_walMode) {
        m_walHeaderTried = true;
        sqlite3_file* file = nullptr;
        volatile void* region = nullptr;
        // Region 0 of the WAL index stays mapped at one address for the
        // life of the connection; it does not exist outside WAL mode.
        if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK &&
            file && file->pMethods && file->pMethods->iVersion >= 2 && file->pMethods->xShmMap &&
            file->pMethods->xShmMap(file, 0, 32768, 0, &region) == SQLITE_OK)
            m_walHeader = region;
        // Not mapped yet: try again at the next call.
        if (!region) m_walHeaderTried = false;
    }
    if (!m_walHeader) return false;
    // SQLite writes the second copy of the header, then the first; a
    // reader that finds both equal has read one whole header.
    auto* words = static_cast<const uint32_t*>(const_cast<const void*>(m_walHeader));
    WalStamp second;
    for (int i = 0; i < 12; ++i) stamp->words[i] = __atomic_load_n(&words[i], __ATOMIC_ACQUIRE);
    for (int i = 0; i < 12; ++i) second.words[i] = __atomic_load_n(&words[12 + i], __ATOMIC_ACQUIRE);
    const bool initialised = (stamp->words[3] & 0xff) != 0;
    return initialised && *stamp == second;
}

void Store::DropCache() {
    m_cache.clear();
    m_cacheBytes = 0;
    m_cacheStamp.reset();
}

const CacheEntry* Store::CacheFind(const std::string& key) const {
    auto it = m_cache.find(key);
    return it == m_cache.end() ? nullptr : &it->second;
}

void Store::CacheFill(std::string key, CacheEntry entry) {
    if (entry.data.size() > kCacheMaxValueSize) return;
    m_pending.emplace_back(std::move(key), std::move(entry));
}

LONG Store::RunCached(BodyRef fromCache, BodyRef body) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        LONG code = EnsureOpen();
        if (code != ERROR_SUCCESS) return code;
        // An open batch holds writes that are not committed yet: no cache.
        if (m_batchOpen) {
            LONG rc = RunLocked(false, body);
            m_pending.clear();
            return rc;
        }
        WalStamp before;
        const bool stamped = ReadStamp(&before);
        if (stamped && m_cacheStamp == before) {
            LONG rc = fromCache();
            if (rc != kCacheMiss) return rc;
        }
        m_pending.clear();
        LONG rc = RunLocked(false, body);
        WalStamp after;
        if (stamped && !m_pending.empty() && ReadStamp(&after) && after == before) {
            if (m_cacheStamp != before) DropCache();
            for (auto& [key, entry] : m_pending) {
                if (m_cache.size() >= kCacheMaxEntries || m_cacheBytes >= kCacheMaxBytes) DropCache();
                m_cacheBytes += key.size() + entry.data.size() + sizeof(CacheEntry);
                m_cache.insert_or_assign(std::move(key), std::move(entry));
            }
            m_cacheStamp = before;
        }
        m_pending.clear();
        return rc;
    }
}

//===-- 6. Fork ---------------------------------------------------------===//

// No call is inside SQLite while the process forks, so the child's copy of
// the connection is between transactions.
void Store::BeforeFork() { m_lock.lock(); }

void Store::AfterForkParent() { m_lock.unlock(); }

void Store::AfterForkChild() {
    if (m_db) {
        // SQLite's Unix layer keeps one record per open file and process,
        // with the locks it believes the process holds. The child inherits
        // that belief but none of the parent's fcntl locks, and a new
        // connection here would share the record: it would read and write
        // without holding a real lock, and a parent that closes last would
        // checkpoint and delete the WAL under it. So the old connection
        // gives up its shared-memory mapping and its lock level in this
        // process only (neither call touches the parent's locks), and is
        // then left alone: closing it could checkpoint the parent's file.
        sqlite3_file* file = nullptr;
        if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK &&
            file && file->pMethods) {
            if (file->pMethods->iVersion >= 2 && file->pMethods->xShmUnmap)
                file->pMethods->xShmUnmap(file, 0);
            file->pMethods->xUnlock(file, SQLITE_LOCK_NONE);
        }
        try {
            AbandonedConnections().push_back(m_db);
        } catch (const std::bad_alloc&) {
        }
        for (sqlite3_stmt*& stmt : m_statements) stmt = nullptr;
        m_db = nullptr;
        ++m_epoch;
    }
    DropCache();
    m_walHeader = nullptr;
    m_walHeaderTried = false;
    m_writing = false;
    // A batch belongs to a thread of the parent.
    m_batchDepth = 0;
    m_batchOpen = false;
    m_batchLocked = false;
    m_batchCalls = 0;
    m_batchResult = ERROR_SUCCESS;
    m_lock.unlock();
}

//===-- 7. The cross-process writer lock --------------------------------===//

struct Shared {
    uint32_t magic;
    uint32_t reserved;
    pthread_mutex_t mutex;
};

namespace {
constexpr uint32_t kWriterLockMagic = 0x544d5257;  // "TMRW"
constexpr size_t kSharedSize = 4096;
static_assert(sizeof(Shared) <= kSharedSize);
}  // namespace

WriterLock& WriterLock::Instance() {
    static WriterLock* lock = new WriterLock;
    return *lock;
}

bool WriterLock::Map() {
    std::string path = "/dev/shm/" + ObjectNamespace() + "registry-writer";
    int fd = Sys().open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0660);
    if (fd < 0) return false;
    // The file lock orders the first processes that meet a new file: one
    // sizes it and builds the mutex, the others wait and find it built.
    if (Sys().flock(fd, LOCK_EX) != 0) {
        Sys().close(fd);
        return false;
    }
    bool ok = false;
    struct stat st;
    if (Sys().fstat(fd, &st) == 0 &&
        (st.st_size >= static_cast<off_t>(kSharedSize) ||
         Sys().ftruncate(fd, kSharedSize) == 0)) {
        void* p = Sys().mmap(nullptr, kSharedSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) {
            auto* shared = static_cast<Shared*>(p);
            ok = shared->magic == kWriterLockMagic;
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
                if (ok) __atomic_store_n(&shared->magic, kWriterLockMagic, __ATOMIC_RELEASE);
            }
            if (ok) {
                m_shared = shared;
            } else {
                Sys().munmap(p, kSharedSize);
            }
        }
    }
    Sys().flock(fd, LOCK_UN);
    Sys().close(fd);
    return ok;
}

bool WriterLock::Acquire() {
    if (!m_tried) {
        m_tried = true;
        Map();
    }
    if (!m_shared) return false;
    int rc = pthread_mutex_trylock(&m_shared->mutex);
    if (rc == EBUSY) {
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += kBusyTimeoutMs / 1000;
        rc = pthread_mutex_timedlock(&m_shared->mutex, &deadline);
#ifdef TM_TSAN
        // The sanitizer records a timed lock only when it returns 0; an
        // inherited lock is ours all the same.
        if (rc == EOWNERDEAD) __tsan_mutex_post_lock(&m_shared->mutex, 0, 1);
#endif
    }
    if (rc == EOWNERDEAD) {
        // The holder died inside a write; SQLite rolls its transaction
        // back from the journal, so the lock itself is all that is left.
        pthread_mutex_consistent(&m_shared->mutex);
        rc = 0;
    }
    return rc == 0;
}

void WriterLock::Release() { pthread_mutex_unlock(&m_shared->mutex); }

}  // namespace w32::reg
