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
// Also: a server restarted in the middle of a writing loop.
//===----------------------------------------------------------------------===//
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/PgServer.h"
#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

struct Program {
    std::string path;
    std::vector<std::string> args;
    std::string out;  // file for its standard output
};

// Gives the calling process a mount namespace of its own with an empty
// /dev/shm; 0 or the errno of the step that failed.
int EnterPrivateShm() {
    if (unshare(CLONE_NEWNS) != 0) return errno;
    // Without this, a mount below a shared "/" would show on the host too.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return errno;
    if (mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) return errno;
    return 0;
}

// "" when a host can be simulated here, else why not.
std::string HostsUnavailable() {
    pid_t pid = fork();
    if (pid == 0) _exit(EnterPrivateShm());
    int status = WaitProgram(pid);
    if (status == 0) return "";
    return "cannot give a process group a /dev/shm of its own (unshare and mount need root): " +
           std::string(strerror(status));
}

// A host: programs started together in a private /dev/shm, in a process
// group of their own, so that Kill ends them all.
class Host {
public:
    ~Host() {
        if (m_pid > 0) Kill();
    }

    void Start(const std::vector<Program>& programs) {
        m_count = programs.size();
        m_statusFile = MakeDir("hosts") + "/status." + std::to_string(reinterpret_cast<uintptr_t>(this));
        unlink(m_statusFile.c_str());
        m_pid = fork();
        if (m_pid != 0) return;
        setpgid(0, 0);
        if (int error = EnterPrivateShm()) _exit(100 + error);
        std::vector<pid_t> pids;
        for (const Program& p : programs) pids.push_back(StartProgram(p.path, p.args, {}, p.out));
        std::string statuses;
        for (pid_t pid : pids) statuses += std::to_string(WaitProgram(pid)) + " ";
        WriteFile(m_statusFile, statuses);
        // No clean-up of the library that this process inherited.
        _exit(0);
    }

    // The programs' exit statuses in order, once all have ended; empty
    // if they have not within the time (the host is then killed).
    std::vector<int> Wait(std::chrono::seconds limit = std::chrono::seconds(120)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        int status = -1;
        while (std::chrono::steady_clock::now() < end) {
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) break;
            usleep(20000);
        }
        if (status == -1) {
            Kill();
            return {};
        }
        m_pid = 0;
        EXPECT_EQ(0, status) << "the host could not be set up";
        std::vector<int> statuses;
        std::istringstream in(ReadFile(m_statusFile));
        for (int s; in >> s;) statuses.push_back(s);
        EXPECT_EQ(m_count, statuses.size());
        return statuses;
    }

    void Kill() {
        kill(-m_pid, SIGKILL);
        kill(m_pid, SIGKILL);
        WaitProgram(m_pid);
        m_pid = 0;
    }

private:
    pid_t m_pid = 0;
    size_t m_count = 0;
    std::string m_statusFile;
};

std::vector<DWORD> Numbers(const std::string& path) {
    std::vector<DWORD> numbers;
    for (const std::string& line : SplitLines(ReadFile(path))) numbers.push_back(DWORD(strtoul(line.c_str(), nullptr, 10)));
    return numbers;
}

class HostsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!UsingPostgres()) GTEST_SKIP() << "several hosts need the PostgreSQL store (TM_TEST_STORE=postgresql)";
        const std::string why = HostsUnavailable();
        if (!why.empty()) GTEST_SKIP() << why;
    }
};

// The installation mutex keeps only one host's processes apart: here one
// host holds it and the other takes numbers all the same. Then 2 hosts of
// 4 processes take 2,000 numbers each at once: all distinct, none lost,
// the counter at the last.
TEST_F(HostsTest, NumbersNeverCollideAcrossHosts) {
    const std::string dir = MakeDir("ids"), worker = HelperPath("id_worker");
    WriteFile(dir + "/open", "");
    Host holder, other;
    holder.Start({{worker, {"hold"}, dir + "/held"}});
    ASSERT_TRUE(WaitForText(dir + "/held", "held")) << "the first host never took its mutex";
    other.Start({{worker, {"next", "1", "5", dir + "/open"}, dir + "/first"}});
    ASSERT_EQ(std::vector<int>{0}, other.Wait(std::chrono::seconds(30)))
        << "the other host waited on the first host's installation mutex: the hosts are not apart";
    holder.Kill();
    std::vector<DWORD> all = Numbers(dir + "/first");
    ASSERT_EQ(5u, all.size());

    constexpr int kHosts = 2, kProcesses = 4, kEach = 2000;
    Host hosts[kHosts];
    for (int h = 0; h < kHosts; ++h) {
        std::vector<Program> programs;
        for (int p = 0; p < kProcesses; ++p) {
            programs.push_back({worker, {"next", "1", std::to_string(kEach), dir + "/go"},
                                dir + "/out" + std::to_string(h) + std::to_string(p)});
        }
        hosts[h].Start(programs);
    }
    WriteFile(dir + "/go", "");
    for (Host& host : hosts) EXPECT_EQ(std::vector<int>(kProcesses, 0), host.Wait(std::chrono::seconds(280)));
    std::vector<DWORD> taken;
    for (int h = 0; h < kHosts; ++h) {
        for (int p = 0; p < kProcesses; ++p) {
            std::vector<DWORD> numbers = Numbers(dir + "/out" + std::to_string(h) + std::to_string(p));
            EXPECT_EQ(size_t(kEach), numbers.size()) << h << "/" << p;
            // A process's own numbers rise.
            EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end())) << h << "/" << p;
            taken.insert(taken.end(), numbers.begin(), numbers.end());
        }
    }
    EXPECT_EQ(0, std::count(taken.begin(), taken.end(), 0u)) << "GetNextId failed";
    const std::set<DWORD> distinct(taken.begin(), taken.end());
    EXPECT_EQ(size_t(kHosts * kProcesses * kEach), distinct.size()) << "numbers were handed out twice";
    all.insert(all.end(), taken.begin(), taken.end());
    std::sort(all.begin(), all.end());
    // Nothing skipped either: 1 .. 16,005 in all.
    EXPECT_EQ(1u, all.front());
    EXPECT_EQ(DWORD(all.size()), all.back());
    CRegistry reg;
    DWORD last = 0;
    ASSERT_EQ(0, reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_READ));
    EXPECT_EQ(0, reg.QueryValue("LastId", last));
    EXPECT_EQ(all.back(), last);
}

// A process on one host that has read a key and its values reads, by its
// very next call, what a process on the other host changed since: a new
// value, a deleted value, a key deleted and made again.
TEST_F(HostsTest, ChangeOnOneHostIsSeenByTheNextReadOnTheOther) {
    const std::string dir = MakeDir("seen"), worker = HelperPath("registry_worker");
    const std::string key = "Software\\Kelt\\Tamarak\\Shared", other = key + "\\Other";
    CRegistry reg;
    ASSERT_EQ(0, reg.CreateKey(HKEY_LOCAL_MACHINE, other.c_str(), 0x2001F, 0));
    ASSERT_EQ(0, reg.SetValue("W", 7ul));
    ASSERT_EQ(0, reg.CloseKey());
    ASSERT_EQ(0, reg.CreateKey(HKEY_LOCAL_MACHINE, key.c_str(), 0x2001F, 0));
    ASSERT_EQ(0, reg.SetValue("V", 1ul));
    auto file = [&](const std::string& name) { return dir + "/" + name; };
    auto get = [&](const std::string& path, const char* name) { return "get:" + path + ":" + name; };
    Host reader, writer;
    // Each round: the reader reads twice (the second from its cache, if it
    // keeps one), lets the writer change, and reads again.
    reader.Start({{worker,
                   {get(key, "V"), get(key, "V"), get(other, "W"), get(other, "W"), "touch:" + file("r1"), "wait:" + file("w1"),
                    get(key, "V"), get(key, "V"), "touch:" + file("r2"), "wait:" + file("w2"),
                    get(key, "V"), "touch:" + file("r3"), "wait:" + file("w3"),
                    get(other, "W")},
                   file("reader")}});
    writer.Start({{worker,
                   {"wait:" + file("r1"), "set:" + key + ":V:2", "touch:" + file("w1"),
                    "wait:" + file("r2"), "delete:" + key + ":V", "touch:" + file("w2"),
                    "wait:" + file("r3"), "deletekey:" + other, "set:" + other + ":X:3", "touch:" + file("w3")},
                   file("writer")}});
    EXPECT_EQ(std::vector<int>{0}, writer.Wait());
    EXPECT_EQ(std::vector<int>{0}, reader.Wait());
    EXPECT_EQ("0\n0\n0\n0\n0\n0\n0\n0\n0\n0\n", ReadFile(file("writer")));
    EXPECT_EQ("0 1\n0 1\n0 7\n0 7\n0\n0\n"  // before
              "0 2\n0 2\n0\n0\n"            // the new value
              "2 0\n0\n0\n"                 // the value deleted
              "2 0\n",                      // the key is another: no W
              ReadFile(file("reader")));
}

// A private server, restarted (pg_ctl restart -m fast) while a process
// writes value after value: every write that was reported done is there
// whole afterwards; the writes while the server was away failed with a
// registry code within the store's busy time-out, and the same process
// went on writing once the server was back.
TEST(ServerRestartTest, WritingLoopLosesNothingAndGoesOn) {
    if (!UsingPostgres()) GTEST_SKIP() << "a server restart needs the PostgreSQL store (TM_TEST_STORE=postgresql)";
    PgServer server;
    std::string why;
    if (!server.Start(&why)) GTEST_SKIP() << "no private server: " << why;
    RememberRegistryLocation(server.Uri() + "&schema=restart");
    const std::string location = "TAMARAK_REGISTRY=" + server.Uri() + "&schema=restart";
    const std::string dir = MakeDir("restart"), worker = HelperPath("registry_worker");
    const std::string out = dir + "/loop", stop = dir + "/stop", key = "Software\\Kelt\\Tamarak\\Loop";
    auto lines = [&] {
        std::vector<std::vector<long long>> parsed;
        for (const std::string& line : SplitLines(ReadFile(out))) {
            std::istringstream in(line);
            long long number, code, ms;
            if (in >> number >> code >> ms) parsed.push_back({number, code, ms});
        }
        return parsed;
    };
    auto successesAfter = [&](size_t from) {
        auto all = lines();
        return std::count_if(all.begin() + std::min(from, all.size()), all.end(), [](auto& l) { return l[1] == 0; });
    };
    auto waitFor = [&](auto done) {
        for (int i = 0; i < 6000 && !done(); ++i) usleep(10000);
        return done();
    };
    pid_t pid = StartProgram(worker, {"loop:" + key + ":" + stop}, {location}, out);
    EXPECT_TRUE(waitFor([&] { return successesAfter(0) >= 200; })) << "the loop did not get going";
    ASSERT_TRUE(server.Restart(&why)) << why;
    const size_t atRestart = lines().size();
    EXPECT_TRUE(waitFor([&] { return successesAfter(atRestart) >= 200; })) << "the loop did not go on after the restart";
    WriteFile(stop, "");
    EXPECT_EQ(0, WaitProgram(pid)) << "the writing process did not live through the restart";

    std::map<std::string, long long> written;  // V<n> -> n, for the writes reported done
    int failed = 0;
    for (const auto& l : lines()) {
        if (l[1] == 0) {
            written["V" + std::to_string(l[0])] = l[0];
        } else {
            ++failed;
            // Busy time-out 10 s, and some slack for a loaded machine.
            EXPECT_LE(l[2], 12000) << "write " << l[0] << " hung for " << l[2] << " ms with code " << l[1];
        }
    }
    ProcessResult check = RunProgram(worker, {"check:" + key}, {location});
    ASSERT_EQ(0, check.exitCode) << check.err;
    std::map<std::string, std::string> stored;
    for (const std::string& line : SplitLines(check.out)) {
        size_t space = line.find(' ');
        stored[line.substr(0, space)] = line.substr(space + 1);
    }
    for (const auto& [name, number] : written) EXPECT_EQ(std::to_string(number), stored[name]) << name << " was lost";
    for (const auto& [name, content] : stored) EXPECT_NE("bad", content) << name << " is half written";
    // Writes that failed may have committed or not, never in part: only
    // their own values can be there beyond those reported done.
    EXPECT_LE(stored.size(), written.size() + size_t(failed));
    RecordProperty("failed_writes", failed);
}

}  // namespace
}  // namespace tmtest
