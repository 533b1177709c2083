//===-- tests/tools/TmctlTest.cpp - The operators' command-line tool ------===//
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

#include "tools/ToolSupport.h"

namespace tmtest {
namespace {

TEST(TmctlTest, UsageAndExitStatus) {
    const Call kCalls[] = {
        {{}, 2, "", "usage: tmctl COMMAND"},
        {{"nonsense"}, 2, "", "unknown command"},
        {{"reg"}, 2, "", "tmctl reg list"},
        {{"reg", "frobnicate"}, 2, "", "unknown command 'reg frobnicate'"},
        {{"reg", "set", "--type", "qword", "params", "x", "1"}, 2, "", "unknown type 'qword'"},
        {{"reg", "set", "--type", "dword", "params", "x", "12z"}, 2, "", "not a 32-bit number"},
        {{"reg", "query", "HKEY_NOWHERE\\x"}, 2, "", "unknown root"},
        {{"log", "--type", "0x10000", "x"}, 2, "", "not a 16-bit event type"},
        {{"help"}, 0, std::nullopt, "", "reg query"},
        {{"help", "reg"}, 0, std::nullopt, "", "usage: tmctl reg set"},
        {{"env", "--help"}, 0, std::nullopt, "", "usage: tmctl env"},
    };
    for (const Call& call : kCalls) Check(call);
}

TEST(TmctlTest, ValuesRoundTrip) {
    const std::string key = "HKLM/Software/Kelt/Tamarak/Parameters";
    const Call kCalls[] = {
        {{"reg", "set", "--type", "sz", key, "Greeting", "hello world"}, 0, ""},
        {{"reg", "set", "--type", "dword", key, "Logging", "0x3f"}, 0, ""},
        {{"reg", "set", "--type", "binary", key, "Blob", "00 ff:10"}, 0, ""},
        {{"reg", "query", "params", "Greeting"}, 0, "hello world\n"},
        {{"reg", "query", "params", "Logging"}, 0, "63\n"},
        {{"reg", "query", "params", "Blob"}, 0, "00ff10\n"},
        {{"reg", "list", "HKEY_LOCAL_MACHINE\\Software\\Kelt\\Tamarak"}, 0, "Parameters\\\n"},
        {{"reg", "list", "params"}, 0, "Greeting\tREG_SZ\thello world\nLogging\tREG_DWORD\t63\nBlob\tREG_BINARY\t00ff10\n"},
        {{"reg", "delete", "params", "Greeting"}, 0},
        {{"reg", "query", "params", "Greeting"}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
        // A key goes only when asked for by name, and tmctl says what went.
        {{"reg", "delete", "params"}, 2, "", "needs --key"},
        {{"reg", "list", "params"}, 0, "Logging\tREG_DWORD\t63\nBlob\tREG_BINARY\t00ff10\n"},
        {{"reg", "delete", "--key", "params", "Logging"}, 2, "", "takes no NAME"},
        {{"reg", "delete", "--key", "HKLM\\Software\\Kelt"}, 1, "", "error 5 (ERROR_ACCESS_DENIED"},
        {{"reg", "delete", "--key", "params"}, 0, "deleted key params and its 2 values\n"},
        {{"reg", "list", "params"}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "set", "HKCU/Empty", "x", "1"}, 0, ""},
        {{"reg", "delete", "HKCU/Empty", "x"}, 0, ""},
        {{"reg", "delete", "-f", "HKCU/Empty"}, 0, "deleted key HKCU/Empty and its 0 values\n"},
        {{"reg", "delete", "-f", "HKCU/Empty"}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
    };
    for (const Call& call : kCalls) Check(call);
}

const std::string kListKey = "HKLM/Software/ListTest";

// Items are stored as a multi-string and read back one per line; another
// type is read as a list, with a note.
TEST(TmctlTest, Lists) {
    const Call kCalls[] = {
        {{"reg", "list-set", kListKey, "Domains", " spaced out ", "*.d.e"}, 0, ""},
        {{"reg", "list-get", kListKey, "Domains"}, 0, " spaced out \n*.d.e\n"},
        {{"reg", "list-set", kListKey, "Domains", "x"}, 0, ""},
        {{"reg", "list-get", kListKey, "Domains"}, 0, "x\n"},
        {{"reg", "list-set", kListKey, "Domains", "one", "", "three"}, 2, "", "item 2 is empty"},
        {{"reg", "list-get", kListKey, "Domains"}, 0, "x\n"},
        {{"reg", "list-get", kListKey, "Missing"}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "list-get", "HKLM\\Software\\Nowhere", "Kept"}, 1, "", "key HKLM\\Software\\Nowhere: error 2"},
        {{"reg", "list-get", kListKey}, 2, "", "tmctl reg list-get KEY NAME"},
        {{"reg", "set", kListKey, "Text", "abc"}, 0, ""},
        {{"reg", "list-get", kListKey, "Text"}, 0, "abc\n", "not a multi-string value"},
    };
    for (const Call& call : kCalls) Check(call);
}

TEST(TmctlTest, LogAndEnv) {
    std::string dir = MakeDir("tmctl-log");
    Check({{"log", "--dir", dir, "an operator's line"}, 0});
    std::string all;
    for (auto& e : std::filesystem::directory_iterator(dir)) all += ReadFile(e.path());
    EXPECT_NE(all.find("tmctl    ~ "), std::string::npos) << all;
    EXPECT_NE(all.find(" an operator's line\r\n"), std::string::npos) << all;
    // A line that was not written is a failure that says why.
    char today[32];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(today, sizeof today, "/TM%y%m%d.log", &local);
    std::string blocked = MakeDir("tmctl-blocked"), tooLong = "/" + std::string(300, 'd');
    ASSERT_EQ(mkdir((blocked + today).c_str(), 0755), 0);  // a directory with the day file's name
    const Call kFailures[] = {
        {{"log", "--dir", dir + "/missing", "x"}, 1, std::nullopt, "log directory " + dir + "/missing/ does not exist"},
        {{"log", "--dir", blocked, "x"}, 1, std::nullopt, "not written to the log in " + blocked + "/: error 5 (ERROR_ACCESS_DENIED"},
        {{"log", "--dir", tooLong, "x"}, 1, std::nullopt, "the log directory " + tooLong + " was refused"},
        {{"log", "--dir", dir, "--type", "0x400", "x"}, 1, std::nullopt, "event type 0x400 is not in the main log's mask"},
        {{"log", "--dir", "", "x"}, 2, std::nullopt, "the log directory is empty"},
    };
    for (const Call& call : kFailures) Check(call);
    if (geteuid() != 0) {  // permissions do not stop root
        std::string readOnly = MakeDir("tmctl-read-only");
        WriteFile(readOnly + today, "");
        ASSERT_EQ(chmod((readOnly + today).c_str(), 0444), 0);
        Check({{"log", "--dir", readOnly, "x"}, 1, std::nullopt, "error 5 (ERROR_ACCESS_DENIED"});
        ASSERT_EQ(chmod(readOnly.c_str(), 0555), 0);
        Check({{"log", "--web", "--dir", readOnly, "x"}, 1, std::nullopt, "error 5 (ERROR_ACCESS_DENIED"});
        chmod(readOnly.c_str(), 0755);
    }
    ProcessResult env = Tmctl({"env"});
    EXPECT_EQ(env.exitCode, 0);
    EXPECT_NE(env.out.find("registry:       " + SandboxDir() + "/registry.db"), std::string::npos) << env.out;
}

}  // namespace
}  // namespace tmtest
