//===-- tests/scaling/HostsTest.cpp - Hosts sharing one registry server ---===//
//
// Several hosts of one installation share the registry on a PostgreSQL
// server; each keeps its named objects (the installation mutex among
// them) to itself. A host is simulated here by a group of processes with
// a /dev/shm of their own: a new mount namespace with a tmpfs over
// /dev/shm, which needs root (or CAP_SYS_ADMIN); the tests skip without
// it. All processes reach the server through the sandbox's location, so
// what one host writes the other reads from the same schema.
//
// Also: what a read costs the server; a server restarted in the middle of
// a writing loop.
//===----------------------------------------------------------------------===//
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/PgServer.h"
#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

// Starts a program as a host of its own: unshare(1) gives it a mount
// namespace with an empty /dev/shm.
pid_t StartHost(const std::string& path, std::vector<std::string> args, const std::string& out) {
    args.insert(args.begin(), {"--mount", "--propagation", "private", "sh", "-c",
                               "mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec \"$0\" \"$@\"", path});
    return StartProgram("/usr/bin/unshare", args, {}, out);
}

class HostsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!UsingPostgres()) GTEST_SKIP() << "several hosts need the PostgreSQL store (TM_TEST_STORE=postgresql)";
        if (WaitProgram(StartHost("/bin/true", {}, "")) != 0)
            GTEST_SKIP() << "cannot give a process a /dev/shm of its own (unshare and mount need root)";
    }
};

// The installation mutex keeps only one host's processes apart: one host
// holds it and the other takes numbers all the same; two hosts of four
// processes taking numbers at once get distinct ones, nothing skipped, the
// counter at the last.
TEST_F(HostsTest, NumbersNeverCollideAcrossHosts) {
    const std::string dir = MakeDir("ids"), worker = HelperPath("id_worker");
    WriteFile(dir + "/open", "");
    const pid_t holder = StartHost(worker, {"hold"}, dir + "/held");
    ASSERT_TRUE(WaitForText(dir + "/held", "held")) << "the first host never took its mutex";
    // (a wait on the first host's installation mutex would hang here)
    ASSERT_EQ(0, WaitProgram(StartHost(worker, {"next", "1", "5", dir + "/open"}, dir + "/first")));
    kill(holder, SIGKILL);
    WaitProgram(holder);
    // Two hosts of four processes each, 2,000 numbers a process.
    const std::string group = "for i in 1 2 3 4; do \"$0\" next 1 2000 \"$1\" > \"$2\".$i & done; wait";
    const pid_t a = StartHost("/bin/sh", {"-c", group, worker, dir + "/go", dir + "/a"}, "");
    const pid_t b = StartHost("/bin/sh", {"-c", group, worker, dir + "/go", dir + "/b"}, "");
    WriteFile(dir + "/go", "");
    EXPECT_EQ(0, WaitProgram(a));
    EXPECT_EQ(0, WaitProgram(b));
    std::vector<DWORD> all;
    for (std::string name : {"first", "a.1", "a.2", "a.3", "a.4", "b.1", "b.2", "b.3", "b.4"})
        for (const std::string& line : SplitLines(ReadFile(dir + "/" + name))) all.push_back(DWORD(std::stoul(line)));
    std::sort(all.begin(), all.end());
    ASSERT_EQ(16005u, all.size());
    for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(DWORD(i + 1), all[i]) << "a number handed out twice or skipped";
    CRegistry reg;
    DWORD last = 0;
    ASSERT_EQ(0, reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_READ));
    EXPECT_EQ(0, reg.QueryValue("LastId", last));
    EXPECT_EQ(16005u, last);
}

// A process on one host that has read a key and its values reads, by its
// very next call, what a process on the other host changed since: a new
// value, a deleted value, a key deleted and made again.
TEST_F(HostsTest, ChangeOnOneHostIsSeenByTheNextReadOnTheOther) {
    const std::string dir = MakeDir("seen") + "/", worker = HelperPath("registry_worker");
    const std::string key = "Software\\Kelt\\Tamarak\\Shared", other = key + "\\Other";
    const std::string V = "get:" + key + ":V", W = "get:" + other + ":W";
    CRegistry reg;
    ASSERT_EQ(0, reg.CreateKey(HKEY_LOCAL_MACHINE, other.c_str(), TM_KEY_READ_WRITE, 0));
    ASSERT_EQ(0, reg.SetValue("W", 7ul));
    ASSERT_EQ(0, reg.CreateKey(HKEY_LOCAL_MACHINE, key.c_str(), TM_KEY_READ_WRITE, 0));
    ASSERT_EQ(0, reg.SetValue("V", 1ul));
    // Each round the reader reads twice (the second from its cache, if it
    // keeps one), lets the writer change, and reads again.
    const pid_t reader = StartHost(worker, {V, V, W, W, "touch:" + dir + "r1", "wait:" + dir + "w1", V, V, "touch:" + dir + "r2",
                          "wait:" + dir + "w2", V, "touch:" + dir + "r3", "wait:" + dir + "w3", W}, dir + "reader");
    const pid_t writer = StartHost(worker, {"wait:" + dir + "r1", "set:" + key + ":V:2", "touch:" + dir + "w1", "wait:" + dir + "r2",
                          "delete:" + key + ":V", "touch:" + dir + "w2", "wait:" + dir + "r3", "deletekey:" + other,
                          "set:" + other + ":X:3", "touch:" + dir + "w3"}, dir + "writer");
    EXPECT_EQ(0, WaitProgram(writer));
    EXPECT_EQ(0, WaitProgram(reader));
    EXPECT_EQ("0\n0\n0\n0\n0\n0\n0\n0\n0\n0\n", ReadFile(dir + "writer"));
    EXPECT_EQ("0 1\n0 1\n0 7\n0 7\n0\n0\n" "0 2\n0 2\n0\n0\n" "2 0\n0\n0\n" "2 0\n", ReadFile(dir + "reader"));
}

// Open, read and close cost one statement on the server. The statement
// that reads a value reads the values table once, whatever plan the server
// picks, so 20 more reads in a process are 20 more scans of that table
// (the server's own count, complete once the process's session is gone).
TEST(ServerReadTest, AReadIsOneStatement) {
    if (!UsingPostgres()) GTEST_SKIP() << "the server's counts need the PostgreSQL store (TM_TEST_STORE=postgresql)";
    if (ServerQuery("SELECT current_setting('server_version_num')::int >= 150000") != "t\n")
        GTEST_SKIP() << "a session's counts reach the server's views at its end only from PostgreSQL 15 on";
    const std::string location = NewRegistryLocation("reads"), key = "Software\\Kelt\\Tamarak\\Reads";
    ASSERT_FALSE(location.empty());
    // The worker's sessions carry the schema's name, so that the test
    // knows when they are gone.
    const std::string schema = location.substr(location.find("&schema=") + 8);
    const std::string sessions = "SELECT count(*) FROM pg_stat_activity WHERE application_name = '" + schema + "'";
    auto scansAfter = [&](const std::vector<std::string>& commands) {
        ProcessResult r = RunProgram(HelperPath("registry_worker"), commands,
                                     {"TAMARAK_REGISTRY=" + location + "&application_name=" + schema});
        EXPECT_EQ(0, r.exitCode) << r.err;
        bool gone = false;
        for (int i = 0; i < 2000 && !(gone = ServerQuery(sessions) == "0\n"); ++i) usleep(10000);
        EXPECT_TRUE(gone) << "the worker's session outlived it";
        const std::string scans = ServerQuery("SELECT seq_scan + coalesce(idx_scan, 0) FROM pg_stat_user_tables"
                                              " WHERE schemaname = '" + schema + "' AND relname = 'vals'");
        return std::atol(scans.c_str());
    };
    const std::string get = "get:" + key + ":V";
    const long made = scansAfter({"set:" + key + ":V:7"});
    const long one = scansAfter({get}), more = scansAfter(std::vector<std::string>(21, get));
    EXPECT_GT(made, 0) << "the write's own scans are not counted";
    EXPECT_EQ(20, (more - one) - (one - made)) << "scans: " << made << ", " << one << ", " << more;
}

// A private server of the test's own, which it may restart or cut off.
class ServerRestartTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!UsingPostgres()) GTEST_SKIP() << "a private server's faults need the PostgreSQL store (TM_TEST_STORE=postgresql)";
        std::string why;
        if (!m_server.Start(&why)) GTEST_SKIP() << "no private server: " << why;
    }
    // The environment entry for a registry in a schema of the server.
    std::string Location(const std::string& schema) {
        RememberRegistryLocation(m_server.Uri() + "&schema=" + schema);
        return "TAMARAK_REGISTRY=" + m_server.Uri() + "&schema=" + schema;
    }
    PgServer m_server;
};

// The private server, restarted (pg_ctl restart -m fast) while a process
// writes value after value: every write that was reported done is there
// whole afterwards; the writes while the server was away failed with a
// registry code within the store's busy time-out, and the same process
// went on writing once the server was back.
TEST_F(ServerRestartTest, WritingLoopLosesNothingAndGoesOn) {
    const std::string location = Location("restart");
    const std::string dir = MakeDir("restart"), worker = HelperPath("registry_worker");
    const std::string out = dir + "/loop", stop = dir + "/stop", key = "Software\\Kelt\\Tamarak\\Loop";
    // The loop's lines: write number -> {code, milliseconds}.
    auto lines = [&] {
        std::map<long long, std::pair<long long, long long>> parsed;
        for (const std::string& line : SplitLines(ReadFile(out))) {
            std::istringstream in(line);
            long long number, code, ms;
            if (in >> number >> code >> ms) parsed[number] = {code, ms};
        }
        return parsed;
    };
    // Waits for 200 more writes done after write number `after`.
    auto goesOn = [&](long long after) {
        for (int i = 0; i < 6000; ++i, usleep(10000)) {
            auto all = lines();
            if (std::count_if(all.upper_bound(after), all.end(), [](auto& l) { return l.second.first == 0; }) >= 200)
                return true;
        }
        return false;
    };
    pid_t pid = StartProgram(worker, {"loop:" + key + ":" + stop}, {location}, out);
    EXPECT_TRUE(goesOn(0)) << "the loop did not get going";
    std::string why;
    ASSERT_TRUE(m_server.Restart(&why)) << why;
    EXPECT_TRUE(goesOn(lines().size())) << "the loop did not go on after the restart";
    WriteFile(stop, "");
    EXPECT_EQ(0, WaitProgram(pid)) << "the writing process did not live through the restart";

    ProcessResult check = RunProgram(worker, {"check:" + key}, {location});
    ASSERT_EQ(0, check.exitCode) << check.err;
    std::map<std::string, std::string> stored;
    for (const std::string& line : SplitLines(check.out)) stored[line.substr(0, line.find(' '))] = line.substr(line.find(' ') + 1);
    for (const auto& [number, result] : lines()) {
        const std::string name = "V" + std::to_string(number);
        // Busy time-out 10 s, and some slack for a loaded machine.
        EXPECT_LE(result.first != 0 ? result.second : 0, 12000) << name << " hung with code " << result.first;
        EXPECT_EQ(result.first == 0 ? std::to_string(number) : "", result.first == 0 ? stored[name] : "") << name << " was lost";
        // A write that failed may have committed or not, never in part.
        EXPECT_NE("bad", stored.count(name) ? stored[name] : "") << name << " is half written";
    }
    EXPECT_LE(stored.size(), lines().size()) << "values that no write made";
}

// The connection lost in the middle of a write batch (the server ends the
// session): the writes since the batch's last commit are gone, which its
// end reports, and the process's next call connects again.
TEST_F(ServerRestartTest, ALostConnectionUndoesTheBatchSinceItsLastCommit) {
    const std::string location = Location("lost");
    const std::string dir = MakeDir("lost"), key = "Software\\Kelt\\Tamarak\\Lost";
    const std::string out = dir + "/out";
    pid_t pid = StartProgram(HelperPath("registry_worker"),
                             {"set:" + key + ":Before:1", "begin", "set:" + key + ":A:2", "touch:" + dir + "/ready",
                              "wait:" + dir + "/go", "set:" + key + ":B:3", "end", "get:" + key + ":Before",
                              "get:" + key + ":A", "get:" + key + ":B", "set:" + key + ":C:4", "get:" + key + ":C"},
                             {location}, out);
    ASSERT_TRUE(WaitForText(dir + "/ready", "")) << ReadFile(out);
    std::string ended;
    EXPECT_EQ("", m_server.Exec("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity"
                              " WHERE usename = 'tmreg' AND pid <> pg_backend_pid()", &ended));
    EXPECT_EQ("1\n", ended) << "the worker's session was not found";
    WriteFile(dir + "/go", "");
    ASSERT_EQ(0, WaitProgram(pid));
    const std::vector<std::string> lines = SplitLines(ReadFile(out));
    ASSERT_EQ(12u, lines.size()) << ReadFile(out);
    EXPECT_NE("0", lines[6]) << "the batch's end reported success for writes that were lost";
    EXPECT_EQ("0 1", lines[7]);
    EXPECT_EQ("2 0", lines[8]);
    EXPECT_EQ("2 0", lines[9]);
    EXPECT_EQ("0", lines[10]);
    EXPECT_EQ("0 4", lines[11]);
}

}  // namespace
}  // namespace tmtest
