//===-- win32/Modules.h - The libraries this process loaded ---------------===//
//
// The modules that LoadLibraryA handed out and FreeLibrary has not yet
// released in full, so that the layer never hands a handle of unknown
// origin to the dynamic linker.
//===----------------------------------------------------------------------===//
#pragma once

#include "tmwin32.h"

namespace w32 {

// True for a handle that LoadLibraryA gave and that is still loaded.
bool IsLoadedModule(HMODULE hModule);

}  // namespace w32
