//===-- tests/logging/EventLogTest.cpp - The shared daily event log -------===//
//
// The main and web logs, and the error reports that go to the main log.
//===----------------------------------------------------------------------===//
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <set>

#include "logging/LogFixture.h"

namespace tmtest {
namespace {

using EventLogTest = LogTest;

// All files of a log directory, one after the other; each name must begin
// with prefix.
std::string AllLogs(const std::string& dir, const std::string& prefix = "") {
    std::string all;
    for (auto& e : std::filesystem::directory_iterator(dir)) {
        EXPECT_TRUE(e.path().filename().string().starts_with(prefix)) << e.path();
        all += ReadFile(e.path());
    }
    return all;
}

TEST_F(EventLogTest, LinesOfBothLogsByteForByte) {
    SetMask(0xFFFF);
    const WORD kTypes[] = {0x0001, 0x0002, 0x0004, 0x0008, 0x0010, 0x0020, 0x0040,
                           0x0200, 0x0400, 0x0800, 0x1000, 0x2000, 0x0003, 0x4000};
    const char kCharacters[] = "EWIS<>**D!!~!!";
    std::string expected = Line('I', "hello world 5%") + "\r\n";
    {
        CEventLog log(0), web(1);
        EXPECT_EQ(log.LogEvent(0x0004, "hello %s %d%%", "world", 5), 1);
        for (size_t i = 0; i < std::size(kTypes); ++i) {
            char text[16];
            snprintf(text, sizeof text, "type %x", kTypes[i]);
            log.LogEvent(kTypes[i], "%s", text);
            expected += Line(kCharacters[i], text) + "\r\n";
        }
        log.LogEvent(0x0004, "%s", std::string(3000, 'x').c_str());  // cut at 1023
        web.LogEvent(0x8000, "web line");
    }
    EXPECT_EQ(MainLog(), expected + Line('I', std::string(1023, 'x')) + "\r\n");
    EXPECT_EQ(ReadFile(dir_ + "/RQ041110.log"), "09:08:07 web line\r\n");
}

// No text can start a line of its own: a break that a space or a tab does
// not follow gets a tab; folded continuations and a final break stay.
TEST_F(EventLogTest, LineBreaksInATextCannotStartAnEntry) {
    struct Case { const char* text; const char* written; };
    const Case kCases[] = {
        {"a\r\nprobe    ! 09:08:07 0x00000001 forged", "a\r\n\tprobe    ! 09:08:07 0x00000001 forged"},
        {"lf\nx", "lf\n\tx"},
        {"cr\rx", "cr\r\tx"},
        {"\r\n\r\nx", "\r\n\t\r\n\tx"},
        {"cr\r\rx", "cr\r\t\r\tx"},
        {"Subject: folded\r\n continued\r\n\tand tabbed", "Subject: folded\r\n continued\r\n\tand tabbed"},
        {"ends with a break\r\n", "ends with a break\r\n"},
    };
    std::string main, web;
    for (const Case& c : kCases) {
        void* block[1] = {const_cast<char*>(c.text)};
        LOGEVENT(block);
        CEventLog(1).LogEvent(0x0004, "%s", c.text);
        main += Line('~', c.written) + "\r\n";
        web += std::string("09:08:07 ") + c.written + "\r\n";
    }
    SysError("Utilities.cpp\nforged", 1, 2);
    main += Line('!', "System error 0x2 at line 1 of Utilities.cpp\n\tforged") + "\r\n";
    EXPECT_EQ(MainLog(), main);
    EXPECT_EQ(ReadFile(dir_ + "/RQ041110.log"), web);
}

TEST_F(EventLogTest, MaskIsReadByTheFirstObjectCopiesIncluded) {
    SetMask(0);
    {
        CEventLog log(0);
        log.Lock(0);
        log.LogEvent(0x0004, "information");  // not in the mask
        // A copy is one more live object; it holds no lock of its own, so
        // the original writes on through its lock after the copy is gone.
        CEventLog(log).LogEvent(0x1000, "report from a copy");  // always
        log.LogEvent(0x2000, "external");                         // always
        CEventLog(1).LogEvent(0x0004, "web ignores the mask");
        SetMask(0x4);
        CEventLog(0).LogEvent(0x0004, "still off");  // another object is alive: the mask is not read
        CEventLog::SetLogging(0);
        log.LogEvent(0x1000, "after SetLogging(0)");
    }
    CEventLog(0).LogEvent(0x0004, "read again");
    EXPECT_EQ(MainLines(), (std::vector<std::string>{Line('!', "report from a copy"), Line('~', "external"),
                                                     Line('I', "read again")}));
    EXPECT_EQ(ReadFile(dir_ + "/RQ041110.log"), "09:08:07 web ignores the mask\r\n");
}

TEST_F(EventLogTest, NewFileWhenTheDateChanges) {
    struct Step { time_t when; const char* file; };
    const Step kSteps[] = {
        {LocalTime(2004, 11, 10, 23, 59, 59), "TM041110.log"}, {LocalTime(2004, 11, 11, 0, 0, 1), "TM041111.log"},
        {LocalTime(2004, 12, 11, 10, 0, 0), "TM041211.log"}, {LocalTime(2005, 12, 11, 10, 0, 0), "TM051211.log"},
    };
    CEventLog log(0);
    for (const Step& s : kSteps) {
        g_fakeNow = s.when;
        log.LogEvent(0x0004, "in %s", s.file);
        EXPECT_EQ(MainLines(s.file).size(), 1u) << s.file;
        EXPECT_NE(MainLog(s.file).find(std::string("in ") + s.file), std::string::npos) << s.file;
    }
}

TEST_F(EventLogTest, LogDirectoryRules) {
    std::string sub = dir_ + "/sub";
    SetEventLogPath(sub.data());  // no trailing separator: one is added
    CEventLog(0).LogEvent(0x0004, "lost while the directory is missing");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    CEventLog(0).LogEvent(0x0004, "kept");
    std::string withSeparator = sub + "/", tooLong = "/" + std::string(300, 'd');
    SetEventLogPath(withSeparator.data());  // taken unchanged
    SetEventLogPath(tooLong.data());        // does not fit 259 characters: refused, not cut
    char path[512];
    TmGetEventLogPath(path, sizeof path);
    EXPECT_EQ(std::string(path), withSeparator);
    CEventLog(0).LogEvent(0x0004, "kept again");
    EXPECT_EQ(SplitLines(ReadFile(sub + "/TM041110.log")),
              (std::vector<std::string>{Line('I', "kept"), Line('I', "kept again")}));
}

// The helper under another name: the process name fills eight columns,
// "burdocks" is the spam filter.
std::string CopyHelper(const std::string& name) {
    std::string to = MakeDir("bin-" + name) + "/" + name;
    std::filesystem::copy_file(HelperPath("tm_probe"), to);
    return to;
}

TEST_F(EventLogTest, BurdockMapsItsLevelToAMask) {
    std::string burdocks = CopyHelper("burdocks");
    struct Case { int level; std::set<std::string> written; };
    const Case kCases[] = {
        {0, {"0x1", "0x2", "0x4", "0x40", "0x80", "0x1000", "0x2000"}},
        {1, {"0x1", "0x2", "0x4", "0x1000", "0x2000"}},
        {2, {"0x1", "0x2", "0x1000", "0x2000"}},
        {-1, {"0x1", "0x2", "0x1000", "0x2000"}},  // no value: the initial 0x3F is a level too
    };
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, "Software\\Tamarak Ltd\\Burdock", 0x2001F, 0), 0);
    for (const Case& c : kCases) {
        c.level >= 0 ? reg.SetValue("Logging", static_cast<DWORD>(c.level)) : reg.DeleteValue("Logging");
        std::string out = MakeDir("burdock" + std::to_string(c.level + 1));
        ProcessResult r = RunProgram(burdocks, {"log-types", out, "0x1", "0x2", "0x4", "0x8", "0x40", "0x80",
                                                "0x400", "0x1000", "0x2000"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        std::set<std::string> written;
        for (const std::string& line : SplitLines(AllLogs(out, "BD"))) written.insert(line.substr(line.rfind(' ') + 1));
        EXPECT_EQ(written, c.written) << "level " << c.level;
    }
}

// Each line is one write at the end of the file: no seek, whoever wrote
// last.
int g_writes = 0, g_seeks = 0;
TEST_F(EventLogTest, EachLineIsOneWrite) {
    CEventLog log(0);
    log.LogEvent(0x2000, "opens the file");
    w32::Sys().write = [](int fd, const void* buf, size_t n) { return ++g_writes, ::write(fd, buf, n); };
    w32::Sys().lseek = [](int fd, off_t offset, int whence) { return ++g_seeks, ::lseek(fd, offset, whence); };
    for (int i = 0; i < 10; ++i) log.LogEvent(0x2000, "line %d", i);
    EXPECT_EQ(g_writes, 10);
    EXPECT_EQ(g_seeks, 0);
    EXPECT_EQ(MainLines().size(), 11u);
}

// The process name and the executable's path are those the process was
// started with, also after an upgrade replaced the file on disk.
TEST_F(EventLogTest, AnExecutableReplacedOnDiskKeepsItsName) {
    std::string program = CopyHelper("upgraded");
    std::string out = SandboxDir() + "/upgraded.out", go = SandboxDir() + "/upgraded.go";
    pid_t pid = StartProgram(program, {"log-when", dir_, go}, {}, out);
    ASSERT_TRUE(WaitForText(out, "ready\n"));
    std::filesystem::copy_file(HelperPath("tm_probe"), program + ".new");
    std::filesystem::rename(program + ".new", program);
    WriteFile(go, "");
    ASSERT_EQ(WaitProgram(pid), 0);
    EXPECT_EQ(ReadFile(out), "ready\n" + program + "\n");
    EXPECT_TRUE(AllLogs(dir_).starts_with("upgraded ~ ")) << AllLogs(dir_);
    EXPECT_EQ(SplitLines(AllLogs(dir_)).size(), 1u);
}

// A writer that dies in the middle of a line leaves it without its line
// end; the next writer ends it before it appends, whether it writes at
// once or first holds the log through Lock.
TEST_F(EventLogTest, ALineTornByADeadWriterIsEnded) {
    const std::string kTorn = "torn in two when its writer ended";
    std::string expected;
    CEventLog log(0);  // alive across the fork: the child reads no registry
    for (bool viaLock : {false, true}) {
        log.LogEvent(0x2000, "before");
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Half the line reaches the file, then the process is gone,
            // holding the log's mutex.
            w32::Sys().write = [](int fd, const void* buf, size_t n) -> ssize_t {
                if (::write(fd, buf, n / 2) < 0) _exit(2);
                _exit(0);
            };
            log.LogEvent(0x2000, "%s", kTorn.c_str());
            _exit(1);
        }
        ASSERT_EQ(WaitProgram(pid), 0);
        if (viaLock) log.Lock(0);
        log.LogEvent(0x2000, "after");
        if (viaLock) log.Unlock(0);
        char child[16];
        snprintf(child, sizeof child, "%08x", static_cast<unsigned>(pid));
        std::string torn = Line('~', kTorn) + "\r\n";
        torn.replace(torn.find(" 0x") + 3, 8, child);
        expected += Line('~', "before") + "\r\n" + torn.substr(0, torn.size() / 2) + "\r\n" +
                    Line('~', "after") + "\r\n";
    }
    EXPECT_EQ(MainLog(), expected);
}

TEST_F(EventLogTest, AKilledHolderOfTheLogMutexBlocksNobody) {
    std::string out = SandboxDir() + "/holder.out";
    pid_t holder = StartProgram(HelperPath("tm_probe"), {"hold-log-lock", dir_}, {}, out);
    ASSERT_TRUE(WaitForText(out, "locked")) << ReadFile(out);
    kill(holder, SIGKILL);
    WaitProgram(holder);
    auto done = std::async(std::launch::async, [] { CEventLog(0).LogEvent(0x2000, "after the holder died"); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_NE(AllLogs(dir_).find("after the holder died"), std::string::npos);
}

// Error reports: one line each, whatever the mask.
using ErrorReportTest = LogTest;

TEST_F(ErrorReportTest, FixedWordingOfEachReportWhateverTheMask) {
    SetMask(0);
    SysError("C:\\tamarak\\src\\Utilities.cpp", 120, 255);
    FileError("D:\\queue\\x.msg", "Queue.cpp", 7, 0x20);
    SocketError("/src/net/Sock.cpp", 31, -10054);
    NewError("Registry", 88);
    UnknownError("a\\b\\c.cpp", 0);
    const char* text = "50% done, %s stays";
    void* block[4] = {const_cast<char*>(text), nullptr, nullptr, nullptr};
    LOGEVENT(block);
    DebugMsg("x.cpp", 3, "debug %d", 4);  // 0x0400 is not in the mask
    EXPECT_EQ(MainLines(), (std::vector<std::string>{
                               Line('!', "System error 0xff at line 120 of Utilities.cpp"),
                               Line('!', "File error 0x20 at line 7 of Queue.cpp processing D:\\queue\\x.msg"),
                               Line('!', "Socket error -10054 at line 31 of Sock.cpp"),
                               Line('!', "Memory allocation error at line 88 of Registry"),
                               Line('!', "Unknown exception caught at line 0 of c.cpp"),
                               Line('~', "50% done, %s stays"),
                           }));
}

TEST_F(ErrorReportTest, DebugMsgNeedsItsBitAndIsCut) {
    SetMask(0x0400);
    DebugMsg("C:\\src\\Foo.cpp", 12, "value %d, 100%% and %s", 5, "%d");
    DebugMsg("Foo.cpp", 13, "%s", std::string(600, 'y').c_str());
    EXPECT_EQ(MainLines(), (std::vector<std::string>{Line('D', "Foo.cpp:12 - value 5, 100% and %d"),
                                                     Line('D', "Foo.cpp:13 - " + std::string(511, 'y'))}));
}

}  // namespace
}  // namespace tmtest
