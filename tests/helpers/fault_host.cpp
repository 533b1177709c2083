//===-- tests/helpers/fault_host.cpp - A program with its own fault handler -===//
//
// A host program that installs a handler for SIGSEGV (or SIGFPE) the way a
// crash reporter does, then faults inside a guarded function of the
// library and outside it:
//   fault_host SCENARIO
// Built twice: fault_host is linked with the library, so the program's
// handler is installed after the library loaded; fault_host_dlopen
// (TM_HOST_DLOPEN) installs it first and then loads the library with
// dlopen. Each step prints one line; a fault that the program's handler
// sees prints "host ..." from the handler, which jumps back to the step.
// Scenarios:
//   siginfo       SA_SIGINFO handler: a guarded fault, an outside fault
//   signal        signal() handler for SIGSEGV and SIGFPE
//   resethand     SA_RESETHAND: the second outside fault ends the process
//   mask          sa_mask {SIGUSR1}: what the handler runs with
//   nodefer       the same with SA_NODEFER
//   ignore        SIG_IGN: a sent SIGSEGV is ignored, a fault ends it
//   default       SIG_DFL: an outside fault ends the process
//   query         (linked only) what sigaction and signal report back
//===----------------------------------------------------------------------===//
#include <dlfcn.h>
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef TM_HOST_DLOPEN
extern "C" void LOGEVENT(void* pArgs);
#endif

namespace {

sigjmp_buf g_back;

void Say(const char* text) {
    printf("%s\n", text);
    fflush(stdout);
}

// Handler output goes straight to the descriptor: stdio is not safe here.
void SayFromHandler(const char* text) {
    if (write(1, text, strlen(text)) < 0) _exit(3);
}

void OnFaultInfo(int sig, siginfo_t* info, void*) {
    char line[64];
    snprintf(line, sizeof line, "host sig=%d %s\n", sig, info->si_code > 0 ? "fault" : "sent");
    SayFromHandler(line);
    siglongjmp(g_back, 1);
}

void OnFaultPlain(int sig) {
    char line[64];
    snprintf(line, sizeof line, "host sig=%d\n", sig);
    SayFromHandler(line);
    siglongjmp(g_back, 1);
}

// Reports the mask the handler runs with.
void OnFaultMask(int, siginfo_t*, void*) {
    sigset_t now;
    pthread_sigmask(SIG_SETMASK, nullptr, &now);
    char line[64];
    snprintf(line, sizeof line, "host usr1=%d self=%d\n", sigismember(&now, SIGUSR1), sigismember(&now, SIGSEGV));
    SayFromHandler(line);
    siglongjmp(g_back, 1);
}

void (*g_logEvent)(void*) = nullptr;

// Faults inside the library's guard: cell 0 of the block points nowhere.
void GuardedFault() {
    void* block[1] = {reinterpret_cast<void*>(0x10)};
    g_logEvent(block);
}

__attribute__((no_sanitize("undefined"), noinline)) void OutsideFault() {
    *static_cast<volatile int*>(nullptr) = 1;
}

volatile int g_zero = 0;
__attribute__((no_sanitize("undefined"), noinline)) void OutsideDivision() {
    volatile int x = 7 / g_zero;
    (void)x;
}

void SentSegv() { kill(getpid(), SIGSEGV); }

// Runs a step; "NAME=returned" when it came back by itself, "NAME=host"
// when the program's handler jumped out of it.
void Step(const char* name, void (*body)()) {
    if (sigsetjmp(g_back, 1) == 0) {
        body();
        printf("%s=returned\n", name);
    } else {
        printf("%s=host\n", name);
    }
    fflush(stdout);
}

void Install(int sig, void (*handler)(int, siginfo_t*, void*), int flags, bool maskUsr1 = false) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO | flags;
    sigemptyset(&action.sa_mask);
    if (maskUsr1) sigaddset(&action.sa_mask, SIGUSR1);
    if (sigaction(sig, &action, nullptr) != 0) Say("sigaction failed");
}

bool LoadLibrary() {
#ifdef TM_HOST_DLOPEN
    void* library = dlopen(TM_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "fault_host: %s\n", dlerror());
        return false;
    }
    g_logEvent = reinterpret_cast<void (*)(void*)>(dlsym(library, "LOGEVENT"));
#else
    g_logEvent = LOGEVENT;
#endif
    return g_logEvent != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string scenario = argv[1];
    // What the program installs before it goes on (in fault_host_dlopen:
    // before the library is loaded).
    if (scenario == "siginfo") {
        Install(SIGSEGV, OnFaultInfo, 0);
    } else if (scenario == "signal") {
        signal(SIGSEGV, OnFaultPlain);
        signal(SIGFPE, OnFaultPlain);
    } else if (scenario == "resethand") {
        Install(SIGSEGV, OnFaultInfo, SA_RESETHAND);
    } else if (scenario == "mask") {
        Install(SIGSEGV, OnFaultMask, 0, true);
    } else if (scenario == "nodefer") {
        Install(SIGSEGV, OnFaultMask, SA_NODEFER, true);
    } else if (scenario == "ignore") {
        signal(SIGSEGV, SIG_IGN);
    } else if (scenario == "default") {
        Install(SIGSEGV, OnFaultInfo, 0);
        signal(SIGSEGV, SIG_DFL);
    } else if (scenario != "query") {
        return 2;
    }
    if (!LoadLibrary()) return 2;

    if (scenario == "query") {
        // The program sees its own handlers come back, never the guard's.
        Install(SIGSEGV, OnFaultInfo, 0);
        struct sigaction seen;
        sigaction(SIGSEGV, nullptr, &seen);
        Say(seen.sa_sigaction == OnFaultInfo && (seen.sa_flags & SA_SIGINFO) ? "query=info" : "query=other");
        Say(reinterpret_cast<uintptr_t>(signal(SIGSEGV, OnFaultPlain)) == reinterpret_cast<uintptr_t>(OnFaultInfo)
                ? "signal=info"
                : "signal=other");
        Say(signal(SIGSEGV, SIG_DFL) == OnFaultPlain ? "signal=plain" : "signal=other");
        Say(sigaction(SIGSEGV, nullptr, reinterpret_cast<struct sigaction*>(0x10)) == -1 && errno == EFAULT
                ? "bad pointer=EFAULT"
                : "bad pointer=other");
        Step("guarded", GuardedFault);
        return 0;
    }
    Step("guarded", GuardedFault);
    if (scenario == "ignore") Step("sent", SentSegv);
    Step("outside", OutsideFault);
    if (scenario == "signal") Step("division", OutsideDivision);
    if (scenario == "resethand") {
        Step("guarded", GuardedFault);
        Step("outside", OutsideFault);
    }
    return 0;
}
