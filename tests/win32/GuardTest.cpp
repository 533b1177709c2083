//===-- tests/win32/GuardTest.cpp - Faults and exceptions in guarded bodies -===//
#include <gtest/gtest.h>

#include <csignal>
#include <cfenv>
#include <stdexcept>

#include "Guard.h"

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

TEST(GuardTest, FaultsAndExceptionsReachTheHandler) {
    const char* kKinds[] = {"segv", "fpe", "exception"};
    for (int kind = 0; kind < 3; ++kind) {
        int handled = 0;
        int result = w32::CatchAll([&] { return Fault(kind); }, [&] { ++handled; return -1; });
        EXPECT_EQ(result, -1) << kKinds[kind];
        EXPECT_EQ(handled, 1) << kKinds[kind];
    }
    // A second fault after the first one is caught as well: the signal was
    // unblocked on the way back.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(w32::CatchAll([] { return Fault(0); }, [] { return 5; }), 5);
    }
}

TEST(GuardTest, InnermostGuardTakesTheFault) {
    int outer = 0, inner = 0;
    int result = w32::CatchAll(
        [&] {
            int r = w32::CatchAll([&] { return Fault(0); }, [&] { ++inner; return 10; });
            return r + 1;  // the outer body goes on after the inner fault
        },
        [&] { ++outer; return -1; });
    EXPECT_EQ(result, 11);
    EXPECT_EQ(inner, 1);
    EXPECT_EQ(outer, 0);
    EXPECT_EQ(w32::CatchAll([] { return 3; }, [] { return -1; }), 3);
}

TEST(GuardTest, FloatingPointControlSurvivesAFault) {
    int before = fegetround();
    fesetround(FE_TOWARDZERO);
    w32::CatchAll([] { return Fault(0); }, [] { return 0; });
    EXPECT_EQ(fegetround(), FE_TOWARDZERO);
    fesetround(before);
}

TEST(GuardDeathTest, FaultOutsideAGuardEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(Fault(0), "");
}

}  // namespace
