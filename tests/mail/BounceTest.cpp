//===-- tests/mail/BounceTest.cpp - Bounce reports and queue signals ------===//
#include <fcntl.h>
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

// The tick count's clock, held still while set so that the report number
// is known.
uint64_t g_monotonicMs = 0;
int FixedClocks(clockid_t clock, struct timespec* ts) {
    if (clock != CLOCK_MONOTONIC || !g_monotonicMs) return FakeClock(clock, ts);
    *ts = {static_cast<time_t>(g_monotonicMs / 1000), static_cast<long>(g_monotonicMs % 1000) * 1000000L};
    return 0;
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
    static void SetText(const char* name, const char* value) {
        CRegistry reg;
        ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
        if (!value) {
            reg.DeleteValue(name);
        } else {
            ASSERT_EQ(reg.SetValue(name, value), 0);
        }
    }
    std::string Message(const std::string& text) {
        WriteFile(SandboxDir() + "/m", text);
        return SandboxDir() + "/m";
    }
    std::map<std::string, std::string> Queue() const {
        std::map<std::string, std::string> files;
        for (auto& e : std::filesystem::directory_iterator(queue_)) files[e.path().filename()] = ReadFile(e.path());
        return files;
    }
    // The texts of the report and of the envelope in the queue, which is
    // emptied.
    std::pair<std::string, std::string> TakeReport() {
        std::pair<std::string, std::string> texts;
        for (auto& [name, text] : Queue()) (name.ends_with(".msg") ? texts.first : texts.second) = text;
        for (auto& e : std::filesystem::directory_iterator(queue_)) std::filesystem::remove(e.path());
        return texts;
    }
    static std::string Body(int lines) {
        std::string text;
        for (int i = 1; i <= lines; ++i) text += "line " + std::to_string(i) + "\r\n";
        return text;
    }
    static int Bounce(const std::string& message, const char* recipient, const char* include = nullptr,
                      const char* reporting = "user@d.e") {
        std::string r = recipient;
        return BounceEmail(message.c_str(), r.data(), reporting, include, "Delivery to %s failed: %d", "x@y.z", 550);
    }
    // The call failed with the code, and the main log's last line says so.
    void ExpectReported(DWORD code, const std::string& label) {
        EXPECT_EQ(GetLastError(), code) << label;
        const std::vector<std::string> lines = MainLines();
        char text[64];
        snprintf(text, sizeof text, "System error 0x%x at line ", static_cast<unsigned>(code));
        EXPECT_TRUE(!lines.empty() && lines.back().find(text) != std::string::npos) << label << ": " << MainLog();
    }
    std::string queue_;
};

TEST_F(BounceTest, ReportLayoutLineByLine) {
    g_monotonicMs = 0x123456789ull;  // report number 0x56789
    ASSERT_EQ(Bounce(Message("From: sender@remote.org\r\nSubject: hi\r\n\r\n" + Body(30)), "sender@remote.org"), 1);
    auto files = Queue();
    ASSERT_EQ(files.size(), 2u);
    const std::string& report = files["bmr56789.msg"];
    std::smatch m;
    ASSERT_TRUE(std::regex_search(report, m, std::regex("^Message-Id: <[0-9a-f]{32}@postmaster\\.d\\.e>\r\n")))
        << report;
    std::string rest = report.substr(m.length());
    EXPECT_EQ(rest, "Date: Wed, 10 Nov 2004 09:08:07 " + rest.substr(32, 5) + "\r\n"
                    "To: sender@remote.org\r\nFrom: postmaster@d.e\r\nReply-To: null@d.e\r\n"
                    "Subject: Failed email report\r\n\r\n"
                    "Delivery to x@y.z failed: 550\r\n\r\nYour message starts:\r\n\r\n\r\n"
                    "From: sender@remote.org\r\nSubject: hi\r\n\r\n" + Body(20) + "\r\n.\r\n");
    EXPECT_EQ(files["bmr56789.pdl"], "postmaster@d.e\r\nsender@remote.org\r\n");
}

TEST_F(BounceTest, IncludeFileAndTheStartOfTheMessage) {
    const std::string notice = "First notice line.\r\n" + std::string(700, 'n') + "\r\nLast", x600(600, 'x');
    const std::string starts = "Your message starts:\r\n\r\n\r\n", shortMessage = "H: 1\r\n\r\nb\r\n";
    WriteFile(root_ + "/notice.txt", notice);
    struct Case { const char* include; std::string message, body; };
    const Case kCases[] = {
        // Up to a dot line; the header alone; twenty lines, of which one of
        // 600 characters counts as three pieces.
        {nullptr, "H: 1\r\n\r\n" + Body(5) + ".\r\n" + Body(3), starts + "H: 1\r\n\r\n" + Body(5)},
        {nullptr, "H: 1\r\nH: 2\r\n", starts + "H: 1\r\nH: 2\r\n\r\n"},
        {nullptr, "H: 1\r\n\r\n" + x600 + "\r\n" + Body(30), starts + "H: 1\r\n\r\n" + x600 + "\r\n" + Body(17)},
        // An include file is copied whole, a missing one left out.
        {"notice.txt", shortMessage, notice + "\r\n\r\n" + starts + shortMessage},
        {"missing.txt", shortMessage, starts + shortMessage},
        // So is a name that is not a file below the root path.
        {"", shortMessage, starts + shortMessage},
        {"../outside.txt", shortMessage, starts + shortMessage},
        {"sub/../../outside.txt", shortMessage, starts + shortMessage},
        {"..\\outside.txt", shortMessage, starts + shortMessage},
        {"/notice.txt", shortMessage, starts + shortMessage},
        {"sub/..notice", shortMessage, "kept\r\n\r\n" + starts + shortMessage},
    };
    WriteFile(root_ + "/../outside.txt", "a file outside the root path\r\n");
    MakeDir(root_.substr(SandboxDir().size() + 1) + "/sub");
    WriteFile(root_ + "/sub/..notice", "kept");
    for (const Case& c : kCases) {
        ASSERT_EQ(Bounce(Message(c.message), "local", c.include), 1);
        const std::string report = TakeReport().first, head = "failed: 550\r\n\r\n";
        ASSERT_NE(report.find(head), std::string::npos) << report;
        EXPECT_EQ(report.substr(report.find(head) + head.size()), c.body + "\r\n.\r\n") << c.message.substr(0, 20);
    }
}

TEST_F(BounceTest, SenderFromDefaultMailboxOrPostmaster) {
    struct Case { const char* mailbox; const char* reporting; const char* sender; const char* replyTo; const char* idEnd; bool readOnly; };
    const Case kCases[] = {
        {"admin", "user@d.e", "admin", "", "@admin>", false},
        {"boss@corp.example", "user@d.e", "boss@corp.example", "null@corp.example", "@boss.corp.example>", false},
        {nullptr, "nodomain", "postmaster", "", "@postmaster>", false},
        // A process that may only read the parameters key reads it.
        {"admin", "user@d.e", "admin", "", "@admin>", true},
    };
    for (const Case& c : kCases) {
        SetText("DefaultMailbox", c.mailbox);
        if (c.readOnly) {
            ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_READ), 0);
        }
        const int result = Bounce(Message("H: 1\r\n\r\nbody\r\n"), "r@remote.org", nullptr, c.reporting);
        ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_ALL_ACCESS | MAXIMUM_ALLOWED), 0);
        ASSERT_EQ(result, 1);
        const auto [report, envelope] = TakeReport();
        EXPECT_NE(report.find("From: " + std::string(c.sender) + "\r\n"), std::string::npos) << report;
        std::smatch replyTo;
        std::regex_search(report, replyTo, std::regex("Reply-To: (.*)\r\n"));
        EXPECT_EQ(replyTo.empty() ? "" : replyTo[1].str(), c.replyTo) << report;
        EXPECT_NE(report.find(c.idEnd), std::string::npos) << report;
        EXPECT_EQ(envelope, std::string(c.sender) + "\r\nr@remote.org\r\n");
    }
}

TEST_F(BounceTest, NumbersAreNeverShared) {
    WriteFile(queue_ + "/bmrfffff.msg", "another report");
    WriteFile(queue_ + "/bmr00000.pdl", "an envelope whose report was taken");
    const std::string message = Message("H: 1\r\n\r\nb\r\n");
    // The tick count's number first, the next free one when it is taken;
    // behind the clock, this process goes on after the last number it took,
    // even past a number whose report has been delivered meanwhile.
    struct Step { uint64_t ms; const char* delivered; const char* recipient; const char* taken; };
    const Step kSteps[] = {
        {0x100000 + 0xFFFFF, nullptr, "a@remote.org", "bmr00001.pdl"},  // number 0xfffff, then wrapping to 0
        {0x100000 + 0xFFFFF, nullptr, "local", "bmr00002.ldl"},         // same millisecond
        {0x200001, "bmr00001", "local", "bmr00003.ldl"},                // the clock still behind
        {0x200010, nullptr, "local", "bmr00010.ldl"},                   // the clock ahead again
    };
    for (const Step& s : kSteps) {
        if (s.delivered) {
            for (const char* ext : {".msg", ".pdl"}) std::filesystem::remove(queue_ + "/" + s.delivered + ext);
        }
        g_monotonicMs = s.ms;
        ASSERT_EQ(Bounce(message, s.recipient), 1);
        EXPECT_TRUE(Queue().count(s.taken)) << s.taken;
    }
    auto files = Queue();
    EXPECT_EQ(files["bmrfffff.msg"], "another report");
    EXPECT_EQ(files["bmr00000.pdl"], "an envelope whose report was taken");
    EXPECT_EQ(files.size(), 2 + 2 * (std::size(kSteps) - 1));
}

// System calls through the table, recorded: the queue files opened, and
// whether one of them got a share-mode mark, or any file did.
std::vector<std::string> g_opened;
std::set<int> g_queueFds;
bool g_queueMarked = false, g_marked = false;

// A burst of reports in one millisecond costs one open per queue file;
// the envelopes are looked for without opening them, and the files the
// reports create carry no share-mode marks: nobody else opens them yet.
TEST_F(BounceTest, ABurstOpensEachFileOnce) {
    constexpr int kReports = 30;
    g_monotonicMs = 0x5000;
    const std::string message = Message("H: 1\r\n\r\nb\r\n");
    w32::Sys().open = [](const char* path, int flags, mode_t mode) {
        int fd = open(path, flags, mode);
        if (fd >= 0 && strstr(path, "/queue/")) g_queueFds.insert(fd), g_opened.push_back(path);
        return fd;
    };
    w32::Sys().close = [](int fd) { return g_queueFds.erase(fd), close(fd); };
    w32::Sys().fcntlLock = [](int fd, int cmd, struct flock* lock) {
        g_marked = true;
        g_queueMarked = g_queueMarked || g_queueFds.count(fd);
        return fcntl(fd, cmd, lock);
    };
    for (int i = 0; i < kReports; ++i) ASSERT_EQ(Bounce(message, "r@remote.org"), 1);
    w32::ResetSysCalls();
    w32::Sys().clockGettime = FixedClocks;
    EXPECT_EQ(Queue().size(), 2u * kReports);
    EXPECT_TRUE(Queue().count("bmr05000.pdl") && Queue().count("bmr0501d.pdl"));
    std::map<std::string, int> opens;
    for (const std::string& path : g_opened) ++opens[path.substr(path.size() - 3)];
    EXPECT_EQ(opens, (std::map<std::string, int>{{"msg", kReports}, {"tmp", kReports}}));
    EXPECT_FALSE(g_queueMarked);
    EXPECT_TRUE(g_marked) << "the failed message is held against writers";
}

TEST_F(BounceTest, NothingToDoAndFailures) {
    const std::string message = Message("H: 1\r\n\r\nb\r\n");
    // An empty recipient: nothing written, nothing signalled.
    EXPECT_EQ(Bounce(message, ""), 1);
    EXPECT_EQ(OpenEventA(EVENT_MODIFY_STATE, FALSE, kQueueEvent), nullptr);
    // A failed message that cannot be read, or is a directory: the reason
    // in the last error, nothing written, nothing reported.
    EXPECT_EQ(Bounce(SandboxDir() + "/no-such.msg", "r@remote.org"), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Bounce(SandboxDir(), "r@remote.org"), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Queue().empty());
    EXPECT_EQ(MainLog(), "");

    // Refused and reported with the Win32 code, nothing written: a control
    // character in either address would add envelope and header lines; a
    // root path that leaves the queue's paths over 255 characters.
    const std::string root = root_, longRoot = root_ + "/" + std::string(236 - root_.size() - 1, 'r');
    MakeDir(longRoot.substr(SandboxDir().size() + 1));
    MakeDir(longRoot.substr(SandboxDir().size() + 1) + "/queue");
    struct Case { const char* recipient; const char* mailbox; std::string rootPath; int result; DWORD error; };
    const Case kCases[] = {
        {"r@remote.org\r\nsecond@remote.org", nullptr, root, 0, ERROR_INVALID_PARAMETER},
        {"r@remote.org\n", nullptr, root, 0, ERROR_INVALID_PARAMETER},
        {"r\t@remote.org", nullptr, root, 0, ERROR_INVALID_PARAMETER},
        {"r@remote.org", "admin@d.e\r\nBcc: all@d.e", root, 0, ERROR_INVALID_PARAMETER},
        {"r@remote.org", "admin\x7f", root, 0, ERROR_INVALID_PARAMETER},
        {"r@remote.org", nullptr, longRoot + "r", 0, ERROR_FILENAME_EXCED_RANGE},
        // The report's path has 255 characters: it fits.
        {"r@remote.org", nullptr, longRoot, 1, 0},
    };
    for (const Case& c : kCases) {
        SetText("DefaultMailbox", c.mailbox);
        snprintf(g_szRootPath, sizeof g_szRootPath, "%s", c.rootPath.c_str());
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(Bounce(message, c.recipient), c.result) << c.recipient;
        if (c.result == 0) ExpectReported(c.error, c.recipient);
        std::error_code missing;
        auto files = std::distance(std::filesystem::directory_iterator(c.rootPath + "/queue", missing),
                                   std::filesystem::directory_iterator());
        EXPECT_EQ(files, c.result ? 2 : 0) << c.recipient;
    }
    SetText("DefaultMailbox", nullptr);
    snprintf(g_szRootPath, sizeof g_szRootPath, "%s", root.c_str());

    // A queue that cannot take the report: 0, reported with the system's
    // code; the queue event is set all the same.
    HANDLE queueEvent = CreateEventA(nullptr, FALSE, FALSE, kQueueEvent);
    std::filesystem::remove(queue_);
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(Bounce(message, "r@remote.org"), 0);
    ExpectReported(ERROR_PATH_NOT_FOUND, "no queue");
    EXPECT_EQ(WaitForSingleObject(queueEvent, 0), WAIT_OBJECT_0);
    CloseHandle(queueEvent);
}

// An envelope that cannot be written leaves no report behind it either:
// a report without an envelope is never delivered.
TEST_F(BounceTest, FailedEnvelopeTakesItsReportAlong) {
    g_monotonicMs = 0x7000;
    const std::string message = Message("H: 1\r\n\r\nb\r\n");
    mkdir((queue_ + "/bmr07000.tmp").c_str(), 0755);  // the envelope's temporary name is taken
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(Bounce(message, "local"), 0);
    ExpectReported(ERROR_ACCESS_DENIED, "envelope");
    auto files = Queue();
    EXPECT_EQ(files.size(), 1u);
    EXPECT_TRUE(files.count("bmr07000.tmp"));
    // The envelope written but not renamed into place: nothing of it stays.
    g_monotonicMs = 0x7100;
    w32::Sys().rename = [](const char*, const char*) -> int { return errno = ENOSPC, -1; };
    EXPECT_EQ(Bounce(message, "local"), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(Queue(), files);
}

TEST_F(BounceTest, SignalsNeedTheServicesEvents) {
    EXPECT_EQ(SignalExternalEmail(), 0);
    EXPECT_EQ(MainLog(), "");  // a missing outgoing-mail event is reported to nobody
    EXPECT_EQ(SignalPriorityEmail(), 0);
    std::vector<std::string> lines = MainLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_search(lines[0], std::regex("! 09:08:07 .* System error 0x2 at line \\d+ of Utilities")))
        << lines[0];
    HANDLE outgoing = CreateEventA(nullptr, TRUE, FALSE, "Outgoing Message D02369B6-D2CF-11d1-86B0-0080C8330493");
    HANDLE priority = CreateEventA(nullptr, FALSE, FALSE, "Priority Message D02369B6-D2CF-11d1-86B0-0080C8330493");
    EXPECT_EQ(SignalExternalEmail(), 1);
    EXPECT_EQ(SignalPriorityEmail(), 1);
    EXPECT_EQ(WaitForSingleObject(outgoing, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(priority, 0), WAIT_OBJECT_0);
    EXPECT_EQ(MainLines().size(), 1u);
    CloseHandle(outgoing);
    CloseHandle(priority);
}

}  // namespace
}  // namespace tmtest
