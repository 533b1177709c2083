//===-- win32/Registry.cpp - Registry functions of the platform layer -----===//
//
// RegOpenKeyExA and its siblings over the store of RegistryStore.h, with
// the behaviour of Windows NT: names compare without regard to ASCII case
// and keep the case they were made with, subkeys enumerate in that order,
// values in the order they were created, a key with subkeys cannot be
// deleted, and a handle whose key was deleted answers ERROR_KEY_DELETED to
// everything but RegCloseKey. String data keeps the A variant's quirks: a
// zero just after unterminated data is stored with it, and reads add a
// zero only after data that does not end in one.
//
// Contents:
//   1. Handles and access
//   2. Paths
//   3. Keys: open, create, connect, close, delete, restrict; batches
//   4. Values: query, set, delete
//   5. Enumeration
//
// Diagnostics: each function returns its Win32 code and leaves the
// thread's last error alone. Failures of the store (a file that cannot be
// opened, is corrupt, read-only or full) come back as registry codes.
// Limits: key names up to 255 characters, value names up to 16383, keys at
// most 512 levels below their root, as NT.
//===----------------------------------------------------------------------===//
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Guard.h"
#include "Layer.h"
#include "RegistryStore.h"
#include "SysCalls.h"

namespace {

using w32::reg::Generation;
using w32::reg::Query;
using w32::reg::Store;
namespace st = w32::reg;

constexpr size_t kMaxKeyNameLength = 255;
// NT keeps a key at most 512 levels below its root. Each key stores its
// full path, so the depth also bounds what one call can write: a path of
// 512 names makes at most 512 keys of at most 512 names each.
constexpr size_t kMaxKeyDepth = 512;
constexpr size_t kMaxValueNameLength = 16383;
constexpr DWORD kGenericRead = 0x80000000u;
constexpr DWORD kGenericWrite = 0x40000000u;
constexpr DWORD kGenericExecute = 0x20000000u;
constexpr DWORD kGenericAll = 0x10000000u;
constexpr DWORD kWow64Flags = 0x0300u;
constexpr DWORD kSupportedCreateOptions = REG_OPTION_VOLATILE;

//===-- 1. Handles and access -------------------------------------------===//

// Where an index walk stopped last time, so that the next index continues
// from there instead of counting from the start.
struct EnumCursor {
    bool valid = false;
    Generation generation;
    DWORD index = 0;
    std::string name;     // subkeys: the name at index
    int64_t valueId = 0;  // values: the row at index
};

struct KeyObject {
    int64_t id = 0;
    std::string path;  // root name and names joined by '\'
    REGSAM access = 0;
    bool root = false;
    // Guarded by the store's lock: only used inside a transaction.
    EnumCursor subkeys;
    EnumCursor values;
};

using KeyRef = std::shared_ptr<KeyObject>;

constexpr const char* kRootNames[st::kRootCount] = {
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS"};

KeyRef RootObject(int index) {
    static KeyObject* roots = [] {
        auto* r = new KeyObject[st::kRootCount];
        for (int i = 0; i < st::kRootCount; ++i) {
            r[i].id = st::kFirstRootId + i;
            r[i].path = kRootNames[i];
            r[i].access = KEY_ALL_ACCESS | kGenericAll;
            r[i].root = true;
        }
        return r;
    }();
    return KeyRef(KeyRef(), &roots[index]);
}

// The handle table. HKEY values count up from 0x40000000 in steps of 4
// and are never reused, so a stale handle gives ERROR_INVALID_HANDLE
// rather than another key; they stay clear of the predefined roots.
class HandleTable {
public:
    static HandleTable& Instance() {
        static HandleTable* table = new HandleTable;
        return *table;
    }
    HKEY Insert(KeyRef key) {
        std::lock_guard<std::mutex> guard(m_lock);
        uintptr_t value = m_next;
        m_next += 4;
        if (m_next >= 0x7FFFFFF0u && m_next < 0x100000000ull) m_next = 0x100000000ull;
        m_keys.emplace(value, std::move(key));
        return reinterpret_cast<HKEY>(value);
    }
    KeyRef Find(HKEY h) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_keys.find(reinterpret_cast<uintptr_t>(h));
        return it == m_keys.end() ? nullptr : it->second;
    }
    bool Remove(HKEY h) {
        KeyRef key;
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_keys.find(reinterpret_cast<uintptr_t>(h));
        if (it == m_keys.end()) return false;
        key = std::move(it->second);
        m_keys.erase(it);
        return true;
    }
    std::mutex& Lock() { return m_lock; }

private:
    HandleTable() {
        // Held only around the map itself, never while calling out, so
        // the order of the fork handlers does not matter; the child finds
        // the table free.
        pthread_atfork([] { Instance().m_lock.lock(); }, [] { Instance().m_lock.unlock(); },
                       [] { Instance().m_lock.unlock(); });
    }
    std::mutex m_lock;
    std::unordered_map<uintptr_t, KeyRef> m_keys;
    uintptr_t m_next = 0x40000000u;
};

// The predefined root behind h, or -1. Roots are sign-extended 32-bit
// values; the zero-extended spelling is accepted too.
int RootIndex(HKEY h) {
    uint64_t v = reinterpret_cast<uintptr_t>(h);
    if ((v >> 32) != 0 && (v >> 32) != 0xFFFFFFFFu) return -1;
    uint32_t low = static_cast<uint32_t>(v);
    if (low >= 0x80000000u && low < 0x80000000u + st::kRootCount) return int(low - 0x80000000u);
    return -1;
}

KeyRef Resolve(HKEY h) {
    int root = RootIndex(h);
    if (root >= 0) return RootObject(root);
    if (!h) return nullptr;
    return HandleTable::Instance().Find(h);
}

// Generic rights as NT maps them for keys; the WOW64 view flags do not
// ask for access.
REGSAM NormalizeAccess(REGSAM sam) {
    if (sam & kGenericRead) sam |= KEY_READ;
    if (sam & kGenericWrite) sam |= KEY_WRITE;
    if (sam & kGenericExecute) sam |= KEY_EXECUTE;
    if (sam & kGenericAll) sam |= KEY_ALL_ACCESS;
    return sam & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll | kWow64Flags);
}

// A key's stored allowance; nullopt when it is unrestricted.
using Allowance = std::optional<REGSAM>;

Allowance ReadAllowance(const Query& q, int col) {
    if (q.IsNull(col)) return std::nullopt;
    return static_cast<REGSAM>(q.Int(col));
}

bool Allows(const Allowance& allowed, REGSAM rights) {
    return !allowed || (rights & ~*allowed) == 0;
}

// The access a new handle gets when it asks for sam, or false if the
// key's allowance refuses it. MAXIMUM_ALLOWED takes whatever is allowed.
bool GrantAccess(REGSAM sam, const Allowance& allowed, REGSAM* granted) {
    REGSAM wanted = sam & ~MAXIMUM_ALLOWED;
    if (!Allows(allowed, wanted)) return false;
    *granted = wanted;
    if (sam & MAXIMUM_ALLOWED) *granted |= allowed ? *allowed : KEY_ALL_ACCESS;
    return true;
}

// Runs an entry point's body; nothing thrown gets out of the layer.
template <class F>
LONG Guarded(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

// Inside a transaction: whether the key behind an ordinary handle still
// exists, with its allowance and volatility.
struct KeyState {
    bool exists = false;
    Allowance allowed;
    bool isVolatile = false;
};

KeyState LoadKey(Store& store, int64_t id) {
    Query q(store, st::kKeyById);
    q.Bind(1, id);
    KeyState state;
    if (q.Step()) {
        state.exists = true;
        state.allowed = ReadAllowance(q, 0);
        state.isVolatile = q.Int(1) != 0;
    }
    return state;
}

bool KeyExists(Store& store, const KeyObject& key) {
    return key.root || LoadKey(store, key.id).exists;
}

// Cache keys: names fold to lower case as the store compares them.
std::string Folded(char tag, std::string_view prefix, std::string_view name) {
    std::string key;
    key.reserve(1 + prefix.size() + 1 + name.size());
    key += tag;
    key += prefix;
    key += '\0';
    for (char c : name) key += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    return key;
}

std::string KeyCacheKey(const std::string& path) { return Folded('K', {}, path); }

std::string ValueCacheKey(int64_t id, std::string_view name) {
    char prefix[24];
    int n = snprintf(prefix, sizeof prefix, "%lld", static_cast<long long>(id));
    return Folded('V', std::string_view(prefix, size_t(n)), name);
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// NT's A variant hands string data back with a zero after it only where
// the data does not end in one already and the buffer has a byte to spare;
// the zero is not counted, and the byte after terminated data stays as the
// caller left it.
void TerminateString(DWORD type, BYTE* out, size_t size, DWORD capacity) {
    if (IsStringType(type) && size > 0 && out[size - 1] != 0 && capacity > size) out[size] = 0;
}

// The byte after a caller's data. It need not belong to the caller's
// buffer, so the read is not checked by the address sanitizer and a fault
// is caught by the guard.
__attribute__((noinline, no_sanitize("address"))) int PeekByte(const volatile BYTE* p) { return *p; }

// The size NT's A variant stores for data of a type: a string whose last
// counted byte is not zero but whose next byte is gets that zero too, so
// that a caller who passed strlen(s) stores a terminated string. A byte
// that cannot be read does not count.
DWORD StoredSize(DWORD type, const BYTE* data, DWORD cb) {
    if (!IsStringType(type) || !data || cb == 0 || cb == 0xFFFFFFFFu || data[cb - 1] == 0) return cb;
    const bool zeroFollows = w32::CatchAll([&] { return PeekByte(data + cb) == 0; }, [] { return false; });
    return zeroFollows ? cb + 1 : cb;
}

//===-- 2. Paths --------------------------------------------------------===//

// Splits a subkey path into its names. NULL and "" name the key itself;
// trailing backslashes are ignored. NT refuses a leading backslash with
// ERROR_BAD_PATHNAME; an empty name inside the path is refused the same
// way. A name longer than NT allows gives ERROR_INVALID_PARAMETER.
LONG SplitPath(const char* subKey, std::vector<std::string_view>* names) {
    names->clear();
    if (!subKey || !*subKey) return ERROR_SUCCESS;
    if (*subKey == '\\') return ERROR_BAD_PATHNAME;
    std::string_view rest(subKey);
    while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
    while (!rest.empty()) {
        size_t sep = rest.find('\\');
        std::string_view name = rest.substr(0, sep);
        if (name.empty()) return ERROR_BAD_PATHNAME;
        if (name.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
        names->push_back(name);
        if (sep == std::string_view::npos) break;
        rest.remove_prefix(sep + 1);
    }
    return ERROR_SUCCESS;
}

std::string JoinPath(const std::string& base, const std::vector<std::string_view>& names,
                     size_t count) {
    std::string path = base;
    for (size_t i = 0; i < count; ++i) {
        path += '\\';
        path += names[i];
    }
    return path;
}

// How many levels below its root the key at base\names lies.
size_t DepthOf(const std::string& base, const std::vector<std::string_view>& names) {
    size_t depth = names.size();
    for (char c : base) depth += c == '\\';
    return depth;
}

HKEY NewHandle(int64_t id, std::string path, REGSAM access) {
    auto object = std::make_shared<KeyObject>();
    object->id = id;
    object->path = std::move(path);
    object->access = access;
    return HandleTable::Instance().Insert(std::move(object));
}

// The name of a value as the store keys it: NULL is the default value.
std::string_view ValueName(const char* name) { return name ? std::string_view(name) : ""; }

bool IsLocalMachineName(const char* machine) {
    std::string_view name(machine);
    while (!name.empty() && name.front() == '\\') name.remove_prefix(1);
    if (name.empty()) return true;
    char host[256] = {};
    if (w32::Sys().gethostname(host, sizeof host - 1) != 0) return false;
    std::string_view local(host);
    if (name.size() != local.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char a = name[i], b = local[i];
        if (a >= 'A' && a <= 'Z') a = char(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = char(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

}  // namespace

//===-- 3. Keys ---------------------------------------------------------===//

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   PHKEY phkResult) {
    (void)ulOptions;
    return Guarded([&]() -> LONG {
        if (!phkResult) return ERROR_INVALID_PARAMETER;
        // A handle that is not open leaves the caller's variable alone.
        KeyRef base = Resolve(hKey);
        if (!base) return ERROR_INVALID_HANDLE;
        *phkResult = nullptr;
        std::vector<std::string_view> names;
        if (LONG rc = SplitPath(lpSubKey, &names)) return rc;
        if (DepthOf(base->path, names) > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
        // NT gives back the predefined handle itself for its own path.
        if (names.empty() && base->root) {
            *phkResult = hKey;
            return ERROR_SUCCESS;
        }
        std::string path = JoinPath(base->path, names, names.size());
        REGSAM sam = NormalizeAccess(samDesired);
        int64_t id = 0;
        REGSAM granted = 0;
        Store& store = Store::Instance();
        const std::string cacheKey = KeyCacheKey(path);
        auto fromCache = [&]() -> LONG {
            // The base key is known to exist if the cache holds it.
            if (!base->root) {
                const st::CacheEntry* self = store.CacheFind(KeyCacheKey(base->path));
                if (!self || self->id != base->id) return st::kCacheMiss;
            }
            const st::CacheEntry* entry = store.CacheFind(cacheKey);
            if (!entry) return st::kCacheMiss;
            id = entry->id;
            return GrantAccess(sam, entry->allowed, &granted) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
        };
        LONG rc = store.ReadCached(fromCache, [&]() -> LONG {
            // A deleted key's path may have been taken by a new key since.
            if (!base->root) {
                KeyState state = LoadKey(store, base->id);
                if (!state.exists) return ERROR_KEY_DELETED;
                store.CacheFill(KeyCacheKey(base->path), st::CacheEntry{base->id, state.allowed, 0, {}});
                if (names.empty()) {
                    id = base->id;
                    return GrantAccess(sam, state.allowed, &granted) ? ERROR_SUCCESS
                                                                     : ERROR_ACCESS_DENIED;
                }
            }
            Query q(store, st::kKeyByPath);
            q.Bind(1, path);
            if (!q.Step()) return ERROR_FILE_NOT_FOUND;
            id = q.Int(0);
            Allowance allowed = ReadAllowance(q, 1);
            store.CacheFill(cacheKey, st::CacheEntry{id, allowed, 0, {}});
            return GrantAccess(sam, allowed, &granted) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
        });
        if (rc != ERROR_SUCCESS) return rc;
        *phkResult = NewHandle(id, std::move(path), granted);
        return ERROR_SUCCESS;
    });
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                     PHKEY phkResult, LPDWORD lpdwDisposition) {
    (void)Reserved;
    (void)lpClass;
    (void)lpSecurityAttributes;
    return Guarded([&]() -> LONG {
        if (!phkResult) return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        KeyRef base = Resolve(hKey);
        if (!base) return ERROR_INVALID_HANDLE;
        if (dwOptions & ~kSupportedCreateOptions) return ERROR_INVALID_PARAMETER;
        const bool makeVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
        std::vector<std::string_view> names;
        if (LONG rc = SplitPath(lpSubKey, &names)) return rc;
        // Refused before anything is written.
        if (DepthOf(base->path, names) > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
        if (names.empty() && base->root) {
            *phkResult = hKey;
            if (lpdwDisposition) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
            return ERROR_SUCCESS;
        }
        std::string path = JoinPath(base->path, names, names.size());
        REGSAM sam = NormalizeAccess(samDesired);
        Store& store = Store::Instance();
        int64_t id = 0;
        REGSAM granted = 0;
        bool found = false;

        // Most calls find the key made already: that needs no write lock.
        LONG rc = store.Read([&]() -> LONG {
            KeyState state = LoadKey(store, base->id);
            if (!state.exists) return ERROR_KEY_DELETED;
            if (names.empty()) {
                id = base->id;
            } else {
                Query q(store, st::kKeyByPath);
                q.Bind(1, path);
                if (!q.Step()) return ERROR_SUCCESS;
                id = q.Int(0);
                state.allowed = ReadAllowance(q, 1);
            }
            found = true;
            return GrantAccess(sam, state.allowed, &granted) ? ERROR_SUCCESS
                                                             : ERROR_ACCESS_DENIED;
        });
        if (rc != ERROR_SUCCESS) return rc;

        bool created = false;
        if (!found) {
            rc = store.Write([&]() -> LONG {
                created = false;
                KeyState current = LoadKey(store, base->id);
                if (!current.exists) return ERROR_KEY_DELETED;
                int64_t currentId = base->id;
                std::string prefix = base->path;
                for (std::string_view name : names) {
                    prefix += '\\';
                    prefix += name;
                    Query find(store, st::kKeyByPath);
                    find.Bind(1, prefix);
                    if (find.Step()) {
                        currentId = find.Int(0);
                        current.allowed = ReadAllowance(find, 1);
                        current.isVolatile = find.Int(2) != 0;
                        created = false;
                        continue;
                    }
                    // Creating is checked against the parent key's own
                    // security, not the access of the handle it came from.
                    if (!Allows(current.allowed, KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
                    if (current.isVolatile && !makeVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
                    Query insert(store, st::kInsertKey);
                    insert.Bind(1, currentId).Bind(2, name).Bind(3, prefix);
                    insert.Bind(4, int64_t(makeVolatile));
                    insert.Step();
                    currentId = store.LastInsertId();
                    current = KeyState{true, std::nullopt, makeVolatile};
                    created = true;
                }
                id = currentId;
                return GrantAccess(sam, current.allowed, &granted) ? ERROR_SUCCESS
                                                                   : ERROR_ACCESS_DENIED;
            });
            if (rc != ERROR_SUCCESS) return rc;
        }
        *phkResult = NewHandle(id, std::move(path), granted);
        if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    });
}

LONG RegConnectRegistryA(LPCSTR lpMachineName, HKEY hKey, PHKEY phkResult) {
    return Guarded([&]() -> LONG {
        if (!phkResult) return ERROR_INVALID_PARAMETER;
        if (lpMachineName && !IsLocalMachineName(lpMachineName)) return ERROR_BAD_NETPATH;
        if (RootIndex(hKey) < 0) return ERROR_INVALID_HANDLE;
        *phkResult = hKey;
        return ERROR_SUCCESS;
    });
}

LONG RegCloseKey(HKEY hKey) {
    return Guarded([&]() -> LONG {
        // Closing a predefined key succeeds and leaves it usable.
        if (RootIndex(hKey) >= 0) return ERROR_SUCCESS;
        if (!hKey || !HandleTable::Instance().Remove(hKey)) return ERROR_INVALID_HANDLE;
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    return Guarded([&]() -> LONG {
        KeyRef base = Resolve(hKey);
        if (!base) return ERROR_INVALID_HANDLE;
        if (!lpSubKey) return ERROR_INVALID_PARAMETER;
        std::vector<std::string_view> names;
        if (LONG rc = SplitPath(lpSubKey, &names)) return rc;
        // The predefined roots cannot be deleted.
        if (names.empty() && base->root) return ERROR_ACCESS_DENIED;
        std::string path = JoinPath(base->path, names, names.size());
        Store& store = Store::Instance();
        return store.Write([&]() -> LONG {
            KeyState target = LoadKey(store, base->id);
            if (!target.exists) return ERROR_KEY_DELETED;
            int64_t id = base->id;
            if (!names.empty()) {
                Query q(store, st::kKeyByPath);
                q.Bind(1, path);
                if (!q.Step()) return ERROR_FILE_NOT_FOUND;
                id = q.Int(0);
                target.allowed = ReadAllowance(q, 1);
            }
            // Checked against the key's own security, as NT opens the key
            // for DELETE before it deletes it.
            if (!Allows(target.allowed, DELETE)) return ERROR_ACCESS_DENIED;
            // NT refuses to delete a key that still has subkeys; callers
            // walk the tree themselves.
            Query children(store, st::kHasChild);
            children.Bind(1, id);
            if (children.Step()) return ERROR_ACCESS_DENIED;
            Query values(store, st::kDeleteKeyValues);
            values.Bind(1, id).Step();
            Query key(store, st::kDeleteKey);
            key.Bind(1, id).Step();
            return ERROR_SUCCESS;
        });
    });
}

LONG TmRegSetKeyRestriction(HKEY hKey, LPCSTR lpSubKey, REGSAM samAllowed) {
    return Guarded([&]() -> LONG {
        KeyRef base = Resolve(hKey);
        if (!base) return ERROR_INVALID_HANDLE;
        std::vector<std::string_view> names;
        if (LONG rc = SplitPath(lpSubKey, &names)) return rc;
        std::string path = JoinPath(base->path, names, names.size());
        REGSAM allowed = NormalizeAccess(samAllowed);
        const bool lift = (allowed & KEY_ALL_ACCESS) == KEY_ALL_ACCESS && (allowed & MAXIMUM_ALLOWED);
        Store& store = Store::Instance();
        return store.Write([&]() -> LONG {
            if (!KeyExists(store, *base)) return ERROR_KEY_DELETED;
            int64_t id = base->id;
            if (!names.empty()) {
                Query q(store, st::kKeyByPath);
                q.Bind(1, path);
                if (!q.Step()) return ERROR_FILE_NOT_FOUND;
                id = q.Int(0);
            }
            Query update(store, st::kSetRestriction);
            update.Bind(1, id);
            if (lift) {
                update.BindNull(2);
            } else {
                update.Bind(2, int64_t(allowed & ~MAXIMUM_ALLOWED));
            }
            update.Step();
            return ERROR_SUCCESS;
        });
    });
}

void TmRegBeginBatch(void) { Store::Instance().BeginBatch(); }

LONG TmRegEndBatch(void) { return Store::Instance().EndBatch(); }

const char* TmRegistryPath(void) { return w32::RegistryDatabasePath().c_str(); }

LONG TmRegCreateRegistry(LPCSTR lpLocation) {
    return Guarded([&]() -> LONG {
        std::string path = lpLocation && *lpLocation ? w32::AbsolutePath(lpLocation)
                                                     : w32::RegistryDatabasePath();
        return Store::CreateRegistryFile(path);
    });
}

LONG TmRegCheckRegistry(LPSTR lpText, DWORD cchText) {
    return Guarded([&]() -> LONG {
        LONG code = Store::Instance().Check();
        std::string text;
        if (code != ERROR_SUCCESS) {
            const std::string& path = w32::RegistryDatabasePath();
            text = path + ": ";
            std::string dir = path.substr(0, path.rfind('/') + 1);
            switch (code) {
                case ERROR_CANTOPEN:
                    text += "the file does not exist (create it with 'tmctl reg init')";
                    break;
                case ERROR_NOT_REGISTRY_FILE:
                    text += "another program's database, not a registry";
                    break;
                case ERROR_BADDB:
                    text += "the registry database is corrupt";
                    break;
                default:
                    if (access(path.c_str(), R_OK | W_OK) != 0) {
                        text += std::string("cannot be read and written: ") + strerror(errno);
                    } else if (access(dir.c_str(), W_OK) != 0) {
                        text += "its directory " + dir + " is not writable (the registry keeps its "
                                "-wal and -shm files there)";
                    } else {
                        text += "the registry cannot be read or written (error " + std::to_string(code) + ")";
                    }
                    break;
            }
        }
        if (lpText && cchText > 0) {
            size_t n = std::min<size_t>(text.size(), cchText - 1);
            memcpy(lpText, text.data(), n);
            lpText[n] = '\0';
        }
        return code;
    });
}

//===-- 4. Values -------------------------------------------------------===//

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
    return Guarded([&]() -> LONG {
        if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
        KeyRef key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        Store& store = Store::Instance();
        // Copies a value out as NT does; ERROR_MORE_DATA (with the size
        // needed) when the caller's buffer is too small. The type and the
        // size may share one variable: its capacity is read before the
        // type is written, and the size is written last.
        auto deliver = [&](DWORD type, const void* data, size_t size) -> LONG {
            const DWORD capacity = lpcbData ? *lpcbData : 0;
            if (lpType) *lpType = type;
            if (lpData) {
                if (capacity < size) {
                    *lpcbData = static_cast<DWORD>(size);
                    return ERROR_MORE_DATA;
                }
                if (size) memcpy(lpData, data, size);
                TerminateString(type, lpData, size, capacity);
            }
            if (lpcbData) *lpcbData = static_cast<DWORD>(size);
            return ERROR_SUCCESS;
        };
        const std::string cacheKey = ValueCacheKey(key->id, ValueName(lpValueName));
        auto fromCache = [&]() -> LONG {
            const st::CacheEntry* entry = store.CacheFind(cacheKey);
            if (!entry) return st::kCacheMiss;
            return deliver(entry->type, entry->data.data(), entry->data.size());
        };
        return store.ReadCached(fromCache, [&]() -> LONG {
            Query q(store, st::kGetValue);
            q.Bind(1, key->id).Bind(2, ValueName(lpValueName));
            if (!q.Step()) {
                if (!KeyExists(store, *key)) return ERROR_KEY_DELETED;
                // NT clears the size of a size query; a read leaves it.
                if (!lpData && lpcbData) *lpcbData = 0;
                return ERROR_FILE_NOT_FOUND;
            }
            DWORD type = static_cast<DWORD>(q.Int(0));
            auto [data, size] = q.Blob(1);
            store.CacheFill(cacheKey, st::CacheEntry{key->id, {}, type,
                                                     size ? std::string(static_cast<const char*>(data), size) : std::string()});
            return deliver(type, data, size);
        });
    });
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                    const BYTE* lpData, DWORD cbData) {
    (void)Reserved;
    return Guarded([&]() -> LONG {
        KeyRef key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
        std::string_view name = ValueName(lpValueName);
        if (name.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
        const DWORD size = StoredSize(dwType, lpData, cbData);
        Store& store = Store::Instance();
        return store.Write([&]() -> LONG {
            if (!KeyExists(store, *key)) return ERROR_KEY_DELETED;
            Query q(store, st::kSetValue);
            q.Bind(1, key->id).Bind(2, name).Bind(3, int64_t(dwType)).BindBlob(4, lpData, size);
            q.Step();
            return ERROR_SUCCESS;
        });
    });
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return Guarded([&]() -> LONG {
        KeyRef key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        Store& store = Store::Instance();
        return store.Write([&]() -> LONG {
            if (!KeyExists(store, *key)) return ERROR_KEY_DELETED;
            Query q(store, st::kDeleteValue);
            q.Bind(1, key->id).Bind(2, ValueName(lpValueName));
            q.Step();
            return sqlite3_changes(store.Connection()) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
        });
    });
}

//===-- 5. Enumeration --------------------------------------------------===//
//
// Callers walk indices 0, 1, 2, ... and SQLite can only count its way to
// an offset. Each handle remembers the index and row it found last; the
// next index continues after that row when nothing was committed by anyone
// in between, and otherwise the exact offset query answers.

LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    return Guarded([&]() -> LONG {
        KeyRef key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
        if (!lpName) return ERROR_INVALID_PARAMETER;
        Store& store = Store::Instance();
        return store.Read([&]() -> LONG {
            EnumCursor& cursor = key->subkeys;
            Generation now = store.CurrentGeneration();
            const bool current = cursor.valid && cursor.generation == now;
            if (!(current && dwIndex == cursor.index)) {
                std::optional<Query> q;
                if (current && dwIndex == cursor.index + 1) {
                    q.emplace(store, st::kEnumKeyAfter);
                    q->Bind(1, key->id).Bind(2, cursor.name);
                } else {
                    q.emplace(store, st::kEnumKeyAt);
                    q->Bind(1, key->id).Bind(2, int64_t(dwIndex));
                }
                if (!q->Step()) {
                    cursor.valid = false;
                    return KeyExists(store, *key) ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
                }
                cursor.valid = false;
                cursor.name.assign(q->Text(0));
                cursor.generation = now;
                cursor.index = dwIndex;
                cursor.valid = true;
            }
            const std::string& name = cursor.name;
            if (name.size() + 1 > cchName) return ERROR_MORE_DATA;
            memcpy(lpName, name.c_str(), name.size() + 1);
            return ERROR_SUCCESS;
        });
    });
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return Guarded([&]() -> LONG {
        if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
            return ERROR_INVALID_PARAMETER;
        KeyRef key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        Store& store = Store::Instance();
        return store.Read([&]() -> LONG {
            EnumCursor& cursor = key->values;
            Generation now = store.CurrentGeneration();
            const bool current = cursor.valid && cursor.generation == now;
            std::optional<Query> q;
            if (current && (dwIndex == cursor.index || dwIndex == cursor.index + 1)) {
                q.emplace(store, st::kEnumValueAfter);
                int64_t after = dwIndex == cursor.index ? cursor.valueId - 1 : cursor.valueId;
                q->Bind(1, key->id).Bind(2, after);
            } else {
                q.emplace(store, st::kEnumValueAt);
                q->Bind(1, key->id).Bind(2, int64_t(dwIndex));
            }
            cursor.valid = false;
            if (!q->Step()) return KeyExists(store, *key) ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
            cursor.valueId = q->Int(0);
            cursor.generation = now;
            cursor.index = dwIndex;
            cursor.valid = true;

            std::string_view name = q->Text(1);
            DWORD type = static_cast<DWORD>(q->Int(2));
            auto [data, size] = q->Blob(3);
            // The A variant reports a name that does not fit with
            // ERROR_MORE_DATA, the value's type and data size, and leaves
            // the name buffer and its count as they were.
            if (name.size() + 1 > *lpcchValueName) {
                if (lpType) *lpType = type;
                if (lpcbData) *lpcbData = static_cast<DWORD>(size);
                return ERROR_MORE_DATA;
            }
            const DWORD capacity = lpcbData ? *lpcbData : 0;
            if (lpData && capacity < size) {
                if (lpType) *lpType = type;
                *lpcbData = static_cast<DWORD>(size);
                return ERROR_MORE_DATA;
            }
            memcpy(lpValueName, name.data(), name.size());
            lpValueName[name.size()] = 0;
            *lpcchValueName = static_cast<DWORD>(name.size());
            if (lpType) *lpType = type;
            if (lpData) {
                if (size) memcpy(lpData, data, size);
                TerminateString(type, lpData, size, capacity);
            }
            if (lpcbData) *lpcbData = static_cast<DWORD>(size);
            return ERROR_SUCCESS;
        });
    });
}
