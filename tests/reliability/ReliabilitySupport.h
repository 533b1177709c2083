//===-- tests/reliability/ReliabilitySupport.h - Long runs, figures, checks ===//
//
// The crash, soak and bad-input tests run short by default, a few seconds
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

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
    if (::testing::Test::HasFailure()) return;
    printf("figure: %s\n", text.c_str());
    fflush(stdout);
}

// SQLite's own check of a registry file, read-only: "ok" when sound.
inline std::string IntegrityCheck(const std::string& path) {
    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        result = std::string("cannot open: ") + (db ? sqlite3_errmsg(db) : "no memory");
    } else {
        sqlite3_busy_timeout(db, 10000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) != SQLITE_OK) {
            result = std::string("cannot check: ") + sqlite3_errmsg(db);
        } else {
            while (sqlite3_step(st) == SQLITE_ROW) {
                if (!result.empty()) result += "; ";
                result += reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            }
            if (result.empty()) result = std::string("no answer: ") + sqlite3_errmsg(db);
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return result;
}

// The registry file of this test process.
inline std::string RegistryFile() { return getenv("TAMARAK_REGISTRY"); }

// Waits for a started program at most the given time; on timeout kills it
// and gives -1, so that a process stuck for ever fails the test instead of
// hanging it.
inline int WaitAtMost(pid_t pid, int seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0) return -2;
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(2000);
    }
}

// Kills a started program; 128 + SIGKILL, or how it ended before the kill
// reached it (a process that died on its own is a finding of its own).
inline int Kill(pid_t pid) {
    kill(pid, SIGKILL);
    return WaitProgram(pid);
}

// The main-log files (TMyymmdd.log) of a directory, one after the other.
inline std::string MainLogs(const std::string& dir) {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(dir)) {
        std::string name = e.path().filename();
        if (name.rfind("TM", 0) == 0) names.push_back(e.path());
    }
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string& n : names) all += ReadFile(n);
    return all;
}

// A main-log line "NAME T HH:MM:SS 0xTHREAD TEXT" of a process whose name
// is at least eight characters long; false when the line is not one.
inline bool ParseMainLine(const std::string& line, const std::string& process, char type, std::string* text) {
    const std::string head = process + " " + type + " ";
    const size_t n = head.size();
    if (line.size() < n + 21 || line.compare(0, n, head) != 0) return false;
    const char* shape = "dd:dd:dd 0xhhhhhhhh ";
    for (size_t i = 0; i < 20; ++i) {
        char c = line[n + i], s = shape[i];
        bool ok = s == 'd' ? isdigit(static_cast<unsigned char>(c)) != 0
                  : s == 'h' ? isxdigit(static_cast<unsigned char>(c)) != 0
                             : c == s;
        if (!ok) return false;
    }
    *text = line.substr(n + 20);
    return true;
}

}  // namespace tmtest
