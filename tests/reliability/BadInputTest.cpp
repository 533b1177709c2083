//===-- tests/reliability/BadInputTest.cpp - What strangers may hand us ---===//
//
// Input far beyond its sizes, through tmctl and through the library: 10 KB
// arguments, 16 MB of base64, 1 MB texts, a registry file of random bytes.
// Each gets its documented answer, never a crash, a hang or a sanitizer
// report. (Each function's limits and refusals at their edges are rules of
// the unit tests; binary junk is the fuzzers' work.)
//
// An argument of 1 MB cannot reach a program at all (the kernel refuses
// an argument over 128 KiB with E2BIG), so the 1 MB cases go through
// standard input and the library's own functions.
//===----------------------------------------------------------------------===//
#include <functional>
#include <random>

#include "mail/CodecsReference.h"
#include "reliability/ReliabilitySupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

std::string Random(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

TEST(BadInputTest, EveryBadInputGetsAClearAnswerAndChangesNothingElse) {
    const std::string k10(10 * 1024, 'k'), m1(1 << 20, 'm'), huge = Random(12 << 20, 2);
    const std::string logs = MakeDir("logs"), randomDb = MakeDir("registries") + "/random.db";
    SetEventLogPath(const_cast<char*>(logs.c_str()));
    WriteFile(randomDb, Random(65536, 1));
    auto lastLine = [&] { return SplitLines(ReadFile(logs + "/" + std::filesystem::directory_iterator(logs)->path().filename().string())).back(); };
    // Through tmctl: the exit status, a text its message must hold, and its
    // output (or what made() gives).
    struct Run {
        const char* what;
        std::vector<std::string> args;
        std::string input;
        int status;
        const char* says;
        std::string out;
        std::function<std::string()> made = nullptr;
    };
    const Run kRuns[] = {
        {"key path of 10 KB", {"reg", "query", "HKLM/Software/" + k10, "x"}, "", 1, "ERROR_INVALID_PARAMETER", ""},
        {"value name and data of 10 KB", {"reg", "set", "HKLM/Software/BadInput", k10, k10}, "", 0, "", ""},
        {"... kept whole", {"reg", "query", "HKLM/Software/BadInput", k10}, "", 0, "", k10 + "\n"},
        {"date of 10 KB", {"date", "parse", k10}, "", 1, "gives 0", "0\n"},
        {"log text of 10 KB", {"log", "--dir", logs, k10}, "", 0, "", "1023",
         [&] { return std::to_string(lastLine().size() - lastLine().find(" kkk") - 1); }},
        {"16 MB of base64 in lines", {"mime", "decode"}, tmref::EncodeLines(huge), 0, "", huge},
        {"registry file of random bytes, left as it was", {"reg", "set", "params", "n", "v"}, "", 1, "ERROR_BADDB", "1",
         [&] { return std::to_string(ReadFile(randomDb) == Random(65536, 1) && !FileExists(randomDb + "-wal")); }},
    };
    for (const Run& r : kRuns) {
        SCOPED_TRACE(r.what);
        std::vector<std::string> env;
        if (std::string(r.what).starts_with("registry")) env.push_back("TAMARAK_REGISTRY=" + randomDb);
        ProcessResult o = RunProgram(TmctlPath(), r.args, env, r.input);
        EXPECT_EQ(o.exitCode, r.status) << o.err.substr(0, 500);
        EXPECT_NE(o.err.find(r.says), std::string::npos) << o.err.substr(0, 500);
        EXPECT_EQ(o.err.find("Sanitizer"), std::string::npos) << o.err.substr(0, 2000);
        EXPECT_EQ(o.err.find("runtime error"), std::string::npos) << o.err.substr(0, 2000);
        if (r.made) {
            EXPECT_EQ(r.made(), r.out);
        } else {
            EXPECT_TRUE(o.out == r.out) << o.out.size() << " bytes";
        }
    }
    // Through the library: what a call gives for 1 MB.
    struct Call {
        const char* what;
        std::function<std::string()> call;
        std::string result;
    };
    const Call kCalls[] = {
        {"key path", [&] { return std::to_string(CRegistry().CreateKey(HKEY_LOCAL_MACHINE, ("Software\\" + m1).c_str(), 0x2001F, 0)); },
         std::to_string(ERROR_INVALID_PARAMETER)},
        {"value name",
         [&] {
             CRegistry reg;
             reg.CreateKey(HKEY_LOCAL_MACHINE, "Software\\BadInput", 0x2001F, 0);
             return std::to_string(reg.SetValue(m1.c_str(), "v"));
         }, std::to_string(ERROR_INVALID_PARAMETER)},
        {"log text", [&] { return CEventLog(0).LogEvent(0x2000, "%s", m1.c_str()), lastLine().substr(lastLine().find(" mmm") + 1); },
         m1.substr(0, 1023)},
        {"date", [&] { return std::to_string(tm_getdate(m1.c_str())); }, "0"},
        {"address text",
         [&] {
             std::string text = "<" + m1 + ">";
             CString address;
             ParseAddress(text.data(), address);
             return std::to_string(IsValidEmailAddress(text.data())) + " " + std::to_string(address.GetLength());
         }, "0 80"},
        {"host", [&] { char id[128]; return std::to_string(strlen(GetMessageId(id, sizeof id, m1.c_str()))); }, "127"},
        {"log directory",
         [&] {
             std::string dir = "/" + m1;
             char now[512];
             SetEventLogPath(dir.data());
             TmGetEventLogPath(now, sizeof now);
             return std::string(now);
         }, logs + "/"},
    };
    for (const Call& c : kCalls) EXPECT_EQ(c.call(), c.result) << c.what << " of 1 MB";
    Figure("bad input: " + std::to_string(std::size(kRuns) + std::size(kCalls)) +
           " cases, every one answered with its documented status");
}

}  // namespace
}  // namespace tmtest
