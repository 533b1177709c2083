//===-- logging/Trap.h - The library's catch-all handler ------------------===//
//
// Nearly every exported function runs its body through Guarded: an
// exception of any type, or a machine fault, inside the body is reported
// through the exception trap DebugX with the source file's name and the
// handler's line, and the function returns its failure value.
//
//   return tmc::Guarded(kSourceFile, __LINE__, 13L, [&] { ... return code; });
//
// GuardedReportingAllocation is the form for a step whose failure is a
// lost allocation: the failure is reported with NewError and then to the
// trap, both with the same file name and line, and the caller goes on.
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

template <class Body>
void GuardedReportingAllocation(const char* file, int line, Body&& body) {
    w32::CatchAll([&] { body(); },
                  [&] {
                      NewError(file, line);
                      DebugX(file, line);
                  });
}

}  // namespace tmc
