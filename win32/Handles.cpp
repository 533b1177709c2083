//===-- win32/Handles.cpp - Kernel object handles of this process ---------===//
#include "Handles.h"

#include <pthread.h>

#include <mutex>
#include <unordered_map>

namespace w32 {
namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    uintptr_t next = 1;
};

HandleTable* g_table;

// Never destroyed: handles may still be closed by static destructors of
// the library or of the program after this file's statics are gone.
HandleTable& Table() {
    static HandleTable* table = [] {
        g_table = new HandleTable;
        // A forked child inherits the handles, as a Windows child inherits
        // inheritable ones. The table's lock is held across fork so that
        // the child never starts with it taken by a thread it lacks.
        pthread_atfork([] { g_table->lock.lock(); }, [] { g_table->lock.unlock(); },
                       [] { g_table->lock.unlock(); });
        return g_table;
    }();
    return *table;
}

// Handle values are multiples of 4, as on Windows, and never 0 or -1.
uintptr_t Key(HANDLE h) { return reinterpret_cast<uintptr_t>(h); }

}  // namespace

DWORD KernelObject::Wait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    try {
        uintptr_t key = table.next++ * 4;
        table.objects.emplace(key, std::move(object));
        return reinterpret_cast<HANDLE>(key);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE h) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.objects.find(Key(h));
    return it == table.objects.end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE h) {
    std::shared_ptr<KernelObject> object;
    HandleTable& table = Table();
    {
        std::lock_guard<std::mutex> guard(table.lock);
        auto it = table.objects.find(Key(h));
        if (it == table.objects.end()) return false;
        object = std::move(it->second);
        table.objects.erase(it);
    }
    // The object's own clean-up runs outside the table's lock.
    object.reset();
    return true;
}

}  // namespace w32

BOOL CloseHandle(HANDLE hObject) {
    if (!w32::RemoveHandle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    std::shared_ptr<w32::KernelObject> object = w32::LookupHandle(hHandle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->Wait(dwMilliseconds);
}
