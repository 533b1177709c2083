//===-- bench/stress/SoakTest.cpp - Eight processes at work at once -------===//
//
// Eight soak workers share one installation for a few seconds (a minute in
// the long run): the event log, the counter, registry values, tree files
// and bounce reports all at once. Afterwards nothing may be lost, torn,
// duplicated or reported as an error, and no process may have grown.
//===----------------------------------------------------------------------===//
#include <dlfcn.h>

#include <map>
#include <set>

#include "Payload.h"
#include "ReliabilitySupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

constexpr int kProcesses = 8;

// A sanitizer's own memory makes resident sizes meaningless; the workers
// are built as this program is.
const bool kSanitized = dlsym(RTLD_DEFAULT, "__asan_init") || dlsym(RTLD_DEFAULT, "__tsan_init");

TEST(SoakTest, EightProcessesLoseNothingAndDoNotGrow) {
    const double seconds = LongRun() ? 60 : 3;
    const std::string root = MakeDir("soak-root"), logs = MakeDir("soak-logs"), work = MakeDir("soak-work");
    const std::string queue = MakeDir("soak-root/queue"), message = work + "/failed.msg";
    WriteFile(message, "From: someone@remote.example\r\nSubject: soak\r\n\r\nline 1\r\nline 2\r\n");
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    ASSERT_EQ(reg.SetValue("RootPath", root.c_str()), 0);
    std::vector<pid_t> pids;
    for (int i = 0; i < kProcesses; ++i) {
        pids.push_back(StartProgram(HelperPath("soak_worker"), {std::to_string(i), std::to_string(seconds), logs, work,
                                    message}, {}, work + "/P" + std::to_string(i) + ".out"));
    }
    WriteFile(work + "/go", "");
    unsigned long long rounds = 0, bounces = 0, ids = 0, trees = 0;
    std::set<DWORD> numbers;
    std::string rss;
    for (int i = 0; i < kProcesses; ++i) {
        const std::string tag = "P" + std::to_string(i);
        ASSERT_EQ(WaitAtMost(pids[i], static_cast<int>(seconds) + 120), 0) << tag;
        unsigned long long r = 0, b = 0;
        int errors = -1;
        long warm = -1, end = -1;
        EXPECT_EQ(sscanf(ReadFile(work + "/" + tag + ".out").c_str(), "rounds %llu bounces %llu errors %d rss %ld %ld",
                         &r, &b, &errors, &warm, &end), 5) << tag;
        EXPECT_EQ(errors, 0) << tag << " reported errors on its stderr";
        EXPECT_TRUE(kSanitized || (warm > 0 && end - warm <= 4096 + warm / 10)) << tag << " grows: " << warm << "->" << end;
        rss += (i ? ", " : "") + std::to_string(warm) + "->" + std::to_string(end);
        rounds += r, bounces += b, trees += r / 16;
        // No number handed out twice, and each process's numbers rising.
        DWORD last = 0;
        for (const std::string& line : SplitLines(ReadFile(work + "/" + tag + ".ids"))) {
            DWORD id = static_cast<DWORD>(std::stoul(line));
            EXPECT_TRUE(numbers.insert(id).second) << "number " << id << " handed out twice";
            EXPECT_GT(id, last) << tag;
            last = id, ++ids;
        }
        EXPECT_EQ(ids, rounds) << tag;
    }
    // Every round's line once and whole; no other line (an error report of
    // the library would be one).
    std::map<std::string, std::set<uint64_t>> lines;
    for (const std::string& line : MainLogLines(logs)) {
        std::string tag;
        uint64_t n = 0;
        EXPECT_TRUE(payload::ParseLogText(MainLineText(line, "soak_worker"), &tag, &n)) << line.substr(0, 200);
        EXPECT_TRUE(lines[tag].insert(n).second) << "twice: " << tag << " " << n;
    }
    size_t logged = 0;
    for (const auto& [tag, seen] : lines) logged += seen.size();
    EXPECT_EQ(logged, rounds);
    // Every report whole beside exactly one envelope.
    std::map<std::string, std::set<std::string>> files;  // number -> extensions
    for (auto& e : std::filesystem::directory_iterator(queue)) {
        std::string name = e.path().filename();
        files[name.substr(0, name.find('.'))].insert(name.substr(name.find('.') + 1));
    }
    EXPECT_EQ(files.size(), bounces);
    for (const auto& [number, extensions] : files) {
        EXPECT_TRUE(extensions == std::set<std::string>({"msg", "ldl"}) || extensions == std::set<std::string>({"msg", "pdl"}))
            << number;
        EXPECT_TRUE(ReadFile(queue + "/" + number + ".msg").ends_with("line 1\r\nline 2\r\n\r\n.\r\n")) << number;
    }
    EXPECT_EQ(IntegrityCheck(), "ok");
    Figure("soak: " + std::to_string(kProcesses) + " processes for " + std::to_string(static_cast<int>(seconds)) +
           " s, " + std::to_string(rounds) + " rounds: as many log lines, numbers and registry writes and reads, " +
           std::to_string(trees) + " tree exports and imports, " + std::to_string(bounces) +
           " bounce reports; all present and whole");
    Figure("soak resident size after warm-up -> at the end (KiB): " + rss);
}

}  // namespace
}  // namespace tmtest
