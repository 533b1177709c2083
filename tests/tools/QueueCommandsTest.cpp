//===-- tests/tools/QueueCommandsTest.cpp - tmctl bounce and signal -------===//
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

}  // namespace
}  // namespace tmtest
