//===-- tests/tools/LogCommandsTest.cpp - tmctl log tail ------------------===//
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "tools/ToolSupport.h"

namespace tmtest {
namespace {

// Today's day file name of the main log ("TM") or the web log ("RQ").
std::string DayFile(const char* prefix) {
    char name[32];
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(name, sizeof name, "%y%m%d.log", &local);
    return "/" + std::string(prefix) + name;
}

// Records are kept or dropped whole: the line after "second" has no header
// and belongs to it.
TEST(LogCommandsTest, TailFiltersWholeRecords) {
    const std::string dir = MakeDir("tail"), empty = MakeDir("tail-empty");
    WriteFile(dir + DayFile("TM"),
              "smtpd    E 08:00:01 0x00000010 first\r\n"
              "pop3d    W 09:30:00 0x00000011 second\r\n\tcontinued\r\n"
              "a-longer-name D 12:00:00 0x00000012 third\r\n");
    WriteFile(dir + DayFile("RQ"), "07:00:00 GET /a\r\n10:00:00 GET /b\r\n");
    const std::string first = "smtpd    E 08:00:01 0x00000010 first\n",
                      second = "pop3d    W 09:30:00 0x00000011 second\n\tcontinued\n",
                      third = "a-longer-name D 12:00:00 0x00000012 third\n";
    auto tail = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"log", "tail", "--dir", dir});
        return args;
    };
    const Call kCalls[] = {
        {tail({}), 0, first + second + third},
        {tail({"-n", "2"}), 0, second + third},
        {tail({"-n", "0"}), 0, ""},
        {tail({"--type", "wd"}), 0, second + third},
        {tail({"--since", "09:30"}), 0, second + third},
        {tail({"--since", "09:30", "-n", "1"}), 0, third},
        {tail({"--since", "12:01"}), 0, ""},
        {tail({"--web", "--since", "08:00"}), 0, "10:00:00 GET /b\n"},
        {tail({"--since", "9:30"}), 2, "", "not a time HH:MM: 9:30"},
        {tail({"--since", "24:00"}), 2, "", "not a time HH:MM"},
        {tail({"--type", "EQ"}), 2, "", "not a type character: 'Q'"},
        {tail({"--web", "--type", "E"}), 2, "", "the web log's lines have no type"},
        {tail({"-n", "many"}), 2, "", "not a number of records"},
        {{"log", "tail", "--dir", dir + "/missing"}, 1, "", "the log directory " + dir + "/missing/ does not exist"},
        {{"log", "tail", "--dir", empty}, 1, "", "nothing has been written to the main log today"},
        {{"log", "tail", "--web", "--dir", empty}, 1, "", "to the web log today"},
    };
    for (const Call& call : kCalls) Check(call);
}

// A line is written by one call; one that is not written is a failure
// that says why.
TEST(LogCommandsTest, WriteAndItsFailures) {
    const std::string dir = MakeDir("tmctl-log"), blocked = MakeDir("tmctl-blocked"), tooLong = "/" + std::string(300, 'd');
    ASSERT_EQ(mkdir((blocked + DayFile("TM")).c_str(), 0755), 0);  // a directory with the day file's name
    const Call kCalls[] = {
        {{"log", "--dir", dir, "an operator's line"}, 0, ""},
        {{"log", "--dir", dir + "/missing", "x"}, 1, "", "log directory " + dir + "/missing/ does not exist"},
        {{"log", "--dir", blocked, "x"}, 1, "", "not written to the log in " + blocked + "/: error 5 (ERROR_ACCESS_DENIED"},
        {{"log", "--dir", tooLong, "x"}, 1, "", "the log directory " + tooLong + " was refused"},
        {{"log", "--dir", dir, "--type", "0x400", "x"}, 1, "", "event type 0x400 is not in the main log's mask"},
        {{"log", "--dir", "", "x"}, 2, "", "the log directory is empty"},
    };
    for (const Call& call : kCalls) Check(call);
    const std::string all = ReadFile(dir + DayFile("TM"));
    EXPECT_EQ(all.rfind("tmctl    ~ ", 0), 0u) << all;
    EXPECT_EQ(all.substr(all.size() - 21), " an operator's line\r\n") << all;
}

// Milliseconds until the text is in the file; -1 when it is not in time.
long MsUntil(const std::string& path, const std::string& text, int seconds = 3) {
    const auto start = std::chrono::steady_clock::now();
    if (!WaitForText(path, text, seconds)) return -1;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// A follower started on a day without a file yet shows the lines that
// other processes write, each within a second.
TEST(LogCommandsTest, FollowShowsAnotherProcessLineWithinASecond) {
    const std::string dir = MakeDir("follow"), out = SandboxDir() + "/follow.out";
    const pid_t follower = StartProgram(TmctlPath(), {"log", "tail", "-f", "--type", "~", "--dir", dir}, {}, out);
    for (const char* text : {"the first line", "the second line"}) {
        Check({{"log", "--dir", dir, text}, 0});
        const long waited = MsUntil(out, text);
        EXPECT_GE(waited, 0) << text << " never shown:\n" << ReadFile(out);
        EXPECT_LT(waited, 1000) << text;
    }
    // The filter applies while following too: an error record is not shown.
    Check({{"log", "--dir", dir, "--type", "1", "an error"}, 0});
    Check({{"log", "--dir", dir, "the third line"}, 0});
    EXPECT_GE(MsUntil(out, "the third line"), 0);
    kill(follower, SIGTERM);
    WaitProgram(follower);
    const std::vector<std::string> lines = SplitLines(ReadFile(out));
    ASSERT_EQ(lines.size(), 3u) << ReadFile(out);
    EXPECT_NE(lines[0].find(" ~ "), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1].substr(lines[1].size() - 15), "the second line");
}

// A time zone in which it is now three seconds to midnight, for every
// process that is given it.
std::string ZoneNearMidnight() {
    const long now = static_cast<long>(time(nullptr) % 86400);
    long offset = (now - (86400 - 3)) % 86400;  // local = UTC - offset
    if (offset < 0) offset += 86400;
    char zone[32];
    snprintf(zone, sizeof zone, "TZ=TST+%ld:%02ld:%02ld", offset / 3600, offset % 3600 / 60, offset % 60);
    return zone;
}

// At midnight the follower goes on with the new day's file, which the
// writer makes only then.
TEST(LogCommandsTest, FollowCrossesMidnight) {
    const std::string dir = MakeDir("midnight"), out = SandboxDir() + "/midnight.out";
    const std::vector<std::string> zone = {ZoneNearMidnight()};
    const auto midnight = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    const pid_t follower = StartProgram(TmctlPath(), {"log", "tail", "-f", "--dir", dir}, zone, out);
    Check({{"log", "--dir", dir, "the old day"}, 0}, "", zone);
    EXPECT_GE(MsUntil(out, "the old day", 2), 0);
    std::this_thread::sleep_until(midnight + std::chrono::milliseconds(500));
    Check({{"log", "--dir", dir, "the new day"}, 0}, "", zone);
    const long waited = MsUntil(out, "the new day");
    kill(follower, SIGTERM);
    WaitProgram(follower);
    EXPECT_GE(waited, 0) << ReadFile(out);
    EXPECT_LT(waited, 1000);
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) files += e.path().extension() == ".log";
    EXPECT_EQ(files, 2u) << "one day file on each side of midnight";
}

}  // namespace
}  // namespace tmtest
