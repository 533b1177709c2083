//===-- logging/Trap.h - The library's catch-all handler ------------------===//
//
// Nearly every exported function runs its body through Guarded: an
// exception of any type, or a machine fault, inside the body is reported
// through the exception trap DebugX with the source file's name and the
// handler's line, and the function returns its failure value.
//
//   return tmc::Guarded(kSourceFile, __LINE__, 13L, [&] { ... return code; });
//===----------------------------------------------------------------------===//
#pragma once

#include <utility>

#include "Guard.h"
#include "tmlogging.h"

namespace tmc {

template <class R, class Body>
R Guarded(const char* file, int line, R fail, Body&& body) {
    return w32::CatchAll([&]() -> R { return body(); },
                         [&]() -> R {
                             DebugX(file, line);
                             return fail;
                         });
}

template <class Body>
void Guarded(const char* file, int line, Body&& body) {
    w32::CatchAll([&] { body(); }, [&] { DebugX(file, line); });
}

}  // namespace tmc
