//===-- win32/Registry.cpp - Registry functions of the platform layer -----===//
//
// RegOpenKeyExA and its siblings over the store interface of
// RegistryStore.h (a SQLite file or a PostgreSQL schema: these functions do
// not know which), with the behaviour of Windows NT: names compare without regard to ASCII case
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
//   4. Values: query, set, delete, increment
//   5. Enumeration
//   6. The registry's location; whole registries
//
// Diagnostics: each function returns its Win32 code and leaves the
// thread's last error alone. Failures of the store (a file that cannot be
// opened, is corrupt, read-only or full; a server that cannot be reached)
// come back as registry codes.
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
#include "HandleTable.h"
#include "Layer.h"
#include "RegistryLocation.h"
#include "RegistryStore.h"
#include "SysCalls.h"

namespace {

using w32::reg::Allowance;
using w32::reg::KeyInfo;
using w32::reg::KeyObject;
using w32::reg::Store;
namespace st = w32::reg;

constexpr size_t kMaxKeyNameLength = 255;
// NT keeps a key at most 512 levels below its root. Each key stores its
// full path, so the depth also bounds what one call can write: a path of
// 512 names makes at most 512 keys of at most 512 names each.
constexpr size_t kMaxKeyDepth = 512;
constexpr size_t kMaxValueNameLength = 16383;
constexpr DWORD kWow64Flags = 0x0300u;
constexpr DWORD kSupportedCreateOptions = REG_OPTION_VOLATILE;

//===-- 1. Handles and access -------------------------------------------===//

using KeyRef = std::shared_ptr<KeyObject>;

KeyRef RootObject(int index) {
    static KeyObject* roots = [] {
        auto* r = new KeyObject[st::kRootCount];
        for (int i = 0; i < st::kRootCount; ++i) {
            r[i].id = st::kFirstRootId + i;
            r[i].path = st::kRootNames[i];
            r[i].access = KEY_ALL_ACCESS | GENERIC_ALL;
            r[i].root = true;
        }
        return r;
    }();
    return KeyRef(KeyRef(), &roots[index]);
}

// The handle table. HKEY values count up from 0x40000000 in steps of 4
// and are never reused, so a stale handle gives ERROR_INVALID_HANDLE
// rather than another key; they stay clear of the predefined roots.
using KeyHandles = w32::HandleTable<KeyObject, 0x40000000u, 0x7FFFFFF0u>;

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
    return KeyHandles::Instance().Find(reinterpret_cast<uintptr_t>(h));
}

// Generic rights as NT maps them for keys; the WOW64 view flags do not
// ask for access.
REGSAM NormalizeAccess(REGSAM sam) {
    if (sam & GENERIC_READ) sam |= KEY_READ;
    if (sam & GENERIC_WRITE) sam |= KEY_WRITE;
    if (sam & GENERIC_EXECUTE) sam |= KEY_EXECUTE;
    if (sam & GENERIC_ALL) sam |= KEY_ALL_ACCESS;
    return sam & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | kWow64Flags);
}

// The access a new handle gets when it asks for sam, or false if the
// key's allowance refuses it. MAXIMUM_ALLOWED takes whatever is allowed.
bool GrantAccess(REGSAM sam, const Allowance& allowed, REGSAM* granted) {
    REGSAM wanted = sam & ~MAXIMUM_ALLOWED;
    if (!st::Allows(allowed, wanted)) return false;
    *granted = wanted;
    if (sam & MAXIMUM_ALLOWED) *granted |= allowed ? *allowed : KEY_ALL_ACCESS;
    return true;
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

HKEY NewHandle(const KeyInfo& info, std::string path, REGSAM access) {
    auto object = std::make_shared<KeyObject>();
    object->id = info.id;
    object->path = std::move(path);
    object->access = access;
    object->confirmed = info.confirmed;
    return reinterpret_cast<HKEY>(KeyHandles::Instance().Insert(std::move(object)));
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
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
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
        KeyInfo info;
        LONG rc = Store::Instance().OpenKey(*base, path, names.empty(), &info);
        if (rc != ERROR_SUCCESS) return rc;
        REGSAM granted = 0;
        if (!GrantAccess(NormalizeAccess(samDesired), info.allowed, &granted)) return ERROR_ACCESS_DENIED;
        *phkResult = NewHandle(info, std::move(path), granted);
        return ERROR_SUCCESS;
    });
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                     PHKEY phkResult, LPDWORD lpdwDisposition) {
    (void)Reserved;
    (void)lpClass;
    (void)lpSecurityAttributes;
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
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
        KeyInfo info;
        bool created = false;
        LONG rc = Store::Instance().CreateKey(*base, names, path, makeVolatile, &info, &created);
        if (rc != ERROR_SUCCESS) return rc;
        // A key made by this call is unrestricted; one that existed is
        // opened under its restriction.
        REGSAM granted = 0;
        if (!GrantAccess(NormalizeAccess(samDesired), info.allowed, &granted)) return ERROR_ACCESS_DENIED;
        *phkResult = NewHandle(info, std::move(path), granted);
        if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    });
}

LONG RegConnectRegistryA(LPCSTR lpMachineName, HKEY hKey, PHKEY phkResult) {
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
        if (!phkResult) return ERROR_INVALID_PARAMETER;
        if (lpMachineName && !IsLocalMachineName(lpMachineName)) return ERROR_BAD_NETPATH;
        if (RootIndex(hKey) < 0) return ERROR_INVALID_HANDLE;
        *phkResult = hKey;
        return ERROR_SUCCESS;
    });
}

LONG RegCloseKey(HKEY hKey) {
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
        // Closing a predefined key succeeds and leaves it usable.
        if (RootIndex(hKey) >= 0) return ERROR_SUCCESS;
        if (!hKey || !KeyHandles::Instance().Take(reinterpret_cast<uintptr_t>(hKey))) return ERROR_INVALID_HANDLE;
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
        KeyRef base = Resolve(hKey);
        if (!base) return ERROR_INVALID_HANDLE;
        if (!lpSubKey) return ERROR_INVALID_PARAMETER;
        std::vector<std::string_view> names;
        if (LONG rc = SplitPath(lpSubKey, &names)) return rc;
        // The predefined roots cannot be deleted.
        if (names.empty() && base->root) return ERROR_ACCESS_DENIED;
        const std::string path = JoinPath(base->path, names, names.size());
        return Store::Instance().DeleteKey(*base, names.empty() ? nullptr : &path);
    });
}

LONG TmRegSetKeyRestriction(HKEY hKey, LPCSTR lpSubKey, REGSAM samAllowed) {
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
        KeyRef base = Resolve(hKey);
        if (!base) return ERROR_INVALID_HANDLE;
        std::vector<std::string_view> names;
        if (LONG rc = SplitPath(lpSubKey, &names)) return rc;
        const std::string path = JoinPath(base->path, names, names.size());
        REGSAM allowed = NormalizeAccess(samAllowed);
        const bool lift = (allowed & KEY_ALL_ACCESS) == KEY_ALL_ACCESS && (allowed & MAXIMUM_ALLOWED);
        const Allowance stored = lift ? Allowance() : Allowance(allowed & ~MAXIMUM_ALLOWED);
        return Store::Instance().SetRestriction(*base, names.empty() ? nullptr : &path, stored);
    });
}

void TmRegBeginBatch(void) {
    w32::GuardSettingLastError<bool>(false, [] { return Store::Instance().BeginBatch(), true; });
}

LONG TmRegEndBatch(void) {
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [] { return Store::Instance().EndBatch(); });
}

//===-- 4. Values -------------------------------------------------------===//

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
        if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
        KeyRef key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
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
        LONG rc = Store::Instance().QueryValue(*key, ValueName(lpValueName), deliver);
        // NT clears the size of a size query; a read leaves it.
        if (rc == ERROR_FILE_NOT_FOUND && !lpData && lpcbData) *lpcbData = 0;
        return rc;
    });
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                    const BYTE* lpData, DWORD cbData) {
    (void)Reserved;
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
        KeyRef key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
        std::string_view name = ValueName(lpValueName);
        if (name.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
        const DWORD size = StoredSize(dwType, lpData, cbData);
        return Store::Instance().SetValue(*key, name, dwType, lpData, size);
    });
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
        KeyRef key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        return Store::Instance().DeleteValue(*key, ValueName(lpValueName));
    });
}

LONG w32::RegIncrementValue(HKEY hKey, const char* lpValueName, DWORD dwMask, DWORD* pdwNext) {
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
        if (!pdwNext) return ERROR_INVALID_PARAMETER;
        KeyRef key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        const REGSAM needed = KEY_QUERY_VALUE | KEY_SET_VALUE;
        if ((key->access & needed) != needed) return ERROR_ACCESS_DENIED;
        std::string_view name = ValueName(lpValueName);
        if (name.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
        return Store::Instance().IncrementValue(*key, name, dwMask, pdwNext);
    });
}

//===-- 5. Enumeration --------------------------------------------------===//

LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
        KeyRef key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
        if (!lpName) return ERROR_INVALID_PARAMETER;
        return Store::Instance().EnumKey(*key, dwIndex, [&](std::string_view name) -> LONG {
            if (name.size() + 1 > cchName) return ERROR_MORE_DATA;
            memcpy(lpName, name.data(), name.size());
            lpName[name.size()] = 0;
            return ERROR_SUCCESS;
        });
    });
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
        if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
            return ERROR_INVALID_PARAMETER;
        KeyRef key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        auto deliver = [&](std::string_view name, DWORD type, const void* data, size_t size) -> LONG {
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
        };
        return Store::Instance().EnumValue(*key, dwIndex, deliver);
    });
}

//===-- 6. The registry's location; whole registries --------------------===//

const char* TmRegistryPath(void) {
    return w32::GuardSettingLastError("", [] {
        // Never destroyed: a thread may still ask while the process exits.
        static const std::string* display =
            new std::string(st::ParseRegistryLocation(w32::RegistryDatabasePath()).display);
        return display->c_str();
    });
}

LONG TmSetRegistryPath(LPCSTR lpLocation) {
    return w32::GuardReturningCode(ERROR_GEN_FAILURE,
                                   [&]() -> LONG { return w32::ChooseRegistryLocation(lpLocation); });
}

const char* TmRegistryStore(void) {
    return w32::GuardSettingLastError("", [] {
        return st::IsPostgresLocation(w32::RegistryDatabasePath()) ? "postgresql" : "sqlite";
    });
}

DWORD TmRegFormatLocation(LPCSTR lpLocation, LPSTR lpBuffer, DWORD nSize) {
    return w32::CatchAll(
        [&]() -> DWORD {
            const std::string display = st::ParseRegistryLocation(lpLocation ? lpLocation : "").display;
            if (!lpBuffer || nSize <= display.size()) return static_cast<DWORD>(display.size() + 1);
            memcpy(lpBuffer, display.c_str(), display.size() + 1);
            return static_cast<DWORD>(display.size());
        },
        [] { return DWORD(0); });
}

LONG TmRegCreateRegistry(LPCSTR lpLocation) {
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
        if (!lpLocation || !*lpLocation) return Store::CreateRegistry(w32::RegistryDatabasePath());
        return Store::CreateRegistry(st::IsPostgresLocation(lpLocation) ? std::string(lpLocation)
                                                                        : w32::AbsolutePath(lpLocation));
    });
}

LONG TmRegCheckRegistry(LPSTR lpText, DWORD cchText) {
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
        LONG code = Store::Instance().Check();
        std::string text;
        if (code != ERROR_SUCCESS) {
            const std::string& path = w32::RegistryDatabasePath();
            const bool postgres = st::IsPostgresLocation(path);
            text = std::string(TmRegistryPath()) + ": ";
            std::string dir = path.substr(0, path.rfind('/') + 1);
            switch (code) {
                case ERROR_CANTOPEN:
                    text += "the file does not exist (create it with 'tmctl reg init')";
                    break;
                case ERROR_NOT_REGISTRY_FILE:
                    text += postgres ? "the schema holds another program's tables, not a registry"
                                     : "another program's database, not a registry";
                    break;
                case ERROR_BADDB:
                    text += "the registry database is corrupt or of a later version";
                    break;
                case ERROR_BAD_PATHNAME:
                    text += "not a valid registry location";
                    break;
                default:
                    if (postgres) {
                        text += code == ERROR_ACCESS_DENIED
                                    ? "the server refused the connection or its rights"
                                    : "the server cannot be reached (error " + std::to_string(code) + ")";
                    } else if (w32::Sys().access(path.c_str(), R_OK | W_OK) != 0) {
                        text += std::string("cannot be read and written: ") + strerror(errno);
                    } else if (w32::Sys().access(dir.c_str(), W_OK) != 0) {
                        text += "its directory " + dir +
                                " is not writable (the registry keeps its -wal and -shm files there)";
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

LONG TmRegCopyRegistry(LPCSTR lpFrom, LPCSTR lpTo) {
    return w32::GuardReturningCode(ERROR_REGISTRY_IO_FAILED, [&]() -> LONG {
        if (!lpFrom || !lpTo || !*lpFrom || !*lpTo) return ERROR_INVALID_PARAMETER;
        std::unique_ptr<Store> source = Store::ForLocation(lpFrom, st::OpenMode::kSource);
        st::RegistryImage image;
        if (LONG rc = source->ReadImage(&image)) return rc;
        source.reset();
        return Store::ForLocation(lpTo, st::OpenMode::kTarget)->LoadImage(image);
    });
}
