//===-- tests/tools/QueueCommandsTest.cpp - tmctl bounce and signal -------===//
#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

ProcessResult Tmctl(const std::vector<std::string>& args) { return RunProgram(TmctlPath(), args); }

TEST(QueueCommandsTest, BounceWritesAReportAndSignalNeedsTheService) {
    std::string root = MakeDir("root");
    MakeDir("root/queue");
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    ASSERT_EQ(reg.SetValue("RootPath", root.c_str()), 0);
    WriteFile(root + "/note.txt", "see the postmaster\r\n");
    std::string message = SandboxDir() + "/failed.msg";
    WriteFile(message, "Subject: x\r\n\r\nbody\r\n");
    ProcessResult r = Tmctl({"bounce", "--include", "note.txt", message, "someone", "mailer@d.e", "mailbox full"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string report, envelope;
    for (auto& e : std::filesystem::directory_iterator(root + "/queue")) {
        (e.path().extension() == ".msg" ? report : envelope) = ReadFile(e.path());
        EXPECT_NE(e.path().extension(), ".pdl");  // "someone" has no domain: local
    }
    EXPECT_NE(report.find("\r\n\r\nmailbox full\r\n\r\nsee the postmaster\r\n\r\n\r\nYour message"), std::string::npos)
        << report;
    EXPECT_EQ(envelope, "postmaster@d.e\r\nsomeone\r\n");
    ProcessResult missing = Tmctl({"bounce", SandboxDir() + "/none.msg", "r@x.y", "a@b.c", "why"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(Tmctl({"bounce", message, "r@x.y"}).exitCode, 2);
    ProcessResult signal = Tmctl({"signal", "external"});
    EXPECT_EQ(signal.exitCode, 1);
    EXPECT_NE(signal.err.find("is the service running"), std::string::npos);
    EXPECT_EQ(Tmctl({"signal", "sideways"}).exitCode, 2);
    HANDLE outgoing = CreateEventA(nullptr, FALSE, FALSE, "Outgoing Message D02369B6-D2CF-11d1-86B0-0080C8330493");
    EXPECT_EQ(Tmctl({"signal", "external"}).exitCode, 0);
    EXPECT_EQ(WaitForSingleObject(outgoing, 0), WAIT_OBJECT_0);
    CloseHandle(outgoing);
}

}  // namespace
}  // namespace tmtest
