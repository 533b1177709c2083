//===-- tests/tools/QueueCommandsTest.cpp - bounce, signal, queue, service ===//
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include "tmcommon.h"
#include "tools/ToolSupport.h"

namespace tmtest {
namespace {

TEST(QueueCommandsTest, BounceWritesAReportAndSignalNeedsTheService) {
    std::string root = MakeDir("root");
    MakeDir("root/queue");
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    ASSERT_EQ(reg.SetValue("RootPath", root.c_str()), 0);
    WriteFile(root + "/note.txt", "see the postmaster\r\n");
    std::string message = SandboxDir() + "/failed.msg";
    WriteFile(message, "Subject: x\r\n\r\nbody\r\n");
    Check({{"bounce", "--include", "note.txt", message, "someone", "mailer@d.e", "mailbox full"}, 0});
    std::string report, envelope;
    for (auto& e : std::filesystem::directory_iterator(root + "/queue")) {
        (e.path().extension() == ".msg" ? report : envelope) = ReadFile(e.path());
        EXPECT_NE(e.path().extension(), ".pdl");  // "someone" has no domain: local
    }
    EXPECT_NE(report.find("\r\n\r\nmailbox full\r\n\r\nsee the postmaster\r\n\r\n\r\nYour message"), std::string::npos)
        << report;
    EXPECT_EQ(envelope, "postmaster@d.e\r\nsomeone\r\n");
    const Call kCalls[] = {
        {{"bounce", SandboxDir() + "/none.msg", "r@x.y", "a@b.c", "why"}, 1, std::nullopt,
         "the failed message " + SandboxDir() + "/none.msg cannot be read: error 2 (ERROR_FILE_NOT_FOUND"},
        {{"bounce", message, "r@x.y\r\nBcc: all@x.y", "a@b.c", "why"}, 1, std::nullopt,
         "holds a control character: error 87"},
        {{"bounce", message, "r@x.y"}, 2},
        {{"signal", "external"}, 1, std::nullopt, "is the service running"},
        {{"signal", "sideways"}, 2},
    };
    for (const Call& call : kCalls) Check(call);
    // A queue that cannot take the report: the failure and its reason.
    std::filesystem::remove_all(root + "/queue");
    Check({{"bounce", message, "someone", "mailer@d.e", "mailbox full"}, 1, std::nullopt,
           "no report was written into " + root + "/queue: error 3 (ERROR_PATH_NOT_FOUND"});
    HANDLE outgoing = CreateEventA(nullptr, FALSE, FALSE, "Outgoing Message D02369B6-D2CF-11d1-86B0-0080C8330493");
    Check({{"signal", "external"}, 0});
    EXPECT_EQ(WaitForSingleObject(outgoing, 0), WAIT_OBJECT_0);
    CloseHandle(outgoing);
}

// Writes a queue file last written ago seconds before now.
void WriteQueueFile(const std::string& path, const std::string& content, time_t ago) {
    WriteFile(path, content);
    const timespec times[2] = {{time(nullptr) - ago, 0}, {time(nullptr) - ago, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// One line per report, oldest first, its age from the message file; an
// envelope or a message missing its other half is shown, not skipped.
TEST(QueueCommandsTest, ListShowsTheQueueOldestFirst) {
    const std::string root = MakeDir("list-root"), queue = MakeDir("list-root/queue");
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    ASSERT_EQ(reg.SetValue("RootPath", root.c_str()), 0);
    Check({{"queue", "list"}, 0, ""});
    WriteQueueFile(queue + "/bmr0000a.msg", "report", 3 * 3600 + 5);
    WriteQueueFile(queue + "/bmr0000a.pdl", "postmaster@d.e\r\nfar@x.y\r\n", 10);  // the message's age counts
    WriteQueueFile(queue + "/bmr0000b.msg", "report", 2 * 86400);
    WriteQueueFile(queue + "/bmr0000b.ldl", "postmaster@d.e\r\nnear\r\n", 2 * 86400);
    WriteQueueFile(queue + "/bmr0000c.msg", "report without an envelope", 90);
    WriteQueueFile(queue + "/bmr0000d.ldl", "postmaster@d.e\r\norphan\r\n", -3600);  // a clock ahead: no negative age
    WriteQueueFile(queue + "/notes.txt", "not a queue file", 5);
    Check({{"queue", "list"}, 0,
           "bmr0000b\t2d\tlocal\tpostmaster@d.e\tnear\n"
           "bmr0000a\t3h\texternal\tpostmaster@d.e\tfar@x.y\n"
           "bmr0000c\t1m\tno envelope\t\t\n"
           "bmr0000d\t0s\tlocal\tpostmaster@d.e\torphan\tno message\n"});
    std::filesystem::remove_all(queue);
    Check({{"queue", "list"}, 1, "", "the queue " + queue + " cannot be read: No such file or directory"});
}

const std::string kTools = TM_TOOLS_DIR;
const std::vector<std::string> kWin95 = {"TAMARAK_TEST_PLATFORM_ID=1"};

TEST(ServiceCommandsTest, InstallListRemoveOnBothPlatforms) {
    struct Step { std::vector<std::string> env; Call call; };
    const Step kSteps[] = {
        {{}, {{"service", "install", "TmCtl", "Tamarak Mail"}, 0, "installed TmCtl: " + kTools + "/tmarksvc\n"}},
        {{}, {{"service", "install", "TmCtl", "Other"}, 1, "", "error 1073 (ERROR_SERVICE_EXISTS"}},
        {{}, {{"service", "install", "TmCtl2", "Tamarak Mail"}, 1, "", "error 1078 (ERROR_DUPLICATE_SERVICE_NAME"}},
        {{}, {{"service", "list"}, 0, "TmCtl\tTamarak Mail\tauto\t" + kTools + "/tmarksvc\n"}},
        {{}, {{"service", "remove", "TmCtl"}, 0, "removed TmCtl\n"}},
        {{}, {{"service", "remove", "TmCtl"}, 1, "", "error 1060 (ERROR_SERVICE_DOES_NOT_EXIST"}},
        {kWin95, {{"service", "install", "TmCtl95", "unused"}, 0, "installed TmCtl95: \"" + kTools + "/tmark95s\" -service\n"}},
        {kWin95, {{"service", "list"}, 0, "TmCtl95\t\"" + kTools + "/tmark95s\" -service\n"}},
        {{}, {{"service", "list"}, 0, ""}},
        {kWin95, {{"service", "remove", "TmCtl95"}, 0, "removed TmCtl95\n"}},
        {kWin95, {{"service", "list"}, 0, ""}},
        {{}, {{"service", "install", "OnlyName"}, 2, "", "  tmctl service install NAME DISPLAY-NAME"}},
    };
    for (const Step& s : kSteps) Check(s.call, {}, s.env);
}

TEST(ServiceCommandsTest, DllStatusNamesWhatIsMissing) {
    Check({{"dll", "status"}, 0,
           "TMSCRIPT.DLL: not loaded: error 126 (ERROR_MOD_NOT_FOUND: the library was not found)\n"
           "RASAPI32.DLL: not loaded: error 126 (ERROR_MOD_NOT_FOUND: the library was not found)\n"});
    std::string dir = MakeDir("dll-status");
    std::filesystem::copy_file(TmctlPath(), dir + "/tmctl");
    std::filesystem::copy_file(std::string(TM_PLUGIN_DIR) + "/no-reset/libtmscript.so", dir + "/libtmscript.so");
    std::filesystem::copy_file(std::string(TM_PLUGIN_DIR) + "/no-rasdial/librasapi32.so", dir + "/librasapi32.so");
    ProcessResult some = RunProgram(dir + "/tmctl", {"dll", "status"});
    EXPECT_EQ(some.exitCode, 0) << some.err;
    EXPECT_EQ(some.out, "TMSCRIPT.DLL: loaded from " + dir + "/libtmscript.so\n"
                        "  missing: ResetScript (optional)\n"
                        "RASAPI32.DLL: loaded from " + dir + "/librasapi32.so\n"
                        "  missing: RasDialA\n"
                        "  the features that need the missing entry points do nothing\n");
    EXPECT_FALSE(std::filesystem::exists(dir + "/log")) << "asking writes no log";
}

}  // namespace
}  // namespace tmtest
