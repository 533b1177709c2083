//===-- win32/Services.cpp - The service control manager ------------------===//
//
// OpenSCManagerA, CreateServiceA, OpenServiceA, DeleteService and
// CloseServiceHandle over the registry, where Windows NT keeps its
// database: one key per service under
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services, with the values
// Type, Start, ErrorControl (REG_DWORD), ImagePath (REG_EXPAND_SZ),
// DisplayName and, for Win32 services, ObjectName (REG_SZ); Group,
// DependOnService and DependOnGroup when given. Nothing runs a
// service here: the database is what the installation's programs share.
//
// Contents:
//   1. Handles and access
//   2. The database lock and the holders of a service
//   3. The database: names, keys, deletion
//   4. Entry points
//
// Deletion across processes. DeleteService only marks a service, with
// the value "DeleteFlag" (1) in its key, as NT does; the key goes when no
// handle to the service is left in any process. Each service handle holds
// a named event "SCM:<service name in lower case>"; the layer's named
// objects vanish with their last handle, also when a holder dies without
// closing. So whoever closes a service handle looks, after closing, whether
// anybody still holds that event and deletes the marked key if nobody
// does; a marked key left behind by a holder that died is deleted by the
// next OpenServiceA or CreateServiceA that meets it. Every call that reads
// and changes the database does so while it owns one named mutex, so the
// look and the deletion are one step for every process of the
// installation.
//
// Access: a handle keeps the rights it was opened with (generic rights
// mapped as Windows maps them); CreateServiceA needs
// SC_MANAGER_CREATE_SERVICE on the manager, DeleteService needs DELETE on
// the service, else ERROR_ACCESS_DENIED. Who may do what is the
// registry's to say: a manager opened for changes needs write access to
// the Services key, a service opened for changes needs write and delete
// access to its key, so a key restricted with TmRegSetKeyRestriction
// refuses with ERROR_ACCESS_DENIED as Windows refuses a user who is not
// an administrator.
//
// Diagnostics: each function sets the thread's last error on failure:
// 6 invalid handle, 5 access denied, 87 invalid parameter, 123 invalid
// name, 1060 no such service, 1065 the failed-services database, 1072
// marked for deletion, 1073 the service exists, 1078 the display name is
// taken, 1722 another computer; a registry failure gives the registry's
// code. Not reproduced: the password, the service's own security, and
// tags (lpdwTagId gives ERROR_INVALID_PARAMETER: there are no drivers to
// order here).
// Limits: service names of 1 to 255 characters without '/' or '\'
// (registry key names stop at 255), display names up to 256.
//===----------------------------------------------------------------------===//
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "Guard.h"
#include "HandleTable.h"
#include "tmwin32.h"

namespace {

//===-- 1. Handles and access -------------------------------------------===//


enum class ScKind { Manager, Service };

struct ScObject {
    ScKind kind = ScKind::Manager;
    DWORD access = 0;
    std::string name;         // services: the name it was opened by
    HANDLE holder = nullptr;  // services: the named event that marks a holder
};

using ScRef = std::shared_ptr<ScObject>;

// SC_HANDLE values count up in steps of 4 and are never reused, so a
// stale handle gives ERROR_INVALID_HANDLE rather than another service.
using ScHandles = w32::HandleTable<ScObject, 0x60000000u>;

DWORD ManagerAccess(DWORD access) {
    if (access & GENERIC_READ) {
        access |= READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    }
    if (access & GENERIC_WRITE) {
        access |= READ_CONTROL | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    }
    if (access & GENERIC_EXECUTE) access |= READ_CONTROL | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    if (access & GENERIC_ALL) access |= SC_MANAGER_ALL_ACCESS;
    // Every manager handle may connect.
    return (access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL)) |
           SC_MANAGER_CONNECT;
}

DWORD ServiceAccess(DWORD access) {
    if (access & GENERIC_READ) {
        access |= READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                  SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS;
    }
    if (access & GENERIC_WRITE) access |= READ_CONTROL | SERVICE_CHANGE_CONFIG;
    if (access & GENERIC_EXECUTE) {
        access |= READ_CONTROL | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                  SERVICE_USER_DEFINED_CONTROL;
    }
    if (access & GENERIC_ALL) access |= SERVICE_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// Rights that change the database and so need write access to its keys.
constexpr DWORD kManagerChanges = SC_MANAGER_CREATE_SERVICE | SC_MANAGER_LOCK |
                                  SC_MANAGER_MODIFY_BOOT_CONFIG | DELETE | WRITE_DAC | WRITE_OWNER;
constexpr DWORD kServiceChanges = SERVICE_CHANGE_CONFIG | DELETE | WRITE_DAC | WRITE_OWNER;

template <class T>
T Fail(DWORD code, T result) {
    SetLastError(code);
    return result;
}

//===-- 2. The database lock and the holders of a service ---------------===//

constexpr char kLockName[] = "Tamarak service control manager";
constexpr char kHolderPrefix[] = "SCM:";

// The database's named mutex, opened once per process and kept: opening
// a named object costs more than the work it guards. A failed open is
// tried again by the next call.
HANDLE DatabaseMutex() {
    static std::atomic<HANDLE> s_hMutex{nullptr};
    HANDLE h = s_hMutex.load(std::memory_order_acquire);
    if (h) return h;
    h = CreateMutexA(nullptr, FALSE, kLockName);
    if (!h) return nullptr;
    HANDLE expected = nullptr;
    if (!s_hMutex.compare_exchange_strong(expected, h, std::memory_order_acq_rel)) {
        CloseHandle(h);  // another thread was first
        return expected;
    }
    return h;
}

// Owns the database's named mutex for its lifetime. A holder that died
// leaves the mutex abandoned; the database itself is changed one registry
// call at a time, so it is taken as it stands.
class DatabaseLock {
public:
    DatabaseLock() : m_hMutex(DatabaseMutex()) {
        if (!m_hMutex) {
            m_dwError = GetLastError();
            return;
        }
        DWORD wait = WaitForSingleObject(m_hMutex, INFINITE);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
            m_bHeld = true;
        } else {
            m_dwError = GetLastError();
        }
    }
    ~DatabaseLock() {
        if (m_bHeld) ReleaseMutex(m_hMutex);
    }
    DatabaseLock(const DatabaseLock&) = delete;
    DatabaseLock& operator=(const DatabaseLock&) = delete;

    bool Held() const { return m_bHeld; }
    DWORD Error() const { return m_dwError ? m_dwError : ERROR_GEN_FAILURE; }

private:
    HANDLE m_hMutex;
    bool m_bHeld = false;
    DWORD m_dwError = 0;
};

std::string LowerCase(const char* text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

// Service names compare without regard to case; kernel object names do
// not, so the holder's name is the service name in lower case.
std::string HolderName(const std::string& service) {
    return kHolderPrefix + LowerCase(service.c_str());
}

// Whether any process still holds a handle to the service. Only a clear
// "nobody" counts: on any other failure the service is kept.
bool HasHolders(const std::string& service) {
    HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, HolderName(service).c_str());
    if (h) {
        CloseHandle(h);
        return true;
    }
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}

//===-- 3. The database: names, keys, deletion --------------------------===//

constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
constexpr size_t kMaxServiceName = 255;
constexpr size_t kMaxDisplayName = 256;

// ERROR_SUCCESS for a name the database can hold, else ERROR_INVALID_NAME.
DWORD CheckServiceName(const char* name) {
    size_t length = strnlen(name, kMaxServiceName + 1);
    if (length == 0 || length > kMaxServiceName) return ERROR_INVALID_NAME;
    if (strpbrk(name, "/\\")) return ERROR_INVALID_NAME;
    return ERROR_SUCCESS;
}

bool ValidConfiguration(DWORD type, DWORD start, DWORD errorControl) {
    const bool driver = type == SERVICE_KERNEL_DRIVER || type == SERVICE_FILE_SYSTEM_DRIVER;
    const DWORD win32 = type & ~SERVICE_INTERACTIVE_PROCESS;
    const bool process = win32 == SERVICE_WIN32_OWN_PROCESS || win32 == SERVICE_WIN32_SHARE_PROCESS;
    if (!driver && !process) return false;
    if (start > SERVICE_DISABLED) return false;
    // Only drivers start with the boot loader or the kernel.
    if (!driver && start < SERVICE_AUTO_START) return false;
    return errorControl <= SERVICE_ERROR_CRITICAL;
}

std::string ServiceKeyPath(const std::string& name) {
    return std::string(kServicesKey) + "\\" + name;
}

class Key {
public:
    Key() = default;
    ~Key() {
        if (m_hKey) RegCloseKey(m_hKey);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* Out() { return &m_hKey; }
    operator HKEY() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

LONG OpenServiceKey(const std::string& name, REGSAM sam, Key* key) {
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, sam, key->Out());
}

bool ReadDword(HKEY hKey, const char* name, DWORD* value) {
    DWORD type = 0, size = sizeof *value;
    return RegQueryValueExA(hKey, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD && size == sizeof *value;
}

// A string value, or "" when it is missing, not a string or too long.
std::string ReadString(HKEY hKey, const char* name) {
    char buffer[1024];
    DWORD type = 0, size = sizeof buffer - 1;
    if (RegQueryValueExA(hKey, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return std::string();
    }
    buffer[size] = '\0';
    return buffer;
}

bool IsMarked(HKEY hKey) {
    DWORD flag = 0;
    return ReadDword(hKey, "DeleteFlag", &flag) && flag != 0;
}

// Deletes a key with all its subkeys, deepest first.
LONG DeleteTree(HKEY hParent, const char* subKey) {
    Key key;
    LONG rc = RegOpenKeyExA(hParent, subKey, 0, KEY_READ, key.Out());
    if (rc != ERROR_SUCCESS) return rc;
    char child[kMaxServiceName + 1];
    // Always the first child: each one is gone once it is deleted.
    while ((rc = RegEnumKeyA(key, 0, child, sizeof child)) == ERROR_SUCCESS) {
        if (LONG childRc = DeleteTree(key, child)) return childRc;
    }
    if (rc != ERROR_NO_MORE_ITEMS) return rc;
    return RegDeleteKeyA(hParent, subKey);
}

LONG DeleteServiceKey(const std::string& name) {
    return DeleteTree(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str());
}

// With the database lock held: deletes the service if it is marked and
// nobody holds it any more. True when it was deleted.
bool SweepIfUnheld(const std::string& name, HKEY hKey) {
    if (!IsMarked(hKey) || HasHolders(name)) return false;
    return DeleteServiceKey(name) == ERROR_SUCCESS;
}

// Case-insensitive equality of two names.
bool SameName(const char* a, const char* b) { return _stricmp(a, b) == 0; }

// Whether a display name is taken: it may be nobody's service name nor
// display name.
LONG DisplayNameTaken(const char* display, bool* taken) {
    Key services;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_READ, services.Out());
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    char name[kMaxServiceName + 1];
    for (DWORD i = 0; (rc = RegEnumKeyA(services, i, name, sizeof name)) == ERROR_SUCCESS; ++i) {
        Key service;
        if (SameName(name, display) ||
            (RegOpenKeyExA(services, name, 0, KEY_QUERY_VALUE, service.Out()) == ERROR_SUCCESS &&
             SameName(ReadString(service, "DisplayName").c_str(), display))) {
            *taken = true;
            return ERROR_SUCCESS;
        }
    }
    return rc == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : rc;
}

LONG SetDword(HKEY hKey, const char* name, DWORD value) {
    return RegSetValueExA(hKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

LONG SetString(HKEY hKey, const char* name, DWORD type, const char* value) {
    return RegSetValueExA(hKey, name, 0, type, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>(strlen(value) + 1));
}

// Splits a dependency list (strings ending in an empty one) into the
// services and the groups (marked with SC_GROUP_IDENTIFIERA), each as a
// REG_MULTI_SZ image.
void SplitDependencies(const char* list, std::string* services, std::string* groups) {
    for (const char* p = list; p && *p; p += strlen(p) + 1) {
        if (*p == SC_GROUP_IDENTIFIERA) {
            groups->append(p + 1).push_back('\0');
        } else {
            services->append(p).push_back('\0');
        }
    }
    if (!services->empty()) services->push_back('\0');
    if (!groups->empty()) groups->push_back('\0');
}

struct NewService {
    const char* name;
    const char* display;
    DWORD type;
    DWORD start;
    DWORD errorControl;
    const char* imagePath;
    const char* group;
    const char* dependencies;
    const char* account;
};

LONG WriteConfiguration(HKEY hKey, const NewService& s) {
    LONG rc;
    if ((rc = SetDword(hKey, "Type", s.type)) || (rc = SetDword(hKey, "Start", s.start)) ||
        (rc = SetDword(hKey, "ErrorControl", s.errorControl)) ||
        (rc = SetString(hKey, "ImagePath", REG_EXPAND_SZ, s.imagePath)) ||
        (rc = SetString(hKey, "DisplayName", REG_SZ, s.display))) {
        return rc;
    }
    const bool driver = s.type == SERVICE_KERNEL_DRIVER || s.type == SERVICE_FILE_SYSTEM_DRIVER;
    if (!driver && (rc = SetString(hKey, "ObjectName", REG_SZ, s.account))) return rc;
    if (s.group && *s.group && (rc = SetString(hKey, "Group", REG_SZ, s.group))) return rc;
    std::string services, groups;
    SplitDependencies(s.dependencies, &services, &groups);
    for (const auto& [name, list] : {std::pair{"DependOnService", &services},
                                     std::pair{"DependOnGroup", &groups}}) {
        if (list->empty()) continue;
        rc = RegSetValueExA(hKey, name, 0, REG_MULTI_SZ,
                            reinterpret_cast<const BYTE*>(list->data()),
                            static_cast<DWORD>(list->size()));
        if (rc) return rc;
    }
    return ERROR_SUCCESS;
}

// A handle for a service that exists, with its holder mark.
SC_HANDLE NewServiceHandle(const std::string& name, DWORD access) {
    auto object = std::make_shared<ScObject>();
    object->kind = ScKind::Service;
    object->access = access;
    object->name = name;
    object->holder = CreateEventA(nullptr, TRUE, FALSE, HolderName(name).c_str());
    if (!object->holder) return nullptr;
    return reinterpret_cast<SC_HANDLE>(ScHandles::Instance().Insert(std::move(object)));
}

}  // namespace

//===-- 4. Entry points -------------------------------------------------===//

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    return w32::GuardSettingLastError<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        HKEY root = nullptr;
        if (lpMachineName && RegConnectRegistryA(lpMachineName, HKEY_LOCAL_MACHINE, &root)) {
            return Fail<SC_HANDLE>(RPC_S_SERVER_UNAVAILABLE, nullptr);
        }
        if (lpDatabaseName && !SameName(lpDatabaseName, SERVICES_ACTIVE_DATABASEA)) {
            return Fail<SC_HANDLE>(SameName(lpDatabaseName, SERVICES_FAILED_DATABASEA)
                                       ? ERROR_DATABASE_DOES_NOT_EXIST
                                       : ERROR_INVALID_NAME,
                                   nullptr);
        }
        DWORD access = ManagerAccess(dwDesiredAccess);
        Key services;
        if (access & kManagerChanges) {
            LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, nullptr, 0,
                                      KEY_READ | KEY_WRITE, nullptr, services.Out(), nullptr);
            if (rc) return Fail<SC_HANDLE>(static_cast<DWORD>(rc), nullptr);
        } else {
            // Reading an empty database needs no key.
            LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_READ, services.Out());
            if (rc && rc != ERROR_FILE_NOT_FOUND) return Fail<SC_HANDLE>(static_cast<DWORD>(rc), nullptr);
        }
        auto object = std::make_shared<ScObject>();
        object->kind = ScKind::Manager;
        object->access = access;
        return reinterpret_cast<SC_HANDLE>(ScHandles::Instance().Insert(std::move(object)));
    });
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                         DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                         DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup,
                         LPDWORD lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                         LPCSTR lpPassword) {
    (void)lpPassword;
    return w32::GuardSettingLastError<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        ScRef manager = ScHandles::Instance().Find(reinterpret_cast<uintptr_t>(hSCManager));
        if (!manager || manager->kind != ScKind::Manager) {
            return Fail<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
        }
        if (!(manager->access & SC_MANAGER_CREATE_SERVICE)) {
            return Fail<SC_HANDLE>(ERROR_ACCESS_DENIED, nullptr);
        }
        if (!lpServiceName) return Fail<SC_HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
        if (DWORD rc = CheckServiceName(lpServiceName)) return Fail<SC_HANDLE>(rc, nullptr);
        const char* display = lpDisplayName && *lpDisplayName ? lpDisplayName : lpServiceName;
        if (strnlen(display, kMaxDisplayName + 1) > kMaxDisplayName) {
            return Fail<SC_HANDLE>(ERROR_INVALID_NAME, nullptr);
        }
        if (!lpBinaryPathName || !*lpBinaryPathName ||
            !ValidConfiguration(dwServiceType, dwStartType, dwErrorControl)) {
            return Fail<SC_HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
        }
        // Tags order drivers of a group as the kernel starts them; there
        // are none here.
        if (lpdwTagId) return Fail<SC_HANDLE>(ERROR_INVALID_PARAMETER, nullptr);

        DatabaseLock lock;
        if (!lock.Held()) return Fail<SC_HANDLE>(lock.Error(), nullptr);
        const std::string name(lpServiceName);
        {
            Key existing;
            LONG rc = OpenServiceKey(name, KEY_READ, &existing);
            if (rc == ERROR_SUCCESS) {
                if (!IsMarked(existing)) return Fail<SC_HANDLE>(ERROR_SERVICE_EXISTS, nullptr);
                if (!SweepIfUnheld(name, existing)) {
                    return Fail<SC_HANDLE>(ERROR_SERVICE_MARKED_FOR_DELETE, nullptr);
                }
            } else if (rc != ERROR_FILE_NOT_FOUND) {
                return Fail<SC_HANDLE>(static_cast<DWORD>(rc), nullptr);
            }
        }
        bool taken = false;
        if (LONG rc = DisplayNameTaken(display, &taken)) {
            return Fail<SC_HANDLE>(static_cast<DWORD>(rc), nullptr);
        }
        if (taken) return Fail<SC_HANDLE>(ERROR_DUPLICATE_SERVICE_NAME, nullptr);

        NewService config{lpServiceName,  display,          dwServiceType,    dwStartType,
                          dwErrorControl, lpBinaryPathName, lpLoadOrderGroup, lpDependencies,
                          lpServiceStartName && *lpServiceStartName ? lpServiceStartName
                                                                    : "LocalSystem"};
        LONG rc;
        {
            Key key;
            rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, nullptr, 0,
                                 KEY_ALL_ACCESS, nullptr, key.Out(), nullptr);
            if (rc) return Fail<SC_HANDLE>(static_cast<DWORD>(rc), nullptr);
            rc = WriteConfiguration(key, config);
        }
        SC_HANDLE handle = nullptr;
        if (rc == ERROR_SUCCESS) {
            handle = NewServiceHandle(name, ServiceAccess(dwDesiredAccess));
            if (!handle) rc = static_cast<LONG>(GetLastError());
        }
        if (!handle) {
            // A service is made whole or not at all.
            DeleteServiceKey(name);
            return Fail<SC_HANDLE>(static_cast<DWORD>(rc), nullptr);
        }
        return handle;
    });
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    return w32::GuardSettingLastError<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        ScRef manager = ScHandles::Instance().Find(reinterpret_cast<uintptr_t>(hSCManager));
        if (!manager || manager->kind != ScKind::Manager) {
            return Fail<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
        }
        if (!lpServiceName) return Fail<SC_HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
        if (DWORD rc = CheckServiceName(lpServiceName)) return Fail<SC_HANDLE>(rc, nullptr);
        const std::string name(lpServiceName);
        const DWORD access = ServiceAccess(dwDesiredAccess);

        DatabaseLock lock;
        if (!lock.Held()) return Fail<SC_HANDLE>(lock.Error(), nullptr);
        {
            Key key;
            LONG rc = OpenServiceKey(name, KEY_READ, &key);
            if (rc == ERROR_FILE_NOT_FOUND) return Fail<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
            if (rc) return Fail<SC_HANDLE>(static_cast<DWORD>(rc), nullptr);
            // A marked service whose last holder died without closing.
            if (SweepIfUnheld(name, key)) return Fail<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
        }
        if (access & kServiceChanges) {
            Key key;
            LONG rc = OpenServiceKey(name, KEY_READ | KEY_WRITE | DELETE, &key);
            if (rc) return Fail<SC_HANDLE>(static_cast<DWORD>(rc), nullptr);
        }
        SC_HANDLE handle = NewServiceHandle(name, access);
        if (!handle) return Fail<SC_HANDLE>(GetLastError(), nullptr);
        return handle;
    });
}

BOOL DeleteService(SC_HANDLE hService) {
    return w32::GuardSettingLastError<BOOL>(FALSE, [&]() -> BOOL {
        ScRef service = ScHandles::Instance().Find(reinterpret_cast<uintptr_t>(hService));
        if (!service || service->kind != ScKind::Service) {
            return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
        }
        if (!(service->access & DELETE)) return Fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
        DatabaseLock lock;
        if (!lock.Held()) return Fail<BOOL>(lock.Error(), FALSE);
        Key key;
        LONG rc = OpenServiceKey(service->name, KEY_READ | KEY_SET_VALUE, &key);
        // Only a hand that bypassed the manager can have removed the key.
        if (rc == ERROR_FILE_NOT_FOUND) return Fail<BOOL>(ERROR_SERVICE_DOES_NOT_EXIST, FALSE);
        if (rc) return Fail<BOOL>(static_cast<DWORD>(rc), FALSE);
        if (IsMarked(key)) return Fail<BOOL>(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
        if ((rc = SetDword(key, "DeleteFlag", 1))) return Fail<BOOL>(static_cast<DWORD>(rc), FALSE);
        return TRUE;
    });
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    return w32::GuardSettingLastError<BOOL>(FALSE, [&]() -> BOOL {
        ScRef object = ScHandles::Instance().Take(reinterpret_cast<uintptr_t>(hSCObject));
        if (!object) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
        if (object->kind == ScKind::Manager) return TRUE;
        DatabaseLock lock;
        CloseHandle(object->holder);
        // Without the lock the deletion waits for the next call that
        // meets the service.
        if (lock.Held()) {
            Key key;
            if (OpenServiceKey(object->name, KEY_READ, &key) == ERROR_SUCCESS) {
                SweepIfUnheld(object->name, key);
            }
        }
        return TRUE;
    });
}
