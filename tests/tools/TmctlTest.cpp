//===-- tests/tools/TmctlTest.cpp - The operators' command-line tool ------===//
#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace tmtest {
namespace {

ProcessResult Tmctl(const std::vector<std::string>& args) { return RunProgram(TmctlPath(), args); }

TEST(TmctlTest, UsageAndExitStatus) {
    struct Case { std::vector<std::string> args; int exitCode; const char* inErr; const char* inOut; };
    const Case kCases[] = {
        {{}, 2, "usage: tmctl COMMAND", ""},
        {{"help"}, 0, "", "reg query"},
        {{"help", "reg"}, 0, "", "usage: tmctl reg set"},
        {{"nonsense"}, 2, "unknown command", ""},
        {{"reg"}, 2, "tmctl reg list", ""},
        {{"reg", "frobnicate"}, 2, "unknown command 'reg frobnicate'", ""},
        {{"reg", "query"}, 2, "usage:", ""},
        {{"reg", "set", "--type", "qword", "params", "x", "1"}, 2, "unknown type 'qword'", ""},
        {{"reg", "set", "--type", "dword", "params", "x", "12z"}, 2, "not a 32-bit number", ""},
        {{"reg", "query", "HKEY_NOWHERE\\x"}, 2, "unknown root", ""},
        {{"log", "--type", "0x10000", "x"}, 2, "not a 16-bit event type", ""},
        {{"env", "--help"}, 0, "", "usage: tmctl env"},
    };
    for (const Case& c : kCases) {
        ProcessResult r = Tmctl(c.args);
        std::string label = c.args.empty() ? "(none)" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(r.exitCode, c.exitCode) << label << "\n" << r.err;
        EXPECT_NE(r.err.find(c.inErr), std::string::npos) << label << "\n" << r.err;
        EXPECT_NE(r.out.find(c.inOut), std::string::npos) << label << "\n" << r.out;
    }
}

TEST(TmctlTest, ValuesRoundTrip) {
    struct Case { const char* type; const char* name; const char* value; const char* shown; };
    const Case kCases[] = {
        {"sz", "Greeting", "hello world", "hello world\n"},
        {"dword", "Logging", "0x3f", "63\n"},
        {"binary", "Blob", "00 ff:10", "00ff10\n"},
    };
    for (const Case& c : kCases) {
        ProcessResult set = Tmctl({"reg", "set", "--type", c.type, "HKLM/Software/Kelt/Tamarak/Parameters", c.name, c.value});
        ASSERT_EQ(set.exitCode, 0) << set.err;
        ProcessResult query = Tmctl({"reg", "query", "params", c.name});
        EXPECT_EQ(query.exitCode, 0) << query.err;
        EXPECT_EQ(query.out, c.shown);
    }
    ProcessResult list = Tmctl({"reg", "list", "HKEY_LOCAL_MACHINE\\Software\\Kelt\\Tamarak"});
    EXPECT_EQ(list.out, "Parameters\\\n");
    list = Tmctl({"reg", "list", "params"});
    EXPECT_EQ(list.out, "Greeting\tREG_SZ\thello world\nLogging\tREG_DWORD\t63\nBlob\tREG_BINARY\t00ff10\n");
    EXPECT_EQ(Tmctl({"reg", "delete", "params", "Greeting"}).exitCode, 0);
    ProcessResult missing = Tmctl({"reg", "query", "params", "Greeting"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("error 2 (ERROR_FILE_NOT_FOUND"), std::string::npos) << missing.err;
    ProcessResult parent = Tmctl({"reg", "delete", "HKLM\\Software\\Kelt"});
    EXPECT_EQ(parent.exitCode, 1);
    EXPECT_NE(parent.err.find("error 5 (ERROR_ACCESS_DENIED"), std::string::npos) << parent.err;
}

TEST(TmctlTest, LogAndEnv) {
    std::string dir = MakeDir("tmctl-log");
    ProcessResult r = Tmctl({"log", "--dir", dir, "an operator's line"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string all;
    for (auto& e : std::filesystem::directory_iterator(dir)) all += ReadFile(e.path());
    EXPECT_NE(all.find("tmctl    ~ "), std::string::npos) << all;
    EXPECT_NE(all.find(" an operator's line\r\n"), std::string::npos) << all;
    ProcessResult lost = Tmctl({"log", "--dir", dir + "/missing", "x"});
    EXPECT_EQ(lost.exitCode, 1);
    EXPECT_NE(lost.err.find("does not exist"), std::string::npos);
    ProcessResult env = Tmctl({"env"});
    EXPECT_EQ(env.exitCode, 0);
    EXPECT_NE(env.out.find("registry:       " + SandboxDir() + "/registry.db"), std::string::npos) << env.out;
}

}  // namespace
}  // namespace tmtest
