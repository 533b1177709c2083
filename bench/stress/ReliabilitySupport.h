//===-- bench/stress/ReliabilitySupport.h - Long runs, figures, checks ----===//
//
// The crash and soak tests run short by default, a few seconds
// each. With TM_LONG_TESTS=1 in the environment they run their long
// versions (1,000 kills, a 60-second soak). Either way they print their
// figures as lines beginning "figure:", which docs/reliability.md quotes.
//===----------------------------------------------------------------------===//
#pragma once

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace tmtest {

inline bool LongRun() {
    const char* v = getenv("TM_LONG_TESTS");
    return v && *v && std::string(v) != "0";
}

// A figure of a test that has not failed so far: a failed run proves nothing.
inline void Figure(const std::string& text) {
    if (!::testing::Test::HasFailure()) printf("figure: %s\n", text.c_str());
    fflush(stdout);
}

// SQLite's own check of this test process's registry file: "ok" when sound.
inline std::string IntegrityCheck() {
    sqlite3* db = nullptr;
    std::string result;
    sqlite3_open_v2(getenv("TAMARAK_REGISTRY"), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_busy_timeout(db, 10000);
    sqlite3_exec(db, "PRAGMA integrity_check", [](void* r, int, char** v, char**) {
        *static_cast<std::string*>(r) += v[0] ? v[0] : "";
        return 0;
    }, &result, nullptr);
    sqlite3_close(db);
    return result.empty() ? "no answer" : result;
}

// Waits for a started program at most the given time; on timeout kills it
// and gives -1, so that a process stuck for ever fails the test instead of
// hanging it.
inline int WaitAtMost(pid_t pid, int seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) kill(pid, SIGKILL);
        usleep(2000);
    }
    return std::chrono::steady_clock::now() > end ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Kills a started program; 128 + SIGKILL, or how it ended before the kill
// reached it (a process that died on its own is a finding of its own).
inline int Kill(pid_t pid) { return kill(pid, SIGKILL), WaitProgram(pid); }

// The lines of the main-log files (TMyymmdd.log) of a directory, in order.
inline std::vector<std::string> MainLogLines(const std::string& dir) {
    std::set<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(dir)) {
        if (e.path().filename().string().starts_with("TM")) names.insert(e.path());
    }
    std::string all;
    for (const std::string& n : names) all += ReadFile(n);
    EXPECT_TRUE(all.empty() || all.ends_with("\r\n")) << "the log ends in a torn line";
    return SplitLines(all);
}

// The text of a main-log line "NAME ~ HH:MM:SS 0xTHREAD TEXT" of a
// process whose name is at least eight characters long; "" when the line
// is not one.
inline std::string MainLineText(const std::string& line, const std::string& process) {
    static const std::regex kHead(" ~ [0-9]{2}:[0-9]{2}:[0-9]{2} 0x[0-9a-f]{8} ");
    std::smatch m;
    return line.starts_with(process) && std::regex_search(line.begin() + process.size(), line.end(), m, kHead,
                                                          std::regex_constants::match_continuous) ? m.suffix().str() : "";
}

}  // namespace tmtest
