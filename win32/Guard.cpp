//===-- win32/Guard.cpp - Machine faults inside guarded bodies ------------===//
//
// One handler for SIGSEGV, SIGBUS and SIGFPE serves every thread. Inside a
// guarded body (a GuardPoint on the thread's stack of points) it jumps back
// to the innermost point; anywhere else it hands the fault to the handler
// the program asked for, as the kernel would have run it.
//
// The program's handler: the library exports sigaction, signal,
// bsd_signal, sysv_signal and __sysv_signal. For every other signal they
// are the C library's (the next definition after ours). For the three
// fault signals they record what the program asks for and report what it
// asked for before, while the guard's handler stays installed; what was
// installed when the library loaded counts as asked for. A host that
// installs a crash handler after loading the library therefore keeps the
// guard, and still gets every fault outside a guarded body.
//
// The guarded path itself makes no system call: entering and leaving a
// guard touch only the thread's list of points.
//===----------------------------------------------------------------------===//
#include "Guard.h"

#include <dlfcn.h>
#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cerrno>
#include <cfenv>
#include <cstring>

#include "tmwin32.h"

// Code that no sanitizer instruments at all.
#if defined(__clang__)
#define TM_NOT_INSTRUMENTED __attribute__((disable_sanitizer_instrumentation))
#else
#define TM_NOT_INSTRUMENTED __attribute__((no_sanitize("address", "thread", "undefined")))
#endif

// glibc's sigaction under its other exported name: what calls go to
// before the library has loaded, and should the lookup of the next
// definition fail.
extern "C" int __sigaction(int sig, const struct sigaction* act, struct sigaction* oldact) noexcept;

namespace w32 {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE};

// Read in the signal handler: static TLS, so that no allocation can happen
// on first touch there.
constinit thread_local GuardPoint* t_innermost __attribute__((tls_model("initial-exec"))) = nullptr;

int SignalIndex(int sig) {
    for (int i = 0; i < 3; ++i) {
        if (kFaultSignals[i] == sig) return i;
    }
    return -1;
}

using SigactionFunction = int (*)(int, const struct sigaction*, struct sigaction*);

using SignalFunction = sighandler_t (*)(int, sighandler_t);

// The definition of a name that follows the library's own: the C
// library's, or that of a tool that intercepts it too (a sanitizer).
template <class Function>
Function Next(std::atomic<Function>& cache, const char* name) {
    Function f = cache.load(std::memory_order_acquire);
    if (!f) {
        f = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
        cache.store(f, std::memory_order_release);
    }
    return f;
}

constinit std::atomic<SigactionFunction> g_nextSigaction{nullptr};

int NextSigaction(int sig, const struct sigaction* act, struct sigaction* oldact) {
    SigactionFunction f = Next(g_nextSigaction, "sigaction");
    if (!f) f = __sigaction;
    return f(sig, act, oldact);
}

// What the program asked for on each fault signal, and whether the
// guard's handler is installed. Read by the fault handler, so guarded by
// a spin lock taken with every signal blocked: no handler can interrupt
// its holder on the same thread. Initialised before any code runs: the
// library's start-up fills it in before this file's own initialisers
// would run.
struct HostActions {
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    bool installed = false;
    struct sigaction action[3] = {};
};
constinit HostActions g_host;

// Set once the guard's handlers are installed.
constinit bool g_loaded = false;

class HostLock {
public:
    HostLock() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &m_saved);
        while (g_host.busy.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~HostLock() {
        g_host.busy.clear(std::memory_order_release);
        pthread_sigmask(SIG_SETMASK, &m_saved, nullptr);
    }
    HostLock(const HostLock&) = delete;
    HostLock& operator=(const HostLock&) = delete;

private:
    sigset_t m_saved;
};

void OnFault(int sig, siginfo_t* info, void* context);

struct sigaction GuardAction() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    return action;
}

// The default action: the process ends with the signal (a fault comes
// back at once when the instruction runs again; a sent signal is sent
// again and arrives when the handler returns).
void TakeDefaultAction(int sig) {
    struct sigaction fallback;
    memset(&fallback, 0, sizeof fallback);
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    NextSigaction(sig, &fallback, nullptr);
    raise(sig);
}

// A fault outside every guarded body: runs what the program asked for, as
// the kernel would have run it had the program's handler been installed.
void PassToProgram(int sig, siginfo_t* info, void* context) {
    int index = SignalIndex(sig);
    struct sigaction asked;
    {
        HostLock lock;
        asked = g_host.action[index];
        // A one-shot handler is reset before it runs.
        if ((asked.sa_flags & SA_RESETHAND) && asked.sa_handler != SIG_IGN && asked.sa_handler != SIG_DFL) {
            struct sigaction& slot = g_host.action[index];
            slot.sa_handler = SIG_DFL;
            slot.sa_flags &= ~(SA_SIGINFO | SA_RESETHAND);
        }
    }
    const bool sent = info && info->si_code <= 0;  // by kill, tgkill, sigqueue
    if (asked.sa_handler == SIG_IGN) {
        // The kernel ignores a signal that was sent; a fault it cannot
        // ignore, and it ends the process.
        if (!sent) TakeDefaultAction(sig);
        return;
    }
    if (asked.sa_handler == SIG_DFL) {
        TakeDefaultAction(sig);
        return;
    }
    // The mask the program's handler would have run with: the interrupted
    // code's, its sa_mask, and the signal itself unless SA_NODEFER.
    sigset_t during;
    auto* uc = static_cast<ucontext_t*>(context);
    if (uc) {
        during = uc->uc_sigmask;
    } else {
        pthread_sigmask(SIG_SETMASK, nullptr, &during);
    }
    sigorset(&during, &during, &asked.sa_mask);
    if (asked.sa_flags & SA_NODEFER) {
        sigdelset(&during, sig);
    } else {
        sigaddset(&during, sig);
    }
    sigset_t ours;
    pthread_sigmask(SIG_SETMASK, &during, &ours);
    if (asked.sa_flags & SA_SIGINFO) {
        asked.sa_sigaction(sig, info, context);
    } else {
        asked.sa_handler(sig);
    }
    pthread_sigmask(SIG_SETMASK, &ours, nullptr);
}

void OnFault(int sig, siginfo_t* info, void* context) {
    GuardPoint* point = t_innermost;
    // Only a fault of the body's own code is the body's: a signal another
    // process or thread sent is the program's business.
    if (point && info && info->si_code > 0) {
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
    PassToProgram(sig, info, context);
}

// Reads the caller's action, or writes the previous one out, as the kernel
// does: a pointer that cannot be read or written gives EFAULT.
bool CopyAction(struct sigaction* to, const struct sigaction* from) {
    return CatchAll(
        [&] {
            memcpy(to, from, sizeof *to);
            return true;
        },
        [] { return false; });
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
    HostLock lock;
    if (g_host.installed) return;
    const struct sigaction guard = GuardAction();
    for (int i = 0; i < 3; ++i) NextSigaction(kFaultSignals[i], &guard, &g_host.action[i]);
    g_host.installed = true;
    __atomic_store_n(&g_loaded, true, __ATOMIC_RELEASE);
}

}  // namespace w32

//===-- The program's signal functions ------------------------------------===//

namespace {

using w32::SignalIndex;

int ProgramSigaction(int sig, const struct sigaction* act, struct sigaction* oldact) {
    int index = SignalIndex(sig);
    if (index < 0) return w32::NextSigaction(sig, act, oldact);
    struct sigaction wanted, previous;
    if (act && !w32::CopyAction(&wanted, act)) {
        errno = EFAULT;
        return -1;
    }
    {
        w32::HostLock lock;
        if (!w32::g_host.installed) {
            // The library has not finished loading: the program's own call.
            int rc = w32::NextSigaction(sig, act ? &wanted : nullptr, oldact ? &previous : nullptr);
            if (rc != 0) return rc;
        } else {
            previous = w32::g_host.action[index];
            if (act) w32::g_host.action[index] = wanted;
        }
    }
    if (oldact && !w32::CopyAction(oldact, &previous)) {
        errno = EFAULT;
        return -1;
    }
    return 0;
}

// signal and its variants. For the fault signals they mean what the C
// library makes of them: signal and bsd_signal keep the handler and block
// the signal while it runs; sysv_signal resets it and does not block it.
sighandler_t ProgramSignal(int sig, sighandler_t handler, bool bOneShot, std::atomic<w32::SignalFunction>& next,
                           const char* pszName) {
    if (SignalIndex(sig) < 0) {
        if (w32::SignalFunction f = w32::Next(next, pszName)) return f(sig, handler);
    }
    if (handler == SIG_ERR || SignalIndex(sig) < 0) {
        errno = EINVAL;
        return SIG_ERR;
    }
    struct sigaction action, previous;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    if (bOneShot) {
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
    } else {
        sigaddset(&action.sa_mask, sig);
        action.sa_flags = SA_RESTART;
    }
    if (ProgramSigaction(sig, &action, &previous) != 0) return SIG_ERR;
    return previous.sa_handler;
}

constinit std::atomic<w32::SignalFunction> g_nextSignal{nullptr}, g_nextBsdSignal{nullptr}, g_nextSysvSignal{nullptr},
    g_nextIsoSignal{nullptr};

}  // namespace

// No longer declared by the C library's header, but still exported by it.
extern "C" sighandler_t bsd_signal(int sig, sighandler_t handler) noexcept;

// Until the library has loaded, calls go straight to the C library, in
// code that no sanitizer instruments: a sanitizer's start-up calls the
// next sigaction after its own, this one, before it can run instrumented
// code.
extern "C" TM_API TM_NOT_INSTRUMENTED int sigaction(int sig, const struct sigaction* act,
                                                     struct sigaction* oldact) noexcept {
    if (!__atomic_load_n(&w32::g_loaded, __ATOMIC_ACQUIRE)) return __sigaction(sig, act, oldact);
    return ProgramSigaction(sig, act, oldact);
}

extern "C" TM_API sighandler_t signal(int sig, sighandler_t handler) noexcept {
    return ProgramSignal(sig, handler, false, g_nextSignal, "signal");
}

extern "C" TM_API sighandler_t bsd_signal(int sig, sighandler_t handler) noexcept {
    return ProgramSignal(sig, handler, false, g_nextBsdSignal, "bsd_signal");
}

extern "C" TM_API sighandler_t sysv_signal(int sig, sighandler_t handler) noexcept {
    return ProgramSignal(sig, handler, true, g_nextSysvSignal, "sysv_signal");
}

// What signal() is in a program compiled for strict ISO C.
extern "C" TM_API sighandler_t __sysv_signal(int sig, sighandler_t handler) noexcept {
    return ProgramSignal(sig, handler, true, g_nextIsoSignal, "__sysv_signal");
}
