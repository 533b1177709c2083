//===-- tests/reliability/BadInputTest.cpp - What strangers may hand us ---===//
//
// Bad input through tmctl and through the library, one table: overlong
// arguments, binary junk, invalid key paths, registry files that are no
// database, huge base64. Each must get a clear error (or its documented
// result), never a crash or a sanitizer report, and leave nothing where it
// should not be. (Broken tree files, log directories and uuencoded names
// of other places are rules of the tree-file and tmctl tests.)
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

// What a case came to: an exit status or a function's result, what it
// said on standard error and what it wrote or made.
struct Outcome {
    int status = 0;
    std::string err, out;
};

Outcome Tmctl(const std::vector<std::string>& args, const std::string& registry = {}, const std::string& input = {}) {
    ProcessResult r = RunProgram(TmctlPath(), args, registry.empty() ? std::vector<std::string>{}
                                                                     : std::vector<std::string>{"TAMARAK_REGISTRY=" + registry}, input);
    return {r.exitCode, r.err, r.out};
}

std::string Random(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

TEST(BadInputTest, EveryBadInputGetsAClearAnswerAndChangesNothingElse) {
    const std::string k10(10 * 1024, 'k'), m1(1 << 20, 'm'), junk = "\xff\xfe\x01\x02\x7f\x1b[2J\x80";
    const std::string logs = MakeDir("logs"), registries = MakeDir("registries");
    SetEventLogPath(const_cast<char*>(logs.c_str()));
    // A registry of random bytes, and a real one cut in half, folded into
    // its main file alone (no -wal or -shm beside it).
    const std::string randomDb = registries + "/random.db", truncated = registries + "/truncated.db";
    WriteFile(randomDb, Random(65536, 1));
    ASSERT_EQ(Tmctl({"reg", "init"}, truncated).status, 0);
    ASSERT_EQ(Tmctl({"reg", "set", "params", "Text", std::string(20000, 't')}, truncated).status, 0);
    sqlite3* db = nullptr;
    sqlite3_open(truncated.c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ASSERT_FALSE(FileExists(truncated + "-wal"));
    truncate(truncated.c_str(), static_cast<off_t>(ReadFile(truncated).size() / 2));
    const std::string before[] = {ReadFile(randomDb), ReadFile(truncated)};
    const std::string huge = Random(12 << 20, 2), oneLine = Random(12 << 20, 3);
    auto lastLog = [&](const Outcome&) { return SplitLines(ReadFile(logs + "/" + std::filesystem::directory_iterator(logs)->path().filename().string())).back(); };
    auto library = [](int status, std::string made = {}) { return Outcome{status, {}, std::move(made)}; };

    struct Case {
        const char* what;
        std::function<Outcome()> run;
        int status;                      // exit status, or the library's result
        const char* says = "";           // text the message must hold
        std::function<std::string(const Outcome&)> made = nullptr;
        std::string expected = {};       // what made() must give
    };
    const Case kCases[] = {
        {"key path of 10 KB", [&] { return Tmctl({"reg", "query", "HKLM/Software/" + k10, "x"}); }, 1, "ERROR_INVALID_PARAMETER"},
        {"value name and data of 10 KB, kept whole",
         [&] {
             Outcome set = Tmctl({"reg", "set", "HKLM/Software/BadInput/Long", k10, k10});
             return set.status ? set : Tmctl({"reg", "query", "HKLM/Software/BadInput/Long", k10});
         }, 0, "", [](const Outcome& o) { return o.out; }, k10 + "\n"},
        {"date of 10 KB", [&] { return Tmctl({"date", "parse", k10}); }, 1, "gives 0"},
        {"address text of 10 KB", [&] { return Tmctl({"addr", "parse", "<" + k10 + ">"}); }, 0, "",
         [](const Outcome& o) { return std::to_string(o.out.size() <= 81); }, "1"},
        {"log text of 10 KB", [&] { return Tmctl({"log", "--dir", logs, k10}); }, 0, "",
         [&](const Outcome& o) { return lastLog(o).substr(lastLog(o).size() - 1024); }, " " + k10.substr(0, 1023)},
        {"junk date", [&] { return Tmctl({"date", "parse", junk}); }, 1, "gives 0"},
        {"junk address", [&] { return Tmctl({"addr", "email", junk}); }, 1, "",
         [](const Outcome& o) { return o.out.substr(0, 9); }, "not valid"},
        {"junk key", [&] { return Tmctl({"reg", "query", "HKLM/Software/BadInput/" + junk}); }, 1, "ERROR_FILE_NOT_FOUND"},
        {"junk base64", [&] { return Tmctl({"mime", "decode"}, {}, Random(1 << 16, 4)); }, 0},
        {"unknown root", [] { return Tmctl({"reg", "query", "HKEY_NOWHERE/Software"}); }, 2},
        {"key name of 256 characters", [] { return Tmctl({"reg", "set", "HKLM/Software/" + std::string(256, 'n'), "n", "v"}); },
         1, "ERROR_INVALID_PARAMETER"},
        // A registry that is no database is left as it was, without -wal
        // or -shm files beside it.
        {"registry file of random bytes", [&] { return Tmctl({"reg", "set", "params", "n", "v"}, randomDb); }, 1,
         "ERROR_BADDB", [&](const Outcome&) { return std::to_string(ReadFile(randomDb) == before[0] && !FileExists(randomDb + "-wal")); }, "1"},
        {"truncated registry file", [&] { return Tmctl({"reg", "query", "params", "Text"}, truncated); }, 1, "ERROR_BADDB",
         [&](const Outcome&) { return std::to_string(ReadFile(truncated) == before[1] && !FileExists(truncated + "-shm")); }, "1"},
        {"16 MB of base64 in lines", [&] { return Tmctl({"mime", "decode"}, {}, tmref::EncodeLines(huge)); }, 0, "",
         [&](const Outcome& o) { return std::to_string(o.out == huge); }, "1"},
        {"one base64 line of 16 MB", [&] { return Tmctl({"mime", "decode"}, {}, tmref::Encode(oneLine)); }, 0, "",
         [&](const Outcome& o) { return std::to_string(o.out == oneLine); }, "1"},
        // 1 MB through the library itself.
        {"key path of 1 MB",
         [&] { return library(static_cast<int>(CRegistry().CreateKey(HKEY_LOCAL_MACHINE, ("Software\\" + m1).c_str(), 0x2001F, 0))); },
         ERROR_INVALID_PARAMETER},
        {"value name of 1 MB",
         [&] {
             CRegistry reg;
             reg.CreateKey(HKEY_LOCAL_MACHINE, "Software\\BadInput", 0x2001F, 0);
             return library(static_cast<int>(reg.SetValue(m1.c_str(), "v")));
         }, ERROR_INVALID_PARAMETER},
        {"log text of 1 MB", [&] { return library(CEventLog(0).LogEvent(0x2000, "%s", m1.c_str())); }, 1, "",
         [&](const Outcome& o) { return lastLog(o).substr(lastLog(o).size() - 1024); }, " " + m1.substr(0, 1023)},
        {"date of 1 MB", [&] { return library(static_cast<int>(tm_getdate(m1.c_str()))); }, 0},
        {"address text of 1 MB",
         [&] {
             std::string text = "<" + m1 + ">";
             CString address;
             ParseAddress(text.data(), address);
             return library(IsValidEmailAddress(text.data()), static_cast<const char*>(address));
         }, 0, "", [](const Outcome& o) { return std::to_string(o.out.size() <= 80); }, "1"},
        {"host of 1 MB",
         [&] {
             char id[128];
             return library(0, GetMessageId(id, sizeof id, m1.c_str()));
         }, 0, "", [](const Outcome& o) { return std::to_string(o.out.size()); }, "127"},
        {"log directory of 1 MB",
         [&] {
             std::string dir = "/" + m1;
             SetEventLogPath(dir.data());
             char now[512];
             TmGetEventLogPath(now, sizeof now);
             return library(0, now);
         }, 0, "", [](const Outcome& o) { return o.out; }, logs + "/"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        auto start = std::chrono::steady_clock::now();
        Outcome o = c.run();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
        EXPECT_EQ(o.status, c.status) << o.err.substr(0, 500);
        EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err.substr(0, 500);
        EXPECT_EQ(o.err.find("Sanitizer"), std::string::npos) << o.err.substr(0, 2000);
        EXPECT_EQ(o.err.find("runtime error"), std::string::npos) << o.err.substr(0, 2000);
        EXPECT_EQ(c.made ? c.made(o) : "", c.expected);
    }
    Figure("bad input: " + std::to_string(std::size(kCases)) + " cases, every one answered with its documented status");
}

}  // namespace
}  // namespace tmtest
