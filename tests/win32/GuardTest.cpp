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

TEST(GuardDeathTest, FaultOutsideAGuardEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(Fault(0), "");
}

}  // namespace
