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

}  // namespace tmc
