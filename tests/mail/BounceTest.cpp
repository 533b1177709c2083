//===-- tests/mail/BounceTest.cpp - Bounce reports and queue signals ------===//
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "logging/LogFixture.h"

namespace tmtest {
namespace {

const char kQueueEvent[] = "f958c278-e360-11d2-871b-0080c8330493";
const char kOutgoingEvent[] = "Outgoing Message D02369B6-D2CF-11d1-86B0-0080C8330493";
const char kPriorityEvent[] = "Priority Message D02369B6-D2CF-11d1-86B0-0080C8330493";

// The tick count's clock, held still so that the report number is known.
uint64_t g_monotonicMs = 0;
int FixedClocks(clockid_t clock, struct timespec* ts) {
    if (clock == CLOCK_MONOTONIC && g_monotonicMs) {
        ts->tv_sec = static_cast<time_t>(g_monotonicMs / 1000);
        ts->tv_nsec = static_cast<long>(g_monotonicMs % 1000) * 1000000L;
        return 0;
    }
    return FakeClock(clock, ts);
}

class BounceTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        queue_ = root_ + "/queue";
        mkdir(queue_.c_str(), 0755);
        g_monotonicMs = 0;
        w32::Sys().clockGettime = FixedClocks;
    }
    std::string Message(const std::string& name, const std::string& text) {
        std::string path = SandboxDir() + "/" + name;
        WriteFile(path, text);
        return path;
    }
    std::map<std::string, std::string> Queue() const {
        std::map<std::string, std::string> files;
        for (auto& e : std::filesystem::directory_iterator(queue_)) files[e.path().filename()] = ReadFile(e.path());
        return files;
    }
    static std::string Body(int lines) {
        std::string text;
        for (int i = 1; i <= lines; ++i) text += "line " + std::to_string(i) + "\r\n";
        return text;
    }
    int Bounce(const std::string& message, const char* recipient, const char* include = nullptr,
               const char* reporting = "user@d.e") {
        std::string r = recipient;
        return BounceEmail(message.c_str(), r.data(), reporting, include, "Delivery to %s failed: %d", "x@y.z", 550);
    }
    std::string queue_;
};

TEST_F(BounceTest, ReportLayoutLineByLine) {
    g_monotonicMs = 0x123456789ull;  // report number 0x56789
    std::string message = Message("failed.msg", "From: sender@remote.org\r\nSubject: hi\r\n\r\n" + Body(30));
    ASSERT_EQ(Bounce(message, "sender@remote.org"), 1);
    auto files = Queue();
    ASSERT_EQ(files.size(), 2u);
    const std::string& report = files["bmr56789.msg"];
    std::smatch m;
    ASSERT_TRUE(std::regex_search(report, m, std::regex("^Message-Id: <[0-9a-f]{32}@postmaster\\.d\\.e>\r\n")))
        << report;
    std::string rest = report.substr(m.length());
    std::string expected =
        "Date: Wed, 10 Nov 2004 09:08:07 " + std::string(rest.substr(32, 5)) + "\r\n"
        "To: sender@remote.org\r\n"
        "From: postmaster@d.e\r\n"
        "Reply-To: null@d.e\r\n"
        "Subject: Failed email report\r\n"
        "\r\n"
        "Delivery to x@y.z failed: 550\r\n\r\n"
        "Your message starts:\r\n\r\n\r\n"
        "From: sender@remote.org\r\nSubject: hi\r\n"
        "\r\n" + Body(20) + "\r\n.\r\n";
    EXPECT_EQ(rest, expected);
    EXPECT_EQ(files["bmr56789.pdl"], "postmaster@d.e\r\nsender@remote.org\r\n");
}

TEST_F(BounceTest, BodyEndsAtTheDotLineOrTheHeaderAlone) {
    struct Case { const char* name; std::string message; std::string tail; };
    const Case kCases[] = {
        {"dot", "H: 1\r\n\r\n" + Body(5) + ".\r\n" + Body(3), "H: 1\r\n\r\n" + Body(5) + "\r\n.\r\n"},
        {"headerOnly", "H: 1\r\nH: 2\r\n", "H: 1\r\nH: 2\r\n\r\n\r\n.\r\n"},
        // A line of 600 characters is three pieces of the twenty.
        {"long", "H: 1\r\n\r\n" + std::string(600, 'x') + "\r\n" + Body(30),
         "H: 1\r\n\r\n" + std::string(600, 'x') + "\r\n" + Body(17) + "\r\n.\r\n"},
    };
    DWORD tick = 1000;
    for (const Case& c : kCases) {
        g_monotonicMs = tick += 7;
        ASSERT_EQ(Bounce(Message(c.name, c.message), "local-user"), 1) << c.name;
        char name[32];
        snprintf(name, sizeof name, "bmr%05x.msg", static_cast<unsigned>(tick & 0xFFFFF));
        std::string report = Queue()[name];
        const std::string marker = "Your message starts:\r\n\r\n\r\n";
        ASSERT_NE(report.find(marker), std::string::npos) << c.name;
        EXPECT_EQ(report.substr(report.find(marker) + marker.size()), c.tail) << c.name;
    }
}

TEST_F(BounceTest, SenderFromDefaultMailboxOrPostmaster) {
    struct Case { const char* mailbox; const char* reporting; const char* from; const char* replyTo; const char* idEnd; };
    const Case kCases[] = {
        {"admin", "user@d.e", "From: admin\r\n", nullptr, "@admin>"},
        {"boss@corp.example", "user@d.e", "From: boss@corp.example\r\n", "Reply-To: null@corp.example\r\n",
         "@boss.corp.example>"},
        {nullptr, "nodomain", "From: postmaster\r\n", nullptr, "@postmaster>"},
    };
    for (const Case& c : kCases) {
        CRegistry reg;
        ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
        if (c.mailbox) reg.SetValue("DefaultMailbox", c.mailbox);
        else reg.DeleteValue("DefaultMailbox");
        for (auto& e : std::filesystem::directory_iterator(queue_)) std::filesystem::remove(e.path());
        ASSERT_EQ(Bounce(Message("m", "H: 1\r\n\r\nbody\r\n"), "r@remote.org", nullptr, c.reporting), 1);
        std::string report, envelope;
        for (auto& [name, text] : Queue()) (name.ends_with(".msg") ? report : envelope) = text;
        EXPECT_NE(report.find(c.from), std::string::npos) << report;
        EXPECT_EQ(report.find("Reply-To:") != std::string::npos, c.replyTo != nullptr) << report;
        if (c.replyTo) {
            EXPECT_NE(report.find(c.replyTo), std::string::npos) << report;
        }
        EXPECT_NE(report.find(c.idEnd), std::string::npos) << report;
        EXPECT_EQ(envelope.substr(0, envelope.find("\r\n")), std::string(c.from).substr(6, strlen(c.from) - 8));
    }
}

TEST_F(BounceTest, IncludeFileIsCopiedWhole) {
    WriteFile(root_ + "/notice.txt", "First notice line.\r\n" + std::string(700, 'n') + "\r\nLast");
    g_monotonicMs = 5000;
    ASSERT_EQ(Bounce(Message("m", "H: 1\r\n\r\nb\r\n"), "local", "notice.txt"), 1);
    std::string report = Queue()["bmr01388.msg"];
    EXPECT_NE(report.find("failed: 550\r\n\r\nFirst notice line.\r\n" + std::string(700, 'n') +
                          "\r\nLast\r\n\r\nYour message starts:"),
              std::string::npos)
        << report;
    g_monotonicMs = 6000;
    ASSERT_EQ(Bounce(Message("m", "H: 1\r\n\r\nb\r\n"), "local", "missing.txt"), 1);
    EXPECT_NE(Queue()["bmr01770.msg"].find("failed: 550\r\n\r\nYour message starts:"), std::string::npos);
}

TEST_F(BounceTest, NumbersAreNeverShared) {
    g_monotonicMs = 0x100000 + 0xFFFFF;  // number 0xfffff, then wrapping to 0
    WriteFile(queue_ + "/bmrfffff.msg", "another report");
    WriteFile(queue_ + "/bmr00000.pdl", "an envelope whose report was taken");
    std::string message = Message("m", "H: 1\r\n\r\nb\r\n");
    ASSERT_EQ(Bounce(message, "a@remote.org"), 1);
    ASSERT_EQ(Bounce(message, "local"), 1);  // same millisecond
    auto files = Queue();
    EXPECT_EQ(files["bmrfffff.msg"], "another report");
    EXPECT_EQ(files["bmr00000.pdl"], "an envelope whose report was taken");
    EXPECT_TRUE(files.count("bmr00001.msg") && files.count("bmr00001.pdl"));
    EXPECT_TRUE(files.count("bmr00002.msg") && files.count("bmr00002.ldl"));
    EXPECT_EQ(files.size(), 6u);
}

TEST_F(BounceTest, NothingToDoAndFailures) {
    std::string message = Message("m", "H: 1\r\n\r\nb\r\n");
    // An empty recipient: nothing written, nothing signalled.
    EXPECT_EQ(Bounce(message, ""), 1);
    EXPECT_TRUE(Queue().empty());
    EXPECT_EQ(OpenEventA(EVENT_MODIFY_STATE, FALSE, kQueueEvent), nullptr);
    // A failed message that cannot be read.
    EXPECT_EQ(Bounce(SandboxDir() + "/no-such.msg", "r@remote.org"), 0);
    EXPECT_TRUE(Queue().empty());
    // A queue that cannot take the report: 1, and the queue event is set.
    HANDLE queueEvent = CreateEventA(nullptr, FALSE, FALSE, kQueueEvent);
    std::filesystem::remove(queue_);
    EXPECT_EQ(Bounce(message, "r@remote.org"), 1);
    EXPECT_EQ(WaitForSingleObject(queueEvent, 0), WAIT_OBJECT_0);
    CloseHandle(queueEvent);
    // A root path too long for the queue's paths is refused, not cut.
    std::string longRoot = root_ + "/" + std::string(240 - root_.size(), 'r');
    snprintf(g_szRootPath, sizeof g_szRootPath, "%s", longRoot.c_str());
    EXPECT_EQ(Bounce(message, "r@remote.org"), 0);
    std::vector<std::string> lines = MainLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("System error 0xce at line "), std::string::npos) << lines.back();
}

TEST_F(BounceTest, SignalsNeedTheServicesEvents) {
    EXPECT_EQ(SignalExternalEmail(), 0);
    EXPECT_EQ(MainLog(), "");  // a missing outgoing-mail event is reported to nobody
    EXPECT_EQ(SignalPriorityEmail(), 0);
    std::vector<std::string> lines = MainLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("! 09:08:07"), std::string::npos);
    EXPECT_NE(lines[0].find(" System error 0x2 at line "), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(" of Utilities"), std::string::npos) << lines[0];
    HANDLE outgoing = CreateEventA(nullptr, TRUE, FALSE, kOutgoingEvent);
    HANDLE priority = CreateEventA(nullptr, FALSE, FALSE, kPriorityEvent);
    EXPECT_EQ(SignalExternalEmail(), 1);
    EXPECT_EQ(SignalPriorityEmail(), 1);
    EXPECT_EQ(WaitForSingleObject(outgoing, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(priority, 0), WAIT_OBJECT_0);
    EXPECT_EQ(MainLines().size(), 1u);
    CloseHandle(outgoing);
    CloseHandle(priority);
}

TEST_F(BounceTest, WatcherSeesTheQueueWakeUp) {
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    ASSERT_EQ(reg.SetValue("RootPath", root_.c_str()), 0);
    std::string out = SandboxDir() + "/watch.out";
    pid_t watcher = StartProgram(TmctlPath(), {"queue", "watch", "--for", "20"}, {}, out);
    for (int i = 0; i < 500 && ReadFile(out).find("watching") == std::string::npos; ++i) usleep(10000);
    ASSERT_NE(ReadFile(out).find("watching " + queue_), std::string::npos) << ReadFile(out);
    std::string message = Message("m", "H: 1\r\n\r\nb\r\n");
    ASSERT_EQ(Bounce(message, "r@remote.org"), 1);  // external: outgoing and queue events
    for (int i = 0; i < 500; ++i) {
        std::string seen = ReadFile(out);
        if (seen.find("event outgoing") != std::string::npos && seen.find("event queue") != std::string::npos &&
            seen.find(".pdl") != std::string::npos) {
            break;
        }
        usleep(10000);
    }
    kill(watcher, SIGTERM);
    WaitProgram(watcher);
    std::string seen = ReadFile(out);
    EXPECT_NE(seen.find("event outgoing\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("event queue\n"), std::string::npos) << seen;
    EXPECT_TRUE(std::regex_search(seen, std::regex("file bmr[0-9a-f]{5}\\.msg\n"))) << seen;
    EXPECT_TRUE(std::regex_search(seen, std::regex("file bmr[0-9a-f]{5}\\.pdl\n"))) << seen;
}

TEST_F(BounceTest, FourProcessesLoseNoReport) {
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    ASSERT_EQ(reg.SetValue("RootPath", root_.c_str()), 0);
    std::string message = Message("m", "H: 1\r\n\r\n" + Body(3));
    std::string gate = SandboxDir() + "/gate";
    std::vector<pid_t> workers;
    for (int p = 0; p < 4; ++p) {
        workers.push_back(StartProgram(HelperPath("bounce_worker"),
                                       {message, "100", p % 2 ? "local" : "r@remote.org", gate}));
    }
    WriteFile(gate, "");
    for (pid_t pid : workers) EXPECT_EQ(WaitProgram(pid), 0);
    std::map<std::string, std::set<std::string>> reports;
    for (auto& [name, text] : Queue()) {
        reports[name.substr(0, 8)].insert(name.substr(9));
        if (name.ends_with(".msg")) {
            EXPECT_TRUE(text.ends_with("line 3\r\n\r\n.\r\n")) << name;
        }
    }
    EXPECT_EQ(reports.size(), 400u);
    for (auto& [number, extensions] : reports) {
        EXPECT_EQ(extensions.size(), 2u) << number;
        EXPECT_TRUE(extensions.count("msg")) << number;
        EXPECT_TRUE(extensions.count("ldl") != extensions.count("pdl")) << number;
    }
}

TEST_F(BounceTest, ReportParsesAsMail) {
    if (system("python3 -c 'import email' >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
    g_monotonicMs = 4242;
    ASSERT_EQ(Bounce(Message("m", "From: a@b.c\r\nSubject: s\r\n\r\nbody\r\n"), "sender@remote.org"), 1);
    std::string report = queue_ + "/bmr01092.msg";
    std::string script =
        "import email,sys\n"
        "m=email.message_from_binary_file(open(sys.argv[1],'rb'))\n"
        "print(m['To']);print(m['From']);print(m['Reply-To']);print(m['Subject'])\n"
        "print(len(m['Message-Id'])>35, m['Message-Id'].startswith('<'), m['Date'] is not None)\n"
        "print(m.get_payload().startswith('Delivery to x@y.z failed: 550'))\n";
    WriteFile(SandboxDir() + "/parse.py", script);
    ProcessResult r = RunProgram("/usr/bin/env", {"python3", SandboxDir() + "/parse.py", report});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "sender@remote.org\npostmaster@d.e\nnull@d.e\nFailed email report\nTrue True True\nTrue\n");
}

}  // namespace
}  // namespace tmtest
