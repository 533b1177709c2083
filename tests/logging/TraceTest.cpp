//===-- tests/logging/TraceTest.cpp - Exception trap and trace files ------===//
#include <filesystem>
#include <map>
#include <regex>

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

// Two processes trace at the same time: each record lands whole at the
// end of the file, none over another's.
TEST_F(TraceTest, ProcessesAppendWholeRecordsToTheSocketTrace) {
    constexpr int kRecords = 300;
    SetParameter("DebugIt", 1);
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    ASSERT_EQ(reg.SetValue("RootPath", root_.c_str()), 0);
    const std::string go = root_ + "/go";
    std::vector<pid_t> pids;
    for (const char* tag : {"A", "B"}) {
        const std::string out = root_ + "/" + tag + ".out";
        pids.push_back(StartProgram(HelperPath("tm_probe"), {"trace-lines", tag, std::to_string(kRecords), go}, {}, out));
        ASSERT_TRUE(WaitForText(out, "ready\n"));
    }
    WriteFile(go, "");
    for (pid_t pid : pids) ASSERT_EQ(WaitProgram(pid), 0);
    reg.DeleteValue("RootPath");
    const std::string trace = ReadFile(root_ + "/debugit.log");
    const std::regex kRecord("probe\\.cpp thread [0-9a-f]{8}\r\n[0-9]{2}:[0-9]{2}:[0-9]{2} "
                             "probe\\.cpp\\(([0-9]+)\\) ([AB]) \\1\r\n\r\n");
    std::map<std::string, int> next = {{"A", 0}, {"B", 0}};
    std::smatch m;
    for (auto at = trace.cbegin(); at != trace.cend(); at = m[0].second) {
        ASSERT_TRUE(std::regex_search(at, trace.cend(), m, kRecord, std::regex_constants::match_continuous))
            << "not a whole record at offset " << (at - trace.cbegin());
        EXPECT_EQ(std::stoi(m[1]), next[m[2]]++) << "records of one process in order";
    }
    EXPECT_EQ(next, (std::map<std::string, int>{{"A", kRecords}, {"B", kRecords}}));
}

TEST_F(TraceTest, MachineFaultInAGuardedFunctionIsTrapped) {
    SetParameter("DebugX", 1);
    DebugInit();
    void* badBlock[1] = {reinterpret_cast<void*>(0x10)};  // cell 0 points nowhere
    LOGEVENT(badBlock);
    // A source file name that cannot be read is trapped like any fault.
    const char* unreadable = reinterpret_cast<const char*>(0x10);
    SysError(unreadable, 1, 2);
    FileError("x.msg", unreadable, 1, 2);
    SocketError(unreadable, 1, 2);
    NewError(unreadable, 1);
    UnknownError(unreadable, 1);
    std::vector<std::string> trace = SplitLines(ReadFile(root_ + "/debugx.log"));
    ASSERT_EQ(trace.size(), 12u);
    for (size_t i = 1; i < trace.size(); i += 2) EXPECT_NE(trace[i].find(" EventLog("), std::string::npos) << trace[i];
    // A fault while a log line is formatted is also reported in the debug trace.
    SetParameter("DebugIt", 1);
    DebugInit();
    CEventLog(0).LogEvent(0x1000, "%s", unreadable);
    std::string debugIt = ReadFile(root_ + "/debugit.log");
    EXPECT_NE(debugIt.find(") Unknown exception\r\n"), std::string::npos) << debugIt;
    // The process goes on, and the guard is ready for the next one.
    EXPECT_EQ(tmc::Guarded("Test", 1, -1, [] { return 4; }), 4);
    EXPECT_EQ(tmc::Guarded("Test", 2, -1, [] { return ReadNull(); }), -1);
}

}  // namespace
}  // namespace tmtest
