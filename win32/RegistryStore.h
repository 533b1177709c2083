//===-- win32/RegistryStore.h - The registry's store interface (internal) -===//
//
// The whole registry of an installation, the four predefined roots and all
// below them, lives in one store behind this narrow interface, as SQLite's
// VFS puts each platform behind one table: a SQLite database file
// (RegistrySqlite.cpp), or a schema of a PostgreSQL database shared by
// several hosts (RegistryPg.cpp). The registry functions (Registry.cpp)
// keep the handles, the access rules and the shape of the Win32 calls, and
// never know which store answers them.
//
// The store is chosen once per process from the registry location
// (RegistryLocation.h): TAMARAK_REGISTRY=postgresql://... selects
// PostgreSQL, anything else is a SQLite file. Each store holds one
// connection per process, opened lazily, shared by all threads under one
// lock, and opened anew in the child after a fork (the child never uses the
// parent's). Every operation below is one Reg call and runs as one
// transaction: it happens whole or not at all, for every process of the
// installation. Each returns a Win32 code: the codes of NT's registry
// (ERROR_FILE_NOT_FOUND, ERROR_KEY_DELETED, ERROR_ACCESS_DENIED, ...) and
// registry codes for a store that cannot be used (ERROR_REGISTRY_IO_FAILED,
// ERROR_BADDB, ERROR_NOT_REGISTRY_FILE, ERROR_DISK_FULL, ERROR_TIMEOUT).
//
// A key is known by its id, which is never reused: a key deleted and made
// again is another key, and a handle of the old one gets ERROR_KEY_DELETED.
// Names compare without regard to ASCII case and keep the case they were
// made with; subkeys come in folded-name order, values in creation order.
//
// Limits: a caller waits at most kBusyTimeoutMs for another process's
// write (or a server), then gets ERROR_TIMEOUT.
//===----------------------------------------------------------------------===//
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "tmwin32.h"

namespace w32::reg {

inline constexpr int kBusyTimeoutMs = 10000;

// Key ids of the predefined roots: HKEY_CLASSES_ROOT .. HKEY_USERS.
inline constexpr int64_t kFirstRootId = 1;
inline constexpr int64_t kRootCount = 4;
extern const char* const kRootNames[kRootCount];

// A key's stored restriction (the stand-in for its security descriptor);
// nullopt when it is unrestricted.
using Allowance = std::optional<uint32_t>;

// Access rights that the stores check against a key's restriction.
inline constexpr uint32_t kCreateSubKeyRight = KEY_CREATE_SUB_KEY;
inline constexpr uint32_t kDeleteRight = DELETE;

inline bool Allows(const Allowance& allowed, uint32_t rights) {
    return !allowed || (rights & ~*allowed) == 0;
}

// Where an index walk over a handle stopped last time, so that the next
// index continues from there; the stamp says which state of the store it
// was found in (the store's own meaning).
struct EnumCursor {
    bool valid = false;
    uint64_t stamp[3] = {};
    DWORD index = 0;
    std::string name;    // subkeys: the name at index
    int64_t rowId = 0;   // values: the row at index
};

// What a handle holds. The store reads and updates the cursors and the
// confirmation under its lock.
struct KeyObject {
    int64_t id = 0;
    std::string path;  // root name and names joined by '\'
    REGSAM access = 0;
    bool root = false;
    // False while the key behind the handle was taken from a cache that the
    // store could not check against other hosts: the handle then stands
    // for the key at its path, which the store looks up (and checks the
    // key's restriction against the handle's access) at the next call that
    // reaches the server, updating id.
    bool confirmed = true;
    EnumCursor subkeys;
    EnumCursor values;
};

// The answer to opening or creating a key.
struct KeyInfo {
    int64_t id = 0;
    Allowance allowed;
    bool confirmed = true;
};

// A borrowed callable, so that the stores' operations are not templates.
template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef>)
    FunctionRef(F&& f)
        : m_obj(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          m_call([](void* o, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(args)...);
          }) {}
    R operator()(Args... args) const { return m_call(m_obj, std::forward<Args>(args)...); }

private:
    void* m_obj;
    R (*m_call)(void*, Args...);
};

// Receivers of what a read found; called under the store's lock with data
// that stays valid only during the call. Their result is the call's.
using ValueSink = FunctionRef<LONG(DWORD type, const void* data, size_t size)>;
using NameSink = FunctionRef<LONG(std::string_view name)>;
using ValueEntrySink = FunctionRef<LONG(std::string_view name, DWORD type, const void* data, size_t size)>;

// A whole registry as copied between locations: keys with a parent before
// its children, values in creation order. Volatile keys are not part of it.
struct RegistryImage {
    struct Key {
        int64_t id = 0;
        int64_t parent = 0;  // a root's id for keys right below a root
        std::string name;
        Allowance allowed;
    };
    struct Value {
        int64_t key = 0;
        std::string name;
        DWORD type = 0;
        std::string data;
    };
    std::vector<Key> keys;
    std::vector<Value> values;
    Allowance rootAllowed[kRootCount];
};

// How a store other than the process's own opens its location.
enum class OpenMode {
    kProcess,  // the process's registry: a missing SQLite file is ERROR_CANTOPEN (a
               // PostgreSQL schema is made on first use)
    kSource,   // read only: must exist; nothing in it changes (no schema, no purge)
    kTarget,   // made if missing
};

class Store {
public:
    // The process's store, chosen from the registry location.
    static Store& Instance();
    // A store of another location, for copying whole registries.
    static std::unique_ptr<Store> ForLocation(const std::string& location, OpenMode mode);

    virtual ~Store() = default;

    // Keys. base is an open key, path its path joined with the names
    // below it (equal to base.path when there are none: the key itself).
    // ERROR_KEY_DELETED when base is gone, ERROR_FILE_NOT_FOUND when the
    // key is missing.
    virtual LONG OpenKey(KeyObject& base, const std::string& path, bool self, KeyInfo* out) = 0;
    // Opens base\names, creating what is missing (volatile keys if asked);
    // creating is checked against the parent key's own restriction, and a
    // volatile parent takes only volatile children
    // (ERROR_CHILD_MUST_BE_VOLATILE).
    virtual LONG CreateKey(KeyObject& base, const std::vector<std::string_view>& names,
                           const std::string& path, bool makeVolatile, KeyInfo* out,
                           bool* created) = 0;
    // Deletes base\path, or base itself when path is null; refused
    // (ERROR_ACCESS_DENIED) for a key with subkeys or one whose restriction
    // forbids DELETE.
    virtual LONG DeleteKey(KeyObject& base, const std::string* path) = 0;
    // Stores a restriction on base\path (base itself when path is null);
    // nullopt lifts it.
    virtual LONG SetRestriction(KeyObject& base, const std::string* path, Allowance allowed) = 0;

    // Values of an open key; a value name is "" for the default value.
    virtual LONG QueryValue(KeyObject& key, std::string_view name, ValueSink deliver) = 0;
    virtual LONG SetValue(KeyObject& key, std::string_view name, DWORD type, const void* data,
                          size_t size) = 0;
    virtual LONG DeleteValue(KeyObject& key, std::string_view name) = 0;
    // Reads the value as a number (its first bytes, least significant
    // first; missing or longer than 4 bytes: 0), stores ((number + 1) &
    // mask) as a REG_DWORD and gives it back: one write transaction.
    virtual LONG IncrementValue(KeyObject& key, std::string_view name, DWORD mask, DWORD* next) = 0;

    // The subkey or value at index: ERROR_NO_MORE_ITEMS past the end.
    virtual LONG EnumKey(KeyObject& key, DWORD index, NameSink deliver) = 0;
    virtual LONG EnumValue(KeyObject& key, DWORD index, ValueEntrySink deliver) = 0;

    // Batches (see TmRegBeginBatch in tmwin32.h).
    virtual void BeginBatch() = 0;
    virtual LONG EndBatch() = 0;

    // Whole registries: reads every key but volatile ones and every value,
    // in one read transaction; loads an image into a store that holds
    // nothing below its roots, in one write transaction
    // (ERROR_ALREADY_EXISTS if it holds something).
    virtual LONG ReadImage(RegistryImage* image) = 0;
    virtual LONG LoadImage(const RegistryImage& image) = 0;

    // The fork handlers of the process's store: no call is inside the
    // store while the process forks, and the child gives up the parent's
    // connection without touching it.
    virtual void BeforeFork() = 0;
    virtual void AfterForkParent() = 0;
    virtual void AfterForkChild() = 0;

    // Opens the connection if it is not open: the code every call gets.
    virtual LONG Check() = 0;

    // TmRegCreateRegistry: makes the registry at location (a file made
    // absolute, or a postgresql:// URI).
    static LONG CreateRegistry(const std::string& location);
};

// Makers of the two stores.
std::unique_ptr<Store> MakeSqliteStore(const std::string& path, OpenMode mode);
std::unique_ptr<Store> MakePgStore(const std::string& location, OpenMode mode);
// Makes a SQLite registry file with the directories on the way (see
// TmRegCreateRegistry).
LONG CreateSqliteRegistry(const std::string& path);
// Makes the schema of a PostgreSQL location: ERROR_ALREADY_EXISTS when it
// holds a registry already.
LONG CreatePgRegistry(const std::string& location);

// ASCII case folding, as the stores compare names.
inline char FoldChar(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
std::string Folded(std::string_view text);

}  // namespace w32::reg
