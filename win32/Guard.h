//===-- win32/Guard.h - Catch-all handlers that also catch machine faults -===//
//
// Windows' structured exception handling let one handler catch a C++
// exception and an access violation alike. CatchAll gives the library that
// handler: it runs a body, and when the body throws anything, or raises
// SIGSEGV, SIGBUS or SIGFPE, it runs the failure handler and returns its
// value instead.
//
// Faults come back by siglongjmp to the guard point: destructors of the
// frames in between do not run, so a guarded body must not leave state half
// changed across a call that can fault. Only a fault of the body's own code
// is caught; the same signal sent by kill or raise is not.
//
// Outside every guard point a fault goes to the handler the program asked
// for, run as the kernel would run it (SA_SIGINFO or not, its sa_mask,
// SA_NODEFER, SA_RESETHAND; SIG_IGN and SIG_DFL end the process as the
// kernel would). The library exports sigaction, signal, bsd_signal,
// sysv_signal and __sysv_signal so that a program that installs its own
// fault handler later (a crash reporter) keeps the guard: for SIGSEGV,
// SIGBUS and SIGFPE they record the program's handler and report the one
// it asked for before, and leave the guard's installed; every other signal
// goes straight to the C library. See tmcommon/tmwin32.h, section 13, for what a
// program must do for this to hold.
//
// Entry guards. Every Win32 function of the layer runs its body through one
// of two guards, so that nothing thrown inside leaves the layer: the caller
// sees a failure as Windows reports it. GuardReturningCode serves functions
// whose result is the Win32 code (the Reg family); GuardSettingLastError
// serves those that return a failure value and set the last error. A failed
// allocation becomes ERROR_NOT_ENOUGH_MEMORY, anything else the code the
// caller names. They catch exceptions only, not machine faults: a call
// that does not throw pays nothing for them, and the layer's hot paths
// (waits, registry reads) run through them.
//
// Exported functions without an entry guard, because nothing in them can
// throw (no allocation, no call that throws): GetLastError, SetLastError,
// GetCurrentThreadId, GetCurrentProcessId, GetTickCount, Sleep, _strnicmp,
// _stricmp, wvsprintfA and wsprintfA (a fixed 1024-byte output, no heap),
// and the streams' opens (_fsopen, tm_fopen: nothrow allocation, failures
// reported through errno as the C runtime does). SendMessageA calls the
// caller's own window procedure in the caller's thread, so what that
// procedure throws reaches the caller, as on Windows; its lookup cannot
// throw. The MFC classes (CString and the others) are not entry points:
// like MFC, which throws CMemoryException, they throw bad_alloc to their
// caller, and the library's own callers run them inside CatchAll.
//===----------------------------------------------------------------------===//
#pragma once

#include <setjmp.h>

#include <new>
#include <type_traits>
#include <utility>

#include "tmwin32.h"

namespace w32 {

struct GuardPoint {
    sigjmp_buf env;
    GuardPoint* prev;
    unsigned int mxcsr;       // SSE control and status of the faulting frame
    unsigned short x87cw;     // x87 control word of the faulting frame
    bool fpuSaved;
};

// Thread's innermost guard point.
void PushGuard(GuardPoint* point) noexcept;
void PopGuard(GuardPoint* point) noexcept;
// After a fault: pops the point, unblocks the fault signals and restores
// the floating-point control state the body ran with.
void RecoverFromFault(GuardPoint* point) noexcept;
// Installs the fault handlers, taking what was installed before as the
// program's; idempotent. Called at library load.
void InstallFaultHandlers() noexcept;

template <class Body, class Handler>
auto CatchAll(Body&& body, Handler&& onFailure) -> decltype(body()) {
    using Result = decltype(body());
    GuardPoint point;
    PushGuard(&point);
    // No signal mask is saved here: saving it costs a system call on every
    // guarded call; RecoverFromFault unblocks the signals instead.
    if (sigsetjmp(point.env, 0) != 0) {
        RecoverFromFault(&point);
        return onFailure();
    }
    try {
        if constexpr (std::is_void_v<Result>) {
            body();
            PopGuard(&point);
        } else {
            Result result = body();
            PopGuard(&point);
            return result;
        }
    } catch (...) {
        PopGuard(&point);
        return onFailure();
    }
}

template <class Body>
LONG GuardReturningCode(LONG otherFailure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return otherFailure;
    }
}

template <class Result, class Body>
Result GuardSettingLastError(Result failure, Body&& body, DWORD otherError = ERROR_GEN_FAILURE) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return failure;
    } catch (...) {
        SetLastError(otherError);
        return failure;
    }
}

}  // namespace w32
