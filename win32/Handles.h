//===-- win32/Handles.h - Kernel object handles of this process -----------===//
//
// A HANDLE is a key into one process-wide table of objects: files,
// mutexes, events. Each kind derives from KernelObject and answers the
// operations that Windows lets every handle take (wait, close). A handle
// value is never reused while the process lives, so a stale handle gives
// ERROR_INVALID_HANDLE instead of reaching another object.
//===----------------------------------------------------------------------===//
#pragma once

#include <memory>
#include <typeinfo>

#include "tmwin32.h"

namespace w32 {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // WaitForSingleObject on this object. Objects that cannot be waited on
    // set ERROR_INVALID_HANDLE and give WAIT_FAILED.
    virtual DWORD Wait(DWORD dwMilliseconds);
};

// Enters the object into the table and gives its new handle; NULL (with
// ERROR_NOT_ENOUGH_MEMORY) if the table cannot grow.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);

// The object behind a handle, or nullptr for a handle that is not open.
std::shared_ptr<KernelObject> LookupHandle(HANDLE h);

// The object behind a handle when it is exactly a T (the kinds are final
// classes), else nullptr.
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE h) {
    std::shared_ptr<KernelObject> object = LookupHandle(h);
    if (!object) return nullptr;
    const KernelObject& kind = *object;
    if (typeid(kind) != typeid(T)) return nullptr;
    return std::static_pointer_cast<T>(std::move(object));
}

// Takes the handle out of the table; the object goes when its last user
// lets go of it. False for a handle that is not open.
bool RemoveHandle(HANDLE h);

}  // namespace w32
