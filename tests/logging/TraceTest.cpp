//===-- tests/logging/TraceTest.cpp - Exception trap and trace files ------===//
#include <filesystem>

#include "logging/LogFixture.h"
#include "logging/Trap.h"

namespace tmtest {
namespace {

using TraceTest = LogTest;

__attribute__((no_sanitize("undefined"))) int ReadNull() { return *static_cast<volatile int*>(nullptr); }

long OpenDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

TEST_F(TraceTest, TrapWritesTheEventLogAndTheTraceWhileDebugXIsOn) {
    SetParameter("DebugX", 0);
    DebugInit();
    DebugX("C:\\src\\Foo.cpp", 41);
    DebugXMsg("Foo.cpp", 43, "message");
    EXPECT_FALSE(FileExists(root_ + "/debugx.log"));
    EXPECT_EQ(MainLog(), "");
    SetParameter("DebugX", 1);
    DebugInit();  // again without DebugExit: the changed switch takes effect
    DebugX("C:\\src\\Foo.cpp", 42);
    DebugXMsg("/src/Bar.cpp", 7, "it broke");
    DebugXMsg("Baz", 8, nullptr);
    EXPECT_EQ(ReadFile(root_ + "/debugx.log"),
              "Foo.cpp thread " + Thread() + "\r\n10/11/04 09:08:07 Foo.cpp(42) Exception trapped\r\n" +
              "Bar.cpp thread " + Thread() + "\r\n10/11/04 09:08:07 Bar.cpp(7) Exception trapped - it broke\r\n" +
              "Baz thread " + Thread() + "\r\n10/11/04 09:08:07 Baz(8) Exception trapped\r\n");
    EXPECT_EQ(MainLines(), (std::vector<std::string>{Line('!', "Foo.cpp(42) Exception trapped"),
                                                     Line('!', "Bar.cpp(7) Exception trapped"),
                                                     Line('!', "Baz(8) Exception trapped")}));
}

TEST_F(TraceTest, DebugItStartsEmptyAndDebugXAppends) {
    SetParameter("DebugIt", 1);
    SetParameter("DebugX", 1);
    WriteFile(root_ + "/debugx.log", "earlier run\r\n");
    WriteFile(root_ + "/debugit.log", "earlier run\r\n");
    DebugInit();
    DebugExit();
    CEventLog(0).LogEvent(0x2000, "the log keeps its file open");
    long before = OpenDescriptors();
    for (int i = 0; i < 3; ++i) DebugInit();  // again without DebugExit: no leak, no double open
    EXPECT_EQ(OpenDescriptors(), before + 2);
    DebugPrint("C:\\src\\Sock.cpp", 12, "hello");
    EXPECT_EQ(ReadFile(root_ + "/debugit.log"), "Sock.cpp thread " + Thread() + "\r\n09:08:07 Sock.cpp(12) hello\r\n\r\n");
    DebugX("x", 1);
    EXPECT_EQ(ReadFile(root_ + "/debugx.log").substr(0, 13), "earlier run\r\n");
    DebugExit();
    EXPECT_EQ(OpenDescriptors(), before);
    DebugPrint("Sock.cpp", 13, "after exit");
    DebugX("x", 2);
    EXPECT_EQ(ReadFile(root_ + "/debugit.log").find("after exit"), std::string::npos);
    EXPECT_EQ(SplitLines(ReadFile(root_ + "/debugx.log")).size(), 3u);
}

TEST_F(TraceTest, MachineFaultInAGuardedFunctionIsTrapped) {
    SetParameter("DebugX", 1);
    DebugInit();
    void* badBlock[1] = {reinterpret_cast<void*>(0x10)};  // cell 0 points nowhere
    LOGEVENT(badBlock);
    std::vector<std::string> trace = SplitLines(ReadFile(root_ + "/debugx.log"));
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_NE(trace[1].find(" EventLog("), std::string::npos);
    // The process goes on, and the guard is ready for the next one.
    EXPECT_EQ(tmc::Guarded("Test", 1, -1, [] { return 4; }), 4);
    EXPECT_EQ(tmc::Guarded("Test", 2, -1, [] { return ReadNull(); }), -1);
}

}  // namespace
}  // namespace tmtest
