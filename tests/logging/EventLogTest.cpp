//===-- tests/logging/EventLogTest.cpp - The shared daily event log -------===//
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <set>

#include "logging/LogFixture.h"

namespace tmtest {
namespace {

using EventLogTest = LogTest;

TEST_F(EventLogTest, LinesOfBothLogsByteForByte) {
    {
        CEventLog log(0);
        EXPECT_EQ(log.LogEvent(0x0004, "hello %s %d%%", "world", 5), 1);
        CEventLog web(1);
        web.LogEvent(0x8000, "web line");
    }
    EXPECT_EQ(MainLog(), Line('I', "hello world 5%") + "\r\n");
    EXPECT_EQ(ReadFile(dir_ + "/RQ041110.log"), "09:08:07 web line\r\n");
}

TEST_F(EventLogTest, TypeCharactersAndTheMask) {
    SetMask(0xFFFF);
    struct Case { WORD type; char character; };
    const Case kCases[] = {
        {0x0001, 'E'}, {0x0002, 'W'}, {0x0004, 'I'}, {0x0008, 'S'}, {0x0010, '<'}, {0x0020, '>'},
        {0x0040, '*'}, {0x0200, '*'}, {0x0400, 'D'}, {0x0800, '!'}, {0x1000, '!'}, {0x2000, '~'},
        {0x0003, '!'}, {0x4000, '!'},
    };
    {
        CEventLog log(0);
        for (const Case& c : kCases) log.LogEvent(c.type, "type %x", c.type);
    }
    std::vector<std::string> lines = MainLines();
    ASSERT_EQ(lines.size(), std::size(kCases));
    for (size_t i = 0; i < lines.size(); ++i) {
        char text[16];
        snprintf(text, sizeof text, "type %x", kCases[i].type);
        EXPECT_EQ(lines[i], Line(kCases[i].character, text));
    }
}

TEST_F(EventLogTest, MaskIsReadByTheFirstObjectAndKeepsReportsOn) {
    SetMask(0);
    {
        CEventLog log(0);
        log.LogEvent(0x0004, "information");  // not in the mask
        log.LogEvent(0x1000, "report");       // always
        log.LogEvent(0x2000, "external");     // always
        CEventLog web(1);
        web.LogEvent(0x0004, "web ignores the mask");
        CEventLog::SetLogging(0);
        log.LogEvent(0x1000, "after SetLogging(0)");
        SetMask(0x4);
        CEventLog second(0);  // another object is alive: the mask is not read
        second.LogEvent(0x0004, "still off");
    }
    {
        CEventLog log(0);  // the first object again: the mask is read
        log.LogEvent(0x0004, "read again");
    }
    std::vector<std::string> expected = {Line('!', "report"), Line('~', "external"), Line('I', "read again")};
    EXPECT_EQ(MainLines(), expected);
    EXPECT_EQ(ReadFile(dir_ + "/RQ041110.log"), "09:08:07 web ignores the mask\r\n");
}

TEST_F(EventLogTest, CopiesCountAsLiveObjects) {
    SetMask(0x3F);
    {
        CEventLog original(0);
        original.Lock(0);
        {
            CEventLog copy(original);
            copy.LogEvent(0x0004, "from the copy");
        }
        // The copy held no lock of its own: the original still holds it and
        // writes on through it.
        original.LogEvent(0x0004, "from the original");
        CEventLog::SetLogging(0);
    }
    {
        CEventLog log(0);  // all gone: the mask is read again
        log.LogEvent(0x0004, "mask read");
    }
    std::vector<std::string> lines = MainLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], Line('I', "mask read"));
}

TEST_F(EventLogTest, NewFileWhenTheDateChanges) {
    struct Step { time_t when; const char* file; const char* text; };
    const Step kSteps[] = {
        {LocalTime(2004, 11, 10, 23, 59, 59), "TM041110.log", "before midnight"},
        {LocalTime(2004, 11, 11, 0, 0, 1), "TM041111.log", "after midnight"},
        {LocalTime(2004, 12, 11, 10, 0, 0), "TM041211.log", "a month later, same day"},
        {LocalTime(2005, 12, 11, 10, 0, 0), "TM051211.log", "a year later"},
    };
    CEventLog log(0);
    for (const Step& s : kSteps) {
        g_fakeNow = s.when;
        log.LogEvent(0x0004, "%s", s.text);
    }
    for (const Step& s : kSteps) {
        std::vector<std::string> lines = MainLines(s.file);
        ASSERT_EQ(lines.size(), 1u) << s.file;
        EXPECT_NE(lines[0].find(s.text), std::string::npos) << s.file;
    }
}

TEST_F(EventLogTest, MissingDirectoryLosesLinesUntilItExists) {
    std::string missing = dir_ + "/later";
    SetEventLogPath(missing.data());  // no trailing separator: one is added
    {
        CEventLog log(0);
        log.LogEvent(0x0004, "lost");
    }
    EXPECT_FALSE(FileExists(missing + "/TM041110.log"));
    ASSERT_EQ(mkdir(missing.c_str(), 0755), 0);
    {
        CEventLog log(0);
        log.LogEvent(0x0004, "kept");
    }
    std::vector<std::string> lines = SplitLines(ReadFile(missing + "/TM041110.log"));
    EXPECT_EQ(lines, std::vector<std::string>{Line('I', "kept")});
}

TEST_F(EventLogTest, LogDirectoryRules) {
    std::string withSeparator = dir_ + "/sub/";
    mkdir(withSeparator.c_str(), 0755);
    SetEventLogPath(withSeparator.data());
    char path[512];
    TmGetEventLogPath(path, sizeof path);
    EXPECT_EQ(std::string(path), withSeparator);  // taken unchanged
    // A directory that does not fit 259 characters is refused, not cut.
    std::string tooLong = "/" + std::string(300, 'd');
    SetEventLogPath(tooLong.data());
    TmGetEventLogPath(path, sizeof path);
    EXPECT_EQ(std::string(path), withSeparator);
    {
        CEventLog log(0);
        log.LogEvent(0x0004, "in sub");
    }
    EXPECT_EQ(SplitLines(ReadFile(withSeparator + "TM041110.log")).size(), 1u);
}

TEST_F(EventLogTest, LongTextsAreCut) {
    std::string text(3000, 'x');
    {
        CEventLog log(0);
        log.LogEvent(0x0004, "%s", text.c_str());
    }
    std::string expected = Line('I', std::string(1023, 'x')) + "\r\n";
    EXPECT_EQ(MainLog(), expected);
}

// The process name fills eight columns; the helper copied as "probe" has
// five characters, "burdocks" is the spam filter.
std::string CopyHelper(const std::string& name) {
    std::string bin = MakeDir("bin");
    std::string to = bin + "/" + name;
    WriteFile(to, ReadFile(HelperPath("tm_probe")));
    chmod(to.c_str(), 0755);
    return to;
}

TEST_F(EventLogTest, ShortProcessNamesArePaddedToEightColumns) {
    std::string probe = CopyHelper("probe");
    ProcessResult r = RunProgram(probe, {"log-types", dir_, "0x2000"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // The child runs on the real clock: compare what does not depend on it.
    std::vector<std::string> files;
    for (auto& e : std::filesystem::directory_iterator(dir_)) files.push_back(e.path().filename());
    ASSERT_EQ(files.size(), 1u);
    std::string line = SplitLines(ReadFile(dir_ + "/" + files[0]))[0];
    EXPECT_EQ(line.substr(0, 11), "probe    ~ ");
    EXPECT_EQ(line.substr(line.size() - 12), " type 0x2000");
}

TEST_F(EventLogTest, BurdockMapsItsLevelToAMask) {
    std::string burdocks = CopyHelper("burdocks");
    const std::vector<std::string> kTypes = {"0x1", "0x2", "0x4", "0x8", "0x40", "0x80", "0x400", "0x1000", "0x2000"};
    struct Case { int level; std::set<std::string> written; };
    const Case kCases[] = {
        {0, {"0x1", "0x2", "0x4", "0x40", "0x80", "0x1000", "0x2000"}},
        {1, {"0x1", "0x2", "0x4", "0x1000", "0x2000"}},
        {2, {"0x1", "0x2", "0x1000", "0x2000"}},
        {-1, {"0x1", "0x2", "0x1000", "0x2000"}},  // no value: the initial 0x3F is a level too
    };
    for (const Case& c : kCases) {
        CRegistry reg;
        ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, "Software\\Tamarak Ltd\\Burdock", 0x2001F, 0), 0);
        if (c.level >= 0) reg.SetValue("Logging", static_cast<DWORD>(c.level));
        else reg.DeleteValue("Logging");
        std::string out = MakeDir("burdock" + std::to_string(c.level + 1));
        std::vector<std::string> args = {"log-types", out};
        args.insert(args.end(), kTypes.begin(), kTypes.end());
        ProcessResult r = RunProgram(burdocks, args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        std::set<std::string> written;
        for (auto& e : std::filesystem::directory_iterator(out)) {
            EXPECT_EQ(e.path().filename().string().substr(0, 2), "BD");
            for (const std::string& line : SplitLines(ReadFile(e.path()))) {
                written.insert(line.substr(line.rfind(' ') + 1));
            }
        }
        EXPECT_EQ(written, c.written) << "level " << c.level;
    }
}

TEST_F(EventLogTest, FourProcessesWriteWholeLines) {
    constexpr int kLines = 2000;
    std::vector<pid_t> pids;
    for (int p = 0; p < 4; ++p) {
        pids.push_back(StartProgram(HelperPath("tm_probe"),
                                    {"log-lines", dir_, std::to_string(kLines), "P" + std::to_string(p)}));
    }
    for (pid_t pid : pids) ASSERT_EQ(WaitProgram(pid), 0);
    std::map<std::string, std::set<int>> seen;
    std::vector<std::string> files;
    for (auto& e : std::filesystem::directory_iterator(dir_)) files.push_back(e.path());
    ASSERT_EQ(files.size(), 1u);  // unless the test ran across midnight
    std::string text = ReadFile(files[0]);
    size_t start = 0, lines = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "torn last line";
        std::string line = text.substr(start, end - start);
        start = end + 2;
        ++lines;
        char tag[8], tag2[8];
        int i = -1, i2 = -2;
        ASSERT_EQ(sscanf(line.c_str() + 31, "%7s %d abcdefghijklmnopqrstuvwxyz0123456789 %7s %d", tag, &i, tag2, &i2), 4)
            << line;
        EXPECT_EQ(std::string(tag), std::string(tag2)) << line;
        EXPECT_EQ(i, i2) << line;
        seen[tag].insert(i);
    }
    EXPECT_EQ(lines, 4u * kLines);
    for (auto& [tag, numbers] : seen) EXPECT_EQ(numbers.size(), static_cast<size_t>(kLines)) << tag;
}

TEST_F(EventLogTest, AKilledHolderOfTheLogMutexBlocksNobody) {
    std::string out = SandboxDir() + "/holder.out";
    pid_t holder = StartProgram(HelperPath("tm_probe"), {"hold-log-lock", dir_}, {}, out);
    for (int i = 0; i < 500 && ReadFile(out).find("locked") == std::string::npos; ++i) usleep(10000);
    ASSERT_NE(ReadFile(out).find("locked"), std::string::npos);
    kill(holder, SIGKILL);
    WaitProgram(holder);
    auto done = std::async(std::launch::async, [] {
        CEventLog log(0);
        log.LogEvent(0x2000, "after the holder died");
    });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    std::string all;
    for (auto& e : std::filesystem::directory_iterator(dir_)) all += ReadFile(e.path());
    EXPECT_NE(all.find("after the holder died"), std::string::npos);
}

}  // namespace
}  // namespace tmtest
