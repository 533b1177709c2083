//===-- platform/OptionalLibrary.h - What both optional loaders share -----===//
#pragma once

#include "tmwin32.h"

namespace tmc {

// Looks up an entry point by name and stores its address in a pointer of
// the entry point's own type; NULL when the library does not export it.
template <class Function>
void Resolve(HMODULE hModule, const char* pszName, Function** ppFunction) {
    // Through void (*)(void), the type that stands for any function.
    auto generic = reinterpret_cast<void (*)()>(GetProcAddress(hModule, pszName));
    *ppFunction = reinterpret_cast<Function*>(generic);
}

// One more user of an optional library: the first one loads it. A load that
// throws leaves nothing loaded and nobody counted, and the exception goes on
// to the caller.
template <class Load, class Unload>
void AddUser(CMutex& mutex, int& count, const HINSTANCE& instance, Load load, Unload unload) {
    CSingleLock lock(&mutex, TRUE);
    if (!instance && count == 0) {
        try {
            load();
        } catch (...) {
            unload();
            throw;
        }
    }
    ++count;
}

// One user fewer: the last one frees the library.
template <class Unload>
void DropUser(CMutex& mutex, int& count, const HINSTANCE& instance, Unload unload) {
    CSingleLock lock(&mutex, TRUE);
    --count;
    if (instance && count == 0) unload();
}

}  // namespace tmc
