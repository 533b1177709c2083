//===-- win32/Libraries.cpp - LoadLibraryA, GetProcAddress, FreeLibrary ---===//
//
// Dynamic libraries over dlopen, through the system-call table.
//
// Names: a Windows library name "NAME.DLL" (or "NAME", to which Windows
// adds ".DLL") stands for "libname.so", in lower case. Without a
// directory the library is looked for beside the executable first, then
// along the dynamic linker's search path; with a directory ('/' or '\'),
// there only. A file name with another extension ("libx.so.1") is taken as
// it is.
//
// Handles: an HMODULE is the dlopen handle, so GetModuleFileNameA can ask
// the dynamic linker for its path. The layer counts the loads of each
// handle and answers only for handles it gave out: a stale or foreign
// handle is refused with ERROR_MOD_NOT_FOUND instead of reaching dlclose
// or dlsym, which would crash on it.
//
// Lookup: dlsym searches a library's dependencies too; GetProcAddress, as
// on Windows, finds only what the module itself defines, so a symbol that
// resolves into another object counts as missing. A NULL module is the
// executable. Ordinals (a "name" below 0x10000) do not exist here and are
// never dereferenced.
//
// Diagnostics: ERROR_INVALID_PARAMETER (NULL name), ERROR_MOD_NOT_FOUND,
// ERROR_BAD_EXE_FORMAT (the file is there but the dynamic linker refuses
// it), ERROR_FILENAME_EXCED_RANGE, ERROR_PROC_NOT_FOUND, ERROR_GEN_FAILURE
// (dlclose failed).
//===----------------------------------------------------------------------===//
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "Guard.h"
#include "Layer.h"
#include "Modules.h"
#include "SysCalls.h"

namespace {

// Loads per handle, as LoadLibraryA/FreeLibrary count them.
class ModuleTable {
public:
    static ModuleTable& Instance() {
        static ModuleTable* table = new ModuleTable;
        return *table;
    }
    void Add(void* handle) {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_loads[handle];
    }
    bool Contains(void* handle) {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_loads.count(handle) != 0;
    }
    // Takes one load away; false for a handle that holds none.
    bool Release(void* handle) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_loads.find(handle);
        if (it == m_loads.end()) return false;
        if (--it->second == 0) m_loads.erase(it);
        return true;
    }

private:
    ModuleTable() {
        // Held only around the map, never while calling out; a forked
        // child finds it free.
        pthread_atfork([] { Instance().m_lock.lock(); }, [] { Instance().m_lock.unlock(); },
                       [] { Instance().m_lock.unlock(); });
    }
    std::mutex m_lock;
    std::unordered_map<void*, unsigned long> m_loads;
};

bool EndsWithNoCase(const std::string& text, const char* suffix) {
    size_t n = strlen(suffix);
    return text.size() >= n && _stricmp(text.c_str() + text.size() - n, suffix) == 0;
}

// The file that stands for a Windows library name, without its directory.
std::string SharedObjectName(const std::string& base) {
    std::string stem;
    if (EndsWithNoCase(base, ".dll")) {
        stem = base.substr(0, base.size() - 4);
    } else if (base.find('.') == std::string::npos) {
        stem = base;
    } else {
        return base;
    }
    for (char& c : stem) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return "lib" + stem + ".so";
}

bool IsFile(const std::string& path) {
    struct stat st;
    return w32::Sys().stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// The directory of the executable, with a trailing separator, or "".
std::string ExecutableDirectory() {
    char path[PATH_MAX];
    ssize_t n = w32::Sys().readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return std::string();
    path[n] = '\0';
    const char* base = w32::BaseName(path);
    return std::string(path, static_cast<size_t>(base - path));
}

HMODULE Loaded(void* handle) {
    ModuleTable::Instance().Add(handle);
    return static_cast<HMODULE>(handle);
}

// dlopen of a file known to exist: a refusal means the file is no
// library of this platform (or one of its own dependencies is missing).
HMODULE OpenExisting(const std::string& path) {
    void* handle = w32::Sys().dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    return Loaded(handle);
}

}  // namespace

namespace w32 {

bool IsLoadedModule(HMODULE hModule) {
    return hModule && ModuleTable::Instance().Contains(hModule);
}

}  // namespace w32

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
    return w32::GuardSettingLastError<HMODULE>(nullptr, [&]() -> HMODULE {
        if (!lpLibFileName) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        std::string name(lpLibFileName);
        for (char& c : name) {
            if (c == '\\') c = w32::kPathSeparator;
        }
        const char* base = w32::BaseName(name.c_str());
        std::string directory(name.c_str(), static_cast<size_t>(base - name.c_str()));
        if (!*base) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        std::string file = SharedObjectName(base);
        if (!directory.empty()) {
            std::string path = directory + file;
            if (path.size() >= PATH_MAX) {
                SetLastError(ERROR_FILENAME_EXCED_RANGE);
                return nullptr;
            }
            if (!IsFile(path)) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return nullptr;
            }
            return OpenExisting(path);
        }
        if (file.size() > NAME_MAX) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return nullptr;
        }
        // The executable's directory first, as Windows searches it first.
        std::string besideExecutable = ExecutableDirectory() + file;
        if (besideExecutable.size() < PATH_MAX && IsFile(besideExecutable)) {
            return OpenExisting(besideExecutable);
        }
        void* handle = w32::Sys().dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        return Loaded(handle);
    });
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    return w32::GuardSettingLastError<FARPROC>(nullptr, [&]() -> FARPROC {
        // NULL is the executable itself, which exports nothing of its own
        // unless it was linked to: its own definitions are looked up.
        if (!hModule) {
            static void* const program = w32::Sys().dlopen(nullptr, RTLD_LAZY);
            hModule = static_cast<HMODULE>(program);
            if (!hModule) {
                SetLastError(ERROR_PROC_NOT_FOUND);
                return nullptr;
            }
        } else if (!w32::IsLoadedModule(hModule)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        if (!lpProcName) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        // An ordinal rides in the low word of the pointer; ELF has none.
        if (reinterpret_cast<uintptr_t>(lpProcName) <= 0xFFFFu) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        void* symbol = w32::Sys().dlsym(hModule, lpProcName);
        if (!symbol) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        // Only the module's own definitions count, not its dependencies'.
        struct link_map* own = nullptr;
        struct link_map* owner = nullptr;
        Dl_info info;
        if (w32::Sys().dlinfo(hModule, RTLD_DI_LINKMAP, &own) != 0 ||
            w32::Sys().dladdr1(symbol, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0 ||
            owner != own) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return reinterpret_cast<FARPROC>(symbol);
    });
}

BOOL FreeLibrary(HMODULE hLibModule) {
    return w32::GuardSettingLastError<BOOL>(FALSE, [&]() -> BOOL {
        if (!hLibModule || !ModuleTable::Instance().Release(hLibModule)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        if (w32::Sys().dlclose(hLibModule) != 0) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        return TRUE;
    });
}
