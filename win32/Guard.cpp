//===-- win32/Guard.cpp - Machine faults inside guarded bodies ------------===//
//
// One handler for SIGSEGV, SIGBUS and SIGFPE serves every thread. Inside a
// guarded body (a GuardPoint on the thread's stack of points) it jumps back
// to the innermost point; anywhere else it hands the fault to whatever
// handled it before the library was loaded, or to the default action,
// which ends the process as if the library had never looked.
//===----------------------------------------------------------------------===//
#include "Guard.h"

#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cfenv>
#include <cstring>

namespace w32 {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE};

// Read in the signal handler: static TLS, so that no allocation can happen
// on first touch there.
thread_local GuardPoint* t_innermost __attribute__((tls_model("initial-exec"))) = nullptr;

struct sigaction g_previous[3];
std::atomic<bool> g_installed{false};

int SignalIndex(int sig) {
    for (int i = 0; i < 3; ++i) {
        if (kFaultSignals[i] == sig) return i;
    }
    return -1;
}

void OnFault(int sig, siginfo_t* info, void* context) {
    GuardPoint* point = t_innermost;
    if (point) {
#if defined(__x86_64__)
        // The handler runs with a fresh floating-point state; remember the
        // body's control words so that traps it had enabled stay enabled.
        auto* uc = static_cast<ucontext_t*>(context);
        if (uc && uc->uc_mcontext.fpregs) {
            point->mxcsr = uc->uc_mcontext.fpregs->mxcsr;
            point->x87cw = uc->uc_mcontext.fpregs->cwd;
            point->fpuSaved = true;
        }
#endif
        siglongjmp(point->env, sig);
    }
    int index = SignalIndex(sig);
    const struct sigaction& previous = g_previous[index < 0 ? 0 : index];
    if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
        previous.sa_sigaction(sig, info, context);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN &&
        previous.sa_handler != nullptr) {
        previous.sa_handler(sig);
        return;
    }
    // Returning re-executes the faulting instruction under the default
    // action, which ends the process with this signal.
    signal(sig, SIG_DFL);
}

}  // namespace

void PushGuard(GuardPoint* point) noexcept {
    point->fpuSaved = false;
    point->prev = t_innermost;
    t_innermost = point;
}

void PopGuard(GuardPoint* point) noexcept { t_innermost = point->prev; }

void RecoverFromFault(GuardPoint* point) noexcept {
    t_innermost = point->prev;
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kFaultSignals) sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    std::feclearexcept(FE_ALL_EXCEPT);
#if defined(__x86_64__)
    if (point->fpuSaved) {
        unsigned int mxcsr = point->mxcsr & ~0x3Fu;  // control kept, flags cleared
        unsigned short cw = point->x87cw;
        __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(cw));
        __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
    }
#endif
}

void InstallFaultHandlers() noexcept {
    bool expected = false;
    if (!g_installed.compare_exchange_strong(expected, true)) return;
    for (int i = 0; i < 3; ++i) {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(kFaultSignals[i], &action, &g_previous[i]);
    }
}

}  // namespace w32
