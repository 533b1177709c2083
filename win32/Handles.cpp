//===-- win32/Handles.cpp - Kernel object handles of this process ---------===//
#include "Handles.h"

#include <new>

#include "Guard.h"
#include "HandleTable.h"

namespace w32 {
namespace {

// Handle values are multiples of 4, as on Windows, and never 0 or -1.
using KernelHandles = HandleTable<KernelObject, 4>;

uintptr_t Key(HANDLE h) { return reinterpret_cast<uintptr_t>(h); }

}  // namespace

DWORD KernelObject::Wait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    try {
        return reinterpret_cast<HANDLE>(KernelHandles::Instance().Insert(std::move(object)));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE h) { return KernelHandles::Instance().Find(Key(h)); }

bool RemoveHandle(HANDLE h) {
    // The object's own clean-up runs outside the table's lock.
    return KernelHandles::Instance().Take(Key(h)) != nullptr;
}

}  // namespace w32

BOOL CloseHandle(HANDLE hObject) {
    return w32::GuardSettingLastError<BOOL>(FALSE, [&] {
        if (!w32::RemoveHandle(hObject)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    });
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return w32::GuardSettingLastError<DWORD>(WAIT_FAILED, [&] {
        std::shared_ptr<w32::KernelObject> object = w32::LookupHandle(hHandle);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return DWORD(WAIT_FAILED);
        }
        return object->Wait(dwMilliseconds);
    });
}
