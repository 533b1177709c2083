//===-- tests/win32/GuardTest.cpp - Faults and exceptions in guarded bodies -===//
#include <gtest/gtest.h>

#include <csignal>
#include <cfenv>
#include <stdexcept>
#include <string>

#include "Guard.h"
#include "support/TestSupport.h"

namespace {

// Real machine faults: the undefined-behaviour checker must not catch them
// first.
__attribute__((no_sanitize("undefined"))) int Fault(int kind) {
    volatile int zero = 0;
    switch (kind) {
        case 0: return *static_cast<volatile int*>(nullptr);
        case 1: return 7 / zero;
        default: throw std::runtime_error("thrown");
    }
}

// Each kind is caught twice: the signal was unblocked on the way back.
TEST(GuardTest, FaultsAndExceptionsReachTheHandler) {
    for (int kind : {0, 1, 2, 0, 1, 2}) {
        int handled = 0;
        EXPECT_EQ(w32::CatchAll([&] { return Fault(kind); }, [&] { return --handled; }), -1) << kind;
        EXPECT_EQ(handled, -1) << kind;
    }
    EXPECT_EQ(w32::CatchAll([] { return 3; }, [] { return -1; }), 3);
}

// The innermost guard takes the fault, and the floating-point control
// survives it.
TEST(GuardTest, InnermostGuardTakesTheFault) {
    int outer = 0, inner = 0, before = fegetround();
    fesetround(FE_TOWARDZERO);
    int result = w32::CatchAll(
        [&] { return w32::CatchAll([&] { return Fault(0); }, [&] { return inner = 10; }) + 1; },
        [&] { return outer = -1; });
    EXPECT_EQ(fegetround(), FE_TOWARDZERO);
    fesetround(before);
    EXPECT_EQ(result, 11);
    EXPECT_EQ(inner, 10);
    EXPECT_EQ(outer, 0);
}

// A program with a fault handler of its own, installed after the library
// loaded (fault_host, linked with it) or before the library was loaded
// with dlopen (fault_host_dlopen): guarded faults stay trapped, the others
// reach the program's handler as the kernel would deliver them.
TEST(GuardTest, AProgramsOwnFaultHandlerLeavesTheGuardInPlace) {
    struct Case { const char* scenario; const char* out; int exitCode; bool linkedOnly; };
    const Case kCases[] = {
        {"siginfo", "guarded=returned\nhost sig=11 fault\noutside=host\n", 0, false},
        {"signal", "guarded=returned\nhost sig=11\noutside=host\nhost sig=8\ndivision=host\n", 0, false},
        {"resethand", "guarded=returned\nhost sig=11 fault\noutside=host\nguarded=returned\n", 128 + SIGSEGV, false},
        {"mask", "guarded=returned\nhost usr1=1 self=1\noutside=host\n", 0, false},
        {"nodefer", "guarded=returned\nhost usr1=1 self=0\noutside=host\n", 0, false},
        {"ignore", "guarded=returned\nsent=returned\n", 128 + SIGSEGV, false},
        {"default", "guarded=returned\n", 128 + SIGSEGV, false},
        {"query", "query=info\nsignal=info\nsignal=plain\nbad pointer=EFAULT\nguarded=returned\n", 0, true},
    };
    for (const char* program : {"fault_host", "fault_host_dlopen"}) {
        for (const Case& c : kCases) {
            if (c.linkedOnly && std::string(program) != "fault_host") continue;
            tmtest::ProcessResult r = tmtest::RunProgram(tmtest::HelperPath(program), {c.scenario});
            EXPECT_EQ(r.out, c.out) << program << " " << c.scenario << "\n" << r.err;
            EXPECT_EQ(r.exitCode, c.exitCode) << program << " " << c.scenario << "\n" << r.err;
        }
    }
}

TEST(GuardDeathTest, FaultOutsideAGuardEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(Fault(0), "");
}

}  // namespace
