//===-- tests/logging/LogFixture.h - A log directory and a clock for tests -===//
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "SysCalls.h"
#include "platform/ProcessEnv.h"
#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {

// The local time that the layer's clock reports while a LogTest runs.
inline time_t g_fakeNow = 0;

inline int FakeClock(clockid_t clock, struct timespec* ts) {
    if (clock != CLOCK_REALTIME) return clock_gettime(clock, ts);
    *ts = {g_fakeNow, 0};
    return 0;
}

inline time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    // Seconds to year, day of the week and of the year, daylight saving unknown.
    struct tm t = {second, minute, hour, day, month - 1, year - 1900, 0, 0, -1, 0, nullptr};
    return mktime(&t);
}

// Each test gets a log directory and a root path of its own, the clock at
// 10 November 2004 09:08:07 local time, and the mask read afresh.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        dir_ = MakeDir("logs" + std::to_string(++counter));
        SetEventLogPath(dir_.data());
        root_ = MakeDir("root" + std::to_string(counter));
        snprintf(g_szRootPath, sizeof g_szRootPath, "%s", root_.c_str());
        g_fakeNow = LocalTime(2004, 11, 10, 9, 8, 7);
        w32::Sys().clockGettime = FakeClock;
        SetMask(0x3F);
    }
    void TearDown() override {
        DebugExit();
        w32::ResetSysCalls();
    }

    static void SetParameter(const char* name, DWORD value) {
        CRegistry reg;
        ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
        ASSERT_EQ(reg.SetValue(name, value), 0);
    }
    // Stores "Logging" and has the next construction read it.
    static void SetMask(DWORD mask) { SetParameter("Logging", mask); }

    std::string MainLog(const char* name = "TM041110.log") const { return ReadFile(dir_ + "/" + name); }
    std::vector<std::string> MainLines(const char* name = "TM041110.log") const { return SplitLines(MainLog(name)); }
    // The main-log line this process writes for a text at 09:08:07.
    static std::string Line(char type, const std::string& text) {
        char head[96];
        snprintf(head, sizeof head, "%-8s %c 09:08:07 0x", program_invocation_short_name, type);
        return head + Thread() + " " + text;
    }
    // This thread's id as the logs and traces write it.
    static std::string Thread() {
        char thread[16];
        return std::string(thread, snprintf(thread, sizeof thread, "%08x", GetCurrentThreadId()));
    }

    std::string dir_;
    std::string root_;
};

}  // namespace tmtest
