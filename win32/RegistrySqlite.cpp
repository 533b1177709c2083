//===-- win32/RegistrySqlite.cpp - The registry in a SQLite database ------===//
//
// The store of one host: the whole registry is one SQLite database file in
// WAL mode. Writers of all processes of the installation queue on the
// registry page's writer lock (SharedSegment.h), which hands over in
// arrival order, before they start their SQLite write transaction. Key
// lookups and value reads (a value found missing too) are kept in the read
// cache (RegistryCache.h) and answered from there while SQLite's WAL-index
// header is unchanged, i.e. while no process has committed anything since;
// a write of this process keeps the cache when nobody else committed in
// between.
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
// Contents:
//   1. Error mapping
//   2. Statements and queries
//   3. The connection: open, schema, volatile keys, close
//   4. Transactions
//   5. Batches
//   6. The read cache's stamp
//   7. Keys
//   8. Values and enumeration
//   9. Whole registries
//  10. Fork
//
// Diagnostics: nothing is logged; a failing SQLite call inside a body throws
// SqlError, which the runner turns into a Win32 code (MapSqliteError) after
// rolling back.
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "Layer.h"
#include "RegistryCache.h"
#include "RegistryStore.h"
#include "SharedSegment.h"
#include "SysCalls.h"

namespace w32::reg {
namespace {

constexpr int kSchemaVersion = 1;

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

// One commit of a batch every kBatchCalls calls (see section 5).
constexpr int kBatchCalls = 256;

struct SqlError {
    int rc;
    int sysErrno;
    LONG code = 0;  // a Win32 code of its own, when SQLite's does not say it
};

[[noreturn]] void Throw(sqlite3* db, int rc) {
    throw SqlError{rc, db ? sqlite3_system_errno(db) : 0};
}

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

LONG MapSqliteError(const SqlError& error) {
    return error.code ? error.code : MapSqliteError(error.rc, error.sysErrno);
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

// Identifies one state of the database as this connection sees it: equal
// generations mean nothing was committed by anyone in between.
struct Generation {
    uint64_t epoch = 0;        // connection; changes when it is reopened
    int64_t dataVersion = -1;  // commits of other connections
    uint64_t ownWrites = 0;    // commits of this connection
    bool Matches(const EnumCursor& cursor) const {
        return cursor.valid && cursor.stamp[0] == epoch && cursor.stamp[1] == uint64_t(dataVersion) &&
               cursor.stamp[2] == ownWrites;
    }
    void StampInto(EnumCursor* cursor) const {
        cursor->stamp[0] = epoch;
        cursor->stamp[1] = uint64_t(dataVersion);
        cursor->stamp[2] = ownWrites;
    }
};

// A borrowed callable, so the transaction runner is not a template.
using Body = FunctionRef<LONG()>;

class SqliteStore;

// What a database file holds, before anything in it is changed.
enum class Contents { kEmpty, kRegistry, kLaterRegistry, kForeign };
Contents ClassifyDatabase(sqlite3* db);

// One use of a prepared statement; resets it when it goes out of scope so
// that no statement holds the snapshot open beyond its call.
class Query {
public:
    Query(SqliteStore& store, StatementId id);
    ~Query() { sqlite3_reset(m_stmt); }
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
    Allowance AllowanceAt(int col) const {
        if (IsNull(col)) return std::nullopt;
        return static_cast<uint32_t>(Int(col));
    }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt;
};

// Inside a transaction: whether a key still exists, with its allowance and
// volatility.
struct KeyState {
    bool exists = false;
    Allowance allowed;
    bool isVolatile = false;
};

class SqliteStore final : public Store {
public:
    SqliteStore(std::string path, OpenMode mode) : m_path(std::move(path)), m_mode(mode) {}
    ~SqliteStore() override { CloseConnection(); }

    LONG OpenKey(KeyObject& base, const std::string& path, bool self, KeyInfo* out) override;
    LONG CreateKey(KeyObject& base, const std::vector<std::string_view>& names, const std::string& path,
                   bool makeVolatile, KeyInfo* out, bool* created) override;
    LONG DeleteKey(KeyObject& base, const std::string* path) override;
    LONG SetRestriction(KeyObject& base, const std::string* path, Allowance allowed) override;
    LONG QueryValue(KeyObject& key, std::string_view name, ValueSink deliver) override;
    LONG SetValue(KeyObject& key, std::string_view name, DWORD type, const void* data, size_t size) override;
    LONG DeleteValue(KeyObject& key, std::string_view name) override;
    LONG IncrementValue(KeyObject& key, std::string_view name, DWORD mask, DWORD* next) override;
    LONG EnumKey(KeyObject& key, DWORD index, NameSink deliver) override;
    LONG EnumValue(KeyObject& key, DWORD index, ValueEntrySink deliver) override;
    void BeginBatch() override;
    LONG EndBatch() override;
    LONG ReadImage(RegistryImage* image) override;
    LONG LoadImage(const RegistryImage& image) override;
    void BeforeFork() override { m_lock.lock(); }
    void AfterForkParent() override { m_lock.unlock(); }
    void AfterForkChild() override;
    LONG Check() override {
        std::lock_guard<std::mutex> guard(m_lock);
        return EnsureOpen();
    }

    sqlite3_stmt* Statement(StatementId id);
    sqlite3* Connection() { return m_db; }

private:

    // Transactions.
    LONG Read(Body body) { return Run(false, body); }
    LONG Write(Body body) { return Run(true, body); }
    LONG Run(bool write, Body body);
    LONG RunLocked(bool write, Body body);
    // Answers a read from the cache when nothing was committed since the
    // cache was filled: fromCache runs under the lock without touching
    // SQLite and may return kCacheMiss; then body runs as one read
    // transaction, and what it offers to the cache is kept if the database
    // did not change while it ran.
    LONG ReadCached(Body fromCache, Body body);
    LONG RunInBatch(bool write, Body body);
    bool UndoCallInBatch(bool write);
    bool InOwnBatch() const;
    LONG CommitBatch();
    void AbandonBatch();
    Generation CurrentGeneration();
    int64_t DataVersion();
    LONG Fail(const SqlError& error);
    bool AcquireWriter();
    void ReleaseWriter();

    // What a write of this process changed, for the cache it may keep.
    void NoteValue(int64_t keyId, std::string_view name, std::optional<CacheEntry> entry);
    void NoteKeys() { m_ownKeysChanged = true; }

    // The connection.
    LONG EnsureOpen();
    void OpenConnection();
    Contents Classify() { return ClassifyDatabase(m_db); }
    void PrepareSchema(Contents contents);
    void PurgeVolatileKeys();
    void CloseConnection();
    void Exec(const char* sql);
    void ExecStatement(StatementId id);
    bool ReadStamp(CacheStamp* stamp);
    void DropCache() { m_cache.Drop(); }

    // Inside a body.
    KeyState LoadKey(int64_t id);
    bool KeyExists(const KeyObject& key) { return key.root || LoadKey(key.id).exists; }
    LONG FindTarget(const KeyObject& base, const std::string* path, int64_t* id, KeyState* state);

    const std::string m_path;
    const OpenMode m_mode;
    std::mutex m_lock;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_statements[kStatementCount] = {};
    uint64_t m_epoch = 1;
    uint64_t m_ownWrites = 0;
    bool m_emptySource = false;
    // The read cache and where SQLite's WAL-index header lies.
    ReadCache m_cache;
    const volatile void* m_walHeader = nullptr;
    bool m_walHeaderTried = false;
    bool m_walMode = false;
    std::vector<std::pair<std::string, std::optional<CacheEntry>>> m_ownValues;
    bool m_ownKeysChanged = false;
    // The batch: its owner, nesting, and the transaction it has open.
    int m_batchDepth = 0;
    pthread_t m_batchOwner{};
    bool m_batchOpen = false;
    bool m_batchReadOnly = false;
    bool m_batchLocked = false;
    int m_batchCalls = 0;
    int64_t m_batchVersion = -1;  // PRAGMA data_version in the open transaction
    LONG m_batchResult = ERROR_SUCCESS;
};

//===-- 2. Statements and queries ---------------------------------------===//

Query::Query(SqliteStore& store, StatementId id) : m_db(store.Connection()), m_stmt(store.Statement(id)) {}

Query& Query::Bind(int index, int64_t value) {
    int rc = sqlite3_bind_int64(m_stmt, index, value);
    if (rc != SQLITE_OK) Throw(m_db, rc);
    return *this;
}

Query& Query::BindNull(int index) {
    int rc = sqlite3_bind_null(m_stmt, index);
    if (rc != SQLITE_OK) Throw(m_db, rc);
    return *this;
}

Query& Query::Bind(int index, std::string_view text) {
    // Names are bytes; SQLite keeps them as given and NOCASE folds only
    // ASCII letters, as NT compares registry names.
    int rc = sqlite3_bind_text64(m_stmt, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
    if (rc != SQLITE_OK) Throw(m_db, rc);
    return *this;
}

Query& Query::BindBlob(int index, const void* data, size_t size) {
    // A NULL pointer would bind SQL NULL; an empty value is an empty blob.
    static const char kEmpty = 0;
    int rc = sqlite3_bind_blob64(m_stmt, index, size ? data : &kEmpty, size, SQLITE_STATIC);
    if (rc != SQLITE_OK) Throw(m_db, rc);
    return *this;
}

bool Query::Step() {
    int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Throw(m_db, rc);
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

sqlite3_stmt* SqliteStore::Statement(StatementId id) {
    sqlite3_stmt*& stmt = m_statements[id];
    if (!stmt) {
        int rc = sqlite3_prepare_v3(m_db, kStatementSql[id], -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
        if (rc != SQLITE_OK) Throw(m_db, rc);
    }
    return stmt;
}

void SqliteStore::Exec(const char* sql) {
    int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Throw(m_db, rc);
}

void SqliteStore::ExecStatement(StatementId id) {
    Query q(*this, id);
    q.Step();
}

//===-- 3. The connection -----------------------------------------------===//

LONG SqliteStore::EnsureOpen() {
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

void SqliteStore::OpenConnection() {
    // The process's registry file is made only by TmRegCreateRegistry: a
    // mistyped TAMARAK_REGISTRY is an error, not a new empty configuration.
    if (m_mode == OpenMode::kProcess) {
        struct stat st;
        if (Sys().stat(m_path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
            throw SqlError{SQLITE_CANTOPEN, errno, ERROR_CANTOPEN};
        }
    }
    sqlite3* db = nullptr;
    // A source is never made: a missing file is a missing registry.
    const int create = m_mode == OpenMode::kTarget ? SQLITE_OPEN_CREATE : 0;
    int rc = sqlite3_open_v2(m_path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | create | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE, nullptr);
    if (rc != SQLITE_OK) {
        int err = db ? sqlite3_system_errno(db) : 0;
        sqlite3_close(db);
        if (m_mode == OpenMode::kSource && err == ENOENT) throw SqlError{rc, err, ERROR_FILE_NOT_FOUND};
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
    if (m_mode == OpenMode::kSource) {
        m_emptySource = contents == Contents::kEmpty;
        return;
    }
    const char* mode = sqlite3_db_readonly(m_db, "main") ? "PRAGMA journal_mode" : "PRAGMA journal_mode=WAL";
    sqlite3_stmt* stmt = nullptr;
    rc = sqlite3_prepare_v2(m_db, mode, -1, &stmt, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
    m_walMode = rc == SQLITE_ROW &&
                sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "wal") == 0;
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW) Throw(m_db, rc);
    Exec(kPragmas);
    PrepareSchema(contents);
    if (m_mode == OpenMode::kProcess) PurgeVolatileKeys();
}

// One statement, so that all three answers come from one snapshot.
Contents ClassifyDatabase(sqlite3* db) {
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

bool SqliteStore::AcquireWriter() {
    return m_mode == OpenMode::kProcess && RegistryPage::Instance().AcquireWriter(kBusyTimeoutMs);
}

void SqliteStore::ReleaseWriter() { RegistryPage::Instance().ReleaseWriter(); }

void SqliteStore::PrepareSchema(Contents contents) {
    if (contents == Contents::kRegistry) return;
    if (sqlite3_db_readonly(m_db, "main")) throw SqlError{SQLITE_READONLY, 0};
    // Several processes may meet a new file at once: the writer lock and
    // BEGIN IMMEDIATE let one create the schema, the others find it made.
    bool locked = AcquireWriter();
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
        if (locked) ReleaseWriter();
        throw;
    }
    if (locked) ReleaseWriter();
}

void SqliteStore::PurgeVolatileKeys() {
    if (sqlite3_db_readonly(m_db, "main")) return;
    std::string boot = CurrentBootId();
    if (boot.empty()) return;
    auto storedBoot = [this] {
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v2(m_db, "SELECT value FROM meta WHERE name = 'boot'", -1, &stmt, nullptr);
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
    bool locked = AcquireWriter();
    try {
        Exec("BEGIN IMMEDIATE");
        if (storedBoot() != boot) {
            Exec("DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE volatile);"
                 "DELETE FROM keys WHERE volatile;");
            sqlite3_stmt* stmt = nullptr;
            int rc = sqlite3_prepare_v2(m_db, "INSERT OR REPLACE INTO meta(name, value) VALUES('boot', ?1)", -1,
                                        &stmt, nullptr);
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
        if (locked) ReleaseWriter();
        throw;
    }
    if (locked) ReleaseWriter();
}

void SqliteStore::CloseConnection() {
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

int64_t SqliteStore::DataVersion() {
    // Nobody else's commit shows inside the batch's transaction, which
    // keeps one snapshot (or the write lock) until the batch commits: one
    // reading serves all its calls. An index walk would otherwise pay this
    // statement at every index.
    if (m_batchOpen && m_batchVersion >= 0) return m_batchVersion;
    Query q(*this, kDataVersion);
    q.Step();
    const int64_t version = q.Int(0);
    if (m_batchOpen) m_batchVersion = version;
    return version;
}

Generation SqliteStore::CurrentGeneration() { return Generation{m_epoch, DataVersion(), m_ownWrites}; }

LONG SqliteStore::Fail(const SqlError& error) {
    LONG code = MapSqliteError(error);
    if (m_db && !sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (IsConnectionFatal(error.rc)) CloseConnection();
    return code;
}

LONG SqliteStore::Run(bool write, Body body) {
    std::lock_guard<std::mutex> guard(m_lock);
    LONG code = EnsureOpen();
    if (code != ERROR_SUCCESS) return code;
    return RunLocked(write, body);
}

void SqliteStore::NoteValue(int64_t keyId, std::string_view name, std::optional<CacheEntry> entry) {
    m_ownValues.emplace_back(ValueCacheKey(keyId, name), std::move(entry));
}

LONG SqliteStore::RunLocked(bool write, Body body) {
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
    // Writers queue on the installation's lock before SQLite's: SQLite's
    // busy handler polls with growing sleeps, so a writer that just
    // committed wins again and again against one that sleeps.
    bool locked = write && !m_batchLocked && AcquireWriter();
    struct Unlock {
        SqliteStore* store;
        bool locked;
        ~Unlock() {
            if (locked) store->ReleaseWriter();
        }
    } unlock{this, locked};
    try {
        ExecStatement(write ? kBeginImmediate : kBegin);
        // Holding SQLite's write lock, nobody else commits until this
        // transaction does: a cache valid now is valid up to its commit.
        CacheStamp atStart;
        bool keepCache = write && ReadStamp(&atStart) && m_cache.ValidFor(atStart);
        const int64_t versionAtStart = keepCache ? DataVersion() : 0;
        m_ownValues.clear();
        m_ownKeysChanged = false;
        LONG result = body();
        if (write) ++m_ownWrites;
        const bool commit = result == ERROR_SUCCESS || !write;
        ExecStatement(commit ? kCommit : kRollback);
        if (write && commit) {
            // The cache stays if this commit was the only one since: the
            // header after it, read before the version that proves nobody
            // else committed in between.
            CacheStamp after;
            keepCache = keepCache && !m_ownKeysChanged && ReadStamp(&after) && DataVersion() == versionAtStart;
            if (keepCache) {
                m_cache.Restamp(after);
                for (auto& [key, entry] : m_ownValues) {
                    if (entry) {
                        m_cache.Put(std::move(key), std::move(*entry));
                    } else {
                        m_cache.Erase(key);
                    }
                }
            } else {
                DropCache();
            }
        }
        return result;
    } catch (const SqlError& error) {
        if (write) DropCache();
        return Fail(error);
    } catch (const std::bad_alloc&) {
        if (write) DropCache();
        return Fail(SqlError{SQLITE_NOMEM, 0});
    }
}

//===-- 5. Batches ------------------------------------------------------===//
//
// One transaction per call costs a WAL append and a round of file locks per
// call; a tree of a hundred thousand values restored call by call spends
// nearly all its time there. A batch keeps one write transaction open over
// many calls of one thread. Committing every kBatchCalls calls bounds both
// what a failure at commit can undo and how long other processes wait for
// the writer lock. A batch that only reads holds a read transaction the
// same way, which also spares each read its own transaction.

bool SqliteStore::InOwnBatch() const {
    return m_batchDepth > 0 && pthread_equal(m_batchOwner, pthread_self());
}

void SqliteStore::BeginBatch() {
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

LONG SqliteStore::EndBatch() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!InOwnBatch()) return ERROR_SUCCESS;
    if (--m_batchDepth > 0) return ERROR_SUCCESS;
    LONG code = m_batchOpen ? CommitBatch() : ERROR_SUCCESS;
    if (m_batchLocked) {
        ReleaseWriter();
        m_batchLocked = false;
    }
    if (code == ERROR_SUCCESS) code = m_batchResult;
    m_batchResult = ERROR_SUCCESS;
    return code;
}

// Ends the open transaction of the batch with a commit; on failure
// SQLite's rollback leaves the calls since the last commit undone.
LONG SqliteStore::CommitBatch() {
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
void SqliteStore::AbandonBatch() {
    if (m_db && !sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (m_batchLocked && InOwnBatch()) {
        ReleaseWriter();
        m_batchLocked = false;
    }
    m_batchOpen = false;
    m_batchReadOnly = false;
    m_batchCalls = 0;
    m_batchVersion = -1;
    DropCache();
}

LONG SqliteStore::RunInBatch(bool write, Body body) {
    if (!m_batchOpen) {
        DropCache();
        if (m_batchLocked) {
            // Kept since another thread committed: other processes get
            // their turn before the next transaction.
            ReleaseWriter();
            m_batchLocked = false;
        }
        m_batchLocked = write && AcquireWriter();
        try {
            ExecStatement(write ? kBeginImmediate : kBegin);
        } catch (const SqlError& error) {
            AbandonBatch();
            return Fail(error);
        }
        m_batchOpen = true;
        m_batchReadOnly = !write;
        m_batchCalls = 0;
        m_batchVersion = -1;
    }
    if (write) DropCache();
    m_ownValues.clear();
    try {
        // A call that only reads has nothing to undo: it runs without a
        // savepoint of its own, which would otherwise be two statements of
        // the three or four that a read inside a batch costs.
        if (write) ExecStatement(kSavepoint);
        LONG result = body();
        m_ownValues.clear();
        if (write) {
            ++m_ownWrites;
            if (result != ERROR_SUCCESS) ExecStatement(kRollbackTo);
            ExecStatement(kRelease);
        }
        if (++m_batchCalls >= kBatchCalls) {
            LONG code = CommitBatch();
            if (code != ERROR_SUCCESS) {
                m_batchResult = code;
                if (result == ERROR_SUCCESS) result = code;
            }
        }
        return result;
    } catch (const SqlError& error) {
        // Undo this call alone while the transaction stands (a read has
        // changed nothing); if SQLite has rolled the whole transaction
        // back, the batch so far is lost and the failure is kept for
        // EndBatch.
        if (UndoCallInBatch(write)) return MapSqliteError(error.rc, error.sysErrno);
        LONG code = Fail(error);
        m_batchResult = code;
        AbandonBatch();
        return code;
    } catch (const std::bad_alloc&) {
        if (UndoCallInBatch(write)) return ERROR_NOT_ENOUGH_MEMORY;
        m_batchResult = ERROR_NOT_ENOUGH_MEMORY;
        AbandonBatch();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// After a call of the batch failed: true when the batch's transaction
// still stands, with the call's own changes (if it wrote) undone.
bool SqliteStore::UndoCallInBatch(bool write) {
    if (!m_db || sqlite3_get_autocommit(m_db)) return false;
    if (write && sqlite3_exec(m_db, "ROLLBACK TO tmcall; RELEASE tmcall", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    DropCache();
    return true;
}

//===-- 6. The read cache's stamp ---------------------------------------===//
//
// Two Reg calls are two transactions, and each read transaction costs SQLite
// a lock and an unlock of its shared memory (two fcntl calls). The common
// open-read-close of one value would so cost twice what one bare SQLite
// transaction does. The cache answers repeated key lookups and value reads
// without SQLite while the WAL-index header is unchanged: writers of every
// process update that header as the last step of each commit, so a
// matching header proves that the cached answers are still the database's.

// A copy of the WAL-index header in SQLite's shared memory. Every commit
// of every process changes it (its change counter, frame count and salts).
bool SqliteStore::ReadStamp(CacheStamp* stamp) {
    if (!m_walHeader && !m_walHeaderTried && m_db && m_walMode) {
        m_walHeaderTried = true;
        sqlite3_file* file = nullptr;
        volatile void* region = nullptr;
        // Region 0 of the WAL index stays mapped at one address for the
        // life of the connection; it does not exist outside WAL mode.
        if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK && file &&
            file->pMethods && file->pMethods->iVersion >= 2 && file->pMethods->xShmMap &&
            file->pMethods->xShmMap(file, 0, 32768, 0, &region) == SQLITE_OK)
            m_walHeader = region;
        // Not mapped yet: try again at the next call.
        if (!region) m_walHeaderTried = false;
    }
    if (!m_walHeader) return false;
    // SQLite writes the second copy of the header, then the first; a
    // reader that finds both equal has read one whole header.
    auto* words = static_cast<const uint32_t*>(const_cast<const void*>(m_walHeader));
    CacheStamp second;
    static_assert(sizeof stamp->words / sizeof stamp->words[0] == 12);
    for (int i = 0; i < 12; ++i) stamp->words[i] = __atomic_load_n(&words[i], __ATOMIC_ACQUIRE);
    for (int i = 0; i < 12; ++i) second.words[i] = __atomic_load_n(&words[12 + i], __ATOMIC_ACQUIRE);
    const bool initialised = (stamp->words[3] & 0xff) != 0;
    return initialised && *stamp == second;
}

LONG SqliteStore::ReadCached(Body fromCache, Body body) {
    std::lock_guard<std::mutex> guard(m_lock);
    LONG code = EnsureOpen();
    if (code != ERROR_SUCCESS) return code;
    // An open batch holds writes that are not committed yet: no cache.
    if (m_batchOpen) {
        LONG rc = RunLocked(false, body);
        m_cache.Forget();
        return rc;
    }
    CacheStamp before;
    const bool stamped = ReadStamp(&before);
    if (stamped && m_cache.ValidFor(before)) {
        LONG rc = fromCache();
        if (rc != kCacheMiss) return rc;
    }
    m_cache.Forget();
    LONG rc = RunLocked(false, body);
    CacheStamp after;
    if (stamped && ReadStamp(&after) && after == before) {
        m_cache.Keep(before);
    } else {
        m_cache.Forget();
    }
    return rc;
}

//===-- 7. Keys ---------------------------------------------------------===//

KeyState SqliteStore::LoadKey(int64_t id) {
    Query q(*this, kKeyById);
    q.Bind(1, id);
    KeyState state;
    if (q.Step()) {
        state.exists = true;
        state.allowed = q.AllowanceAt(0);
        state.isVolatile = q.Int(1) != 0;
    }
    return state;
}

LONG SqliteStore::OpenKey(KeyObject& base, const std::string& path, bool self, KeyInfo* out) {
    const std::string cacheKey = KeyCacheKey(path);
    auto fromCache = [&]() -> LONG {
        // The base key is known to exist if the cache holds it.
        if (!base.root) {
            const CacheEntry* known = m_cache.Find(KeyCacheKey(base.path));
            if (!known || known->id != base.id) return kCacheMiss;
        }
        const CacheEntry* entry = m_cache.Find(cacheKey);
        if (!entry) return kCacheMiss;
        out->id = entry->id;
        out->allowed = entry->allowed;
        return ERROR_SUCCESS;
    };
    return ReadCached(fromCache, [&]() -> LONG {
        // A deleted key's path may have been taken by a new key since.
        if (!base.root) {
            KeyState state = LoadKey(base.id);
            if (!state.exists) return ERROR_KEY_DELETED;
            m_cache.Offer(KeyCacheKey(base.path), CacheEntry{base.id, state.allowed, 0, {}});
            if (self) {
                out->id = base.id;
                out->allowed = state.allowed;
                return ERROR_SUCCESS;
            }
        }
        Query q(*this, kKeyByPath);
        q.Bind(1, path);
        if (!q.Step()) return ERROR_FILE_NOT_FOUND;
        out->id = q.Int(0);
        out->allowed = q.AllowanceAt(1);
        m_cache.Offer(cacheKey, CacheEntry{out->id, out->allowed, 0, {}});
        return ERROR_SUCCESS;
    });
}

LONG SqliteStore::CreateKey(KeyObject& base, const std::vector<std::string_view>& names, const std::string& path,
                            bool makeVolatile, KeyInfo* out, bool* created) {
    // Most calls find the key made already: that needs no write lock.
    *created = false;
    LONG rc = OpenKey(base, path, names.empty(), out);
    if (rc != ERROR_FILE_NOT_FOUND) return rc;
    return Write([&]() -> LONG {
        *created = false;
        KeyState current = LoadKey(base.id);
        if (!current.exists) return ERROR_KEY_DELETED;
        int64_t currentId = base.id;
        std::string prefix = base.path;
        for (std::string_view name : names) {
            prefix += '\\';
            prefix += name;
            Query find(*this, kKeyByPath);
            find.Bind(1, prefix);
            if (find.Step()) {
                currentId = find.Int(0);
                current.allowed = find.AllowanceAt(1);
                current.isVolatile = find.Int(2) != 0;
                *created = false;
                continue;
            }
            // Creating is checked against the parent key's own security,
            // not the access of the handle it came from.
            if (!Allows(current.allowed, kCreateSubKeyRight)) return ERROR_ACCESS_DENIED;
            if (current.isVolatile && !makeVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
            Query insert(*this, kInsertKey);
            insert.Bind(1, currentId).Bind(2, name).Bind(3, prefix);
            insert.Bind(4, int64_t(makeVolatile));
            insert.Step();
            currentId = sqlite3_last_insert_rowid(m_db);
            current = KeyState{true, std::nullopt, makeVolatile};
            *created = true;
            NoteKeys();
        }
        out->id = currentId;
        out->allowed = current.allowed;
        return ERROR_SUCCESS;
    });
}

// The key that base and path name, inside a write: base itself when path
// is null. The roots are rows too, with their restrictions.
LONG SqliteStore::FindTarget(const KeyObject& base, const std::string* path, int64_t* id, KeyState* state) {
    *state = LoadKey(base.id);
    if (!state->exists) return ERROR_KEY_DELETED;
    *id = base.id;
    if (path) {
        Query q(*this, kKeyByPath);
        q.Bind(1, *path);
        if (!q.Step()) return ERROR_FILE_NOT_FOUND;
        *id = q.Int(0);
        state->allowed = q.AllowanceAt(1);
    }
    return ERROR_SUCCESS;
}

LONG SqliteStore::DeleteKey(KeyObject& base, const std::string* path) {
    return Write([&]() -> LONG {
        int64_t id = 0;
        KeyState target;
        if (LONG rc = FindTarget(base, path, &id, &target)) return rc;
        // Checked against the key's own security, as NT opens the key for
        // DELETE before it deletes it.
        if (!Allows(target.allowed, kDeleteRight)) return ERROR_ACCESS_DENIED;
        // NT refuses to delete a key that still has subkeys; callers walk
        // the tree themselves.
        Query children(*this, kHasChild);
        children.Bind(1, id);
        if (children.Step()) return ERROR_ACCESS_DENIED;
        Query values(*this, kDeleteKeyValues);
        values.Bind(1, id).Step();
        Query key(*this, kDeleteKey);
        key.Bind(1, id).Step();
        NoteKeys();
        return ERROR_SUCCESS;
    });
}

LONG SqliteStore::SetRestriction(KeyObject& base, const std::string* path, Allowance allowed) {
    return Write([&]() -> LONG {
        int64_t id = 0;
        KeyState target;
        if (LONG rc = FindTarget(base, path, &id, &target)) return rc;
        Query update(*this, kSetRestriction);
        update.Bind(1, id);
        if (allowed) {
            update.Bind(2, int64_t(*allowed));
        } else {
            update.BindNull(2);
        }
        update.Step();
        NoteKeys();
        return ERROR_SUCCESS;
    });
}

//===-- 8. Values and enumeration ---------------------------------------===//

LONG SqliteStore::QueryValue(KeyObject& key, std::string_view name, ValueSink deliver) {
    const std::string cacheKey = ValueCacheKey(key.id, name);
    auto fromCache = [&]() -> LONG {
        const CacheEntry* entry = m_cache.Find(cacheKey);
        if (!entry) return kCacheMiss;
        if (entry->missing) return ERROR_FILE_NOT_FOUND;
        return deliver(entry->type, entry->data.data(), entry->data.size());
    };
    return ReadCached(fromCache, [&]() -> LONG {
        Query q(*this, kGetValue);
        q.Bind(1, key.id).Bind(2, name);
        if (!q.Step()) {
            if (!KeyExists(key)) return ERROR_KEY_DELETED;
            // Optional values that are not set are read as often as those
            // that are (a report's sender, the local domains): the answer
            // is kept as well, while the key still exists and nobody has
            // committed.
            CacheEntry absent;
            absent.id = key.id;
            absent.missing = true;
            m_cache.Offer(cacheKey, std::move(absent));
            return ERROR_FILE_NOT_FOUND;
        }
        DWORD type = static_cast<DWORD>(q.Int(0));
        auto [data, size] = q.Blob(1);
        m_cache.Offer(cacheKey, CacheEntry{key.id, {}, type,
                                           size ? std::string(static_cast<const char*>(data), size) : std::string()});
        return deliver(type, data, size);
    });
}

LONG SqliteStore::SetValue(KeyObject& key, std::string_view name, DWORD type, const void* data, size_t size) {
    return Write([&]() -> LONG {
        if (!KeyExists(key)) return ERROR_KEY_DELETED;
        Query q(*this, kSetValue);
        q.Bind(1, key.id).Bind(2, name).Bind(3, int64_t(type)).BindBlob(4, data, size);
        q.Step();
        if (size <= kCacheMaxValueSize) {
            NoteValue(key.id, name, CacheEntry{key.id, {}, type,
                                               size ? std::string(static_cast<const char*>(data), size) : std::string()});
        } else {
            NoteValue(key.id, name, std::nullopt);
        }
        return ERROR_SUCCESS;
    });
}

LONG SqliteStore::DeleteValue(KeyObject& key, std::string_view name) {
    return Write([&]() -> LONG {
        if (!KeyExists(key)) return ERROR_KEY_DELETED;
        Query q(*this, kDeleteValue);
        q.Bind(1, key.id).Bind(2, name);
        q.Step();
        NoteValue(key.id, name, std::nullopt);
        return sqlite3_changes(m_db) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LONG SqliteStore::IncrementValue(KeyObject& key, std::string_view name, DWORD mask, DWORD* next) {
    return Write([&]() -> LONG {
        if (!KeyExists(key)) return ERROR_KEY_DELETED;
        DWORD number = 0;
        {
            Query q(*this, kGetValue);
            q.Bind(1, key.id).Bind(2, name);
            if (q.Step()) {
                auto [data, size] = q.Blob(1);
                if (size <= sizeof number && size) memcpy(&number, data, size);
            }
        }
        number = (number + 1) & mask;
        Query q(*this, kSetValue);
        q.Bind(1, key.id).Bind(2, name).Bind(3, int64_t(REG_DWORD)).BindBlob(4, &number, sizeof number);
        q.Step();
        NoteValue(key.id, name,
                  CacheEntry{key.id, {}, REG_DWORD, std::string(reinterpret_cast<const char*>(&number), sizeof number)});
        *next = number;
        return ERROR_SUCCESS;
    });
}

// Callers walk indices 0, 1, 2, ... and SQLite can only count its way to
// an offset. Each handle remembers the index and row it found last; the
// next index continues after that row when nothing was committed by anyone
// in between, and otherwise the exact offset query answers.
LONG SqliteStore::EnumKey(KeyObject& key, DWORD index, NameSink deliver) {
    return Read([&]() -> LONG {
        EnumCursor& cursor = key.subkeys;
        Generation now = CurrentGeneration();
        const bool current = now.Matches(cursor);
        if (!(current && index == cursor.index)) {
            std::optional<Query> q;
            if (current && index == cursor.index + 1) {
                q.emplace(*this, kEnumKeyAfter);
                q->Bind(1, key.id).Bind(2, cursor.name);
            } else {
                q.emplace(*this, kEnumKeyAt);
                q->Bind(1, key.id).Bind(2, int64_t(index));
            }
            cursor.valid = false;
            if (!q->Step()) return KeyExists(key) ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
            cursor.name.assign(q->Text(0));
            now.StampInto(&cursor);
            cursor.index = index;
            cursor.valid = true;
        }
        return deliver(cursor.name);
    });
}

LONG SqliteStore::EnumValue(KeyObject& key, DWORD index, ValueEntrySink deliver) {
    return Read([&]() -> LONG {
        EnumCursor& cursor = key.values;
        Generation now = CurrentGeneration();
        const bool current = now.Matches(cursor);
        std::optional<Query> q;
        if (current && (index == cursor.index || index == cursor.index + 1)) {
            q.emplace(*this, kEnumValueAfter);
            int64_t after = index == cursor.index ? cursor.rowId - 1 : cursor.rowId;
            q->Bind(1, key.id).Bind(2, after);
        } else {
            q.emplace(*this, kEnumValueAt);
            q->Bind(1, key.id).Bind(2, int64_t(index));
        }
        cursor.valid = false;
        if (!q->Step()) return KeyExists(key) ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
        cursor.rowId = q->Int(0);
        now.StampInto(&cursor);
        cursor.index = index;
        cursor.valid = true;
        auto [data, size] = q->Blob(3);
        return deliver(q->Text(1), static_cast<DWORD>(q->Int(2)), data, size);
    });
}

//===-- 9. Whole registries ---------------------------------------------===//

LONG SqliteStore::ReadImage(RegistryImage* image) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (LONG code = EnsureOpen()) return code;
        // A source file that is empty holds a registry with nothing in it.
        if (m_emptySource) return ERROR_SUCCESS;
    }
    return Read([&]() -> LONG {
        *image = RegistryImage();
        sqlite3_stmt* stmt = nullptr;
        // Only volatile keys lie below a volatile key: leaving out the
        // volatile rows leaves out whole subtrees.
        auto each = [&](const char* sql, auto&& row) {
            int rc = sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr);
            if (rc == SQLITE_OK) {
                while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) row();
            }
            sqlite3_finalize(stmt);
            if (rc != SQLITE_DONE) Throw(m_db, rc);
        };
        auto text = [&](int col) {
            const char* p = reinterpret_cast<const char*>(sqlite3_column_blob(stmt, col));
            return std::string(p ? p : "", size_t(sqlite3_column_bytes(stmt, col)));
        };
        auto allowance = [&](int col) -> Allowance {
            if (sqlite3_column_type(stmt, col) == SQLITE_NULL) return std::nullopt;
            return uint32_t(sqlite3_column_int64(stmt, col));
        };
        each("SELECT id, parent, name, allowed FROM keys WHERE NOT volatile ORDER BY id", [&] {
            const int64_t id = sqlite3_column_int64(stmt, 0);
            if (id >= kFirstRootId && id < kFirstRootId + kRootCount) {
                image->rootAllowed[id - kFirstRootId] = allowance(3);
                return;
            }
            image->keys.push_back(RegistryImage::Key{id, sqlite3_column_int64(stmt, 1), text(2), allowance(3)});
        });
        each("SELECT v.key, v.name, v.type, v.data FROM vals v JOIN keys k ON k.id = v.key"
             " WHERE NOT k.volatile ORDER BY v.id",
             [&] {
                 image->values.push_back(RegistryImage::Value{sqlite3_column_int64(stmt, 0), text(1),
                                                              DWORD(sqlite3_column_int64(stmt, 2)), text(3)});
             });
        return ERROR_SUCCESS;
    });
}

LONG SqliteStore::LoadImage(const RegistryImage& image) {
    return Write([&]() -> LONG {
        {
            sqlite3_stmt* stmt = nullptr;
            int rc = sqlite3_prepare_v2(m_db,
                                        "SELECT EXISTS(SELECT 1 FROM keys WHERE id > 4)"
                                        " OR EXISTS(SELECT 1 FROM vals)",
                                        -1, &stmt, nullptr);
            if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
            const bool used = rc == SQLITE_ROW && sqlite3_column_int(stmt, 0) != 0;
            sqlite3_finalize(stmt);
            if (rc != SQLITE_ROW) Throw(m_db, rc);
            if (used) return ERROR_ALREADY_EXISTS;
        }
        // New ids and paths, parents first.
        std::map<int64_t, std::pair<int64_t, std::string>> made;
        for (int i = 0; i < kRootCount; ++i) made[kFirstRootId + i] = {kFirstRootId + i, kRootNames[i]};
        for (const RegistryImage::Key& key : image.keys) {
            auto parent = made.find(key.parent);
            if (parent == made.end()) return ERROR_BADDB;
            std::string path = parent->second.second + '\\' + key.name;
            Query insert(*this, kInsertKey);
            insert.Bind(1, parent->second.first).Bind(2, key.name).Bind(3, path).Bind(4, int64_t(0));
            insert.Step();
            const int64_t id = sqlite3_last_insert_rowid(m_db);
            if (key.allowed) {
                Query restrict(*this, kSetRestriction);
                restrict.Bind(1, id).Bind(2, int64_t(*key.allowed)).Step();
            }
            made[key.id] = {id, std::move(path)};
        }
        for (int i = 0; i < kRootCount; ++i) {
            Query restrict(*this, kSetRestriction);
            restrict.Bind(1, kFirstRootId + i);
            if (image.rootAllowed[i]) {
                restrict.Bind(2, int64_t(*image.rootAllowed[i]));
            } else {
                restrict.BindNull(2);
            }
            restrict.Step();
        }
        for (const RegistryImage::Value& value : image.values) {
            auto key = made.find(value.key);
            if (key == made.end()) return ERROR_BADDB;
            Query q(*this, kSetValue);
            q.Bind(1, key->second.first).Bind(2, value.name).Bind(3, int64_t(value.type));
            q.BindBlob(4, value.data.data(), value.data.size());
            q.Step();
        }
        NoteKeys();
        return ERROR_SUCCESS;
    });
}

//===-- 10. Fork --------------------------------------------------------===//

// No call is inside SQLite while the process forks (BeforeFork holds the
// store's lock), so the child's copy of the connection is between
// transactions.
void SqliteStore::AfterForkChild() {
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
        if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK && file &&
            file->pMethods) {
            if (file->pMethods->iVersion >= 2 && file->pMethods->xShmUnmap) file->pMethods->xShmUnmap(file, 0);
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
    // A batch belongs to a thread of the parent.
    m_batchDepth = 0;
    m_batchOpen = false;
    m_batchLocked = false;
    m_batchCalls = 0;
    m_batchVersion = -1;
    m_batchResult = ERROR_SUCCESS;
    m_lock.unlock();
}

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

LONG CreateSqliteRegistry(const std::string& path) {
    // The directories on the way, with the modes the umask gives.
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        if (Sys().mkdir(path.substr(0, pos).c_str(), 0777) != 0 && errno != EEXIST) {
            return CodeForErrno(errno, ERROR_PATH_NOT_FOUND);
        }
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
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
        Contents contents = ClassifyDatabase(db);
        bool made = false;
        if (contents == Contents::kEmpty) {
            auto exec = [db](const char* sql) {
                int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
                if (rc != SQLITE_OK) Throw(db, rc);
            };
            exec("PRAGMA journal_mode=WAL");
            exec("BEGIN IMMEDIATE");
            // Another process may have made it meanwhile.
            contents = ClassifyDatabase(db);
            if (contents == Contents::kEmpty) {
                exec(kSchema);
                made = true;
            }
            exec("COMMIT");
        }
        if (!made) {
            code = contents == Contents::kRegistry  ? ERROR_ALREADY_EXISTS
                   : contents == Contents::kForeign ? ERROR_NOT_REGISTRY_FILE
                                                    : MapSqliteError(SQLITE_NOTADB, 0);
        }
    } catch (const SqlError& error) {
        if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        code = CodeForErrno(error.sysErrno, MapSqliteError(error));
    }
    sqlite3_close(db);
    return code;
}

std::unique_ptr<Store> MakeSqliteStore(const std::string& path, OpenMode mode) {
    return std::make_unique<SqliteStore>(path, mode);
}

}  // namespace w32::reg
