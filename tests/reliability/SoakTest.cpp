//===-- tests/reliability/SoakTest.cpp - Eight processes at work at once ---===//
//
// Eight soak workers share one installation for a few seconds (a minute in
// the long run): the event log, the counter, registry values, tree files
// and bounce reports all at once. Afterwards nothing may be lost, torn,
// duplicated or reported as an error, and no process may have grown.
//===----------------------------------------------------------------------===//
#include <sys/stat.h>

#include <map>
#include <regex>
#include <set>

#include "reliability/Payload.h"
#include "reliability/ReliabilitySupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

namespace payload = tmtest::payload;

constexpr int kProcesses = 8;

struct Summary {
    uint64_t rounds = 0, lines = 0, bounces = 0;
    int errors = -1;
    long warmKiB = -1, endKiB = -1;
    int sanitized = 0;
};

Summary ReadSummary(const std::string& text) {
    Summary s;
    for (const std::string& line : SplitLines(text)) {
        unsigned long long v = 0;
        if (sscanf(line.c_str(), "rounds %llu", &v) == 1) s.rounds = v;
        if (sscanf(line.c_str(), "lines %llu", &v) == 1) s.lines = v;
        if (sscanf(line.c_str(), "bounces %llu", &v) == 1) s.bounces = v;
        sscanf(line.c_str(), "errors %d", &s.errors);
        sscanf(line.c_str(), "rss %ld %ld %d", &s.warmKiB, &s.endKiB, &s.sanitized);
    }
    return s;
}

void SetRootPath(const std::string& root) {
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    ASSERT_EQ(reg.SetValue("RootPath", root.c_str()), 0);
}

TEST(SoakTest, EightProcessesLoseNothingAndDoNotGrow) {
    const double seconds = LongRun() ? 60 : 3;
    const std::string root = MakeDir("soak-root"), logs = MakeDir("soak-logs"), work = MakeDir("soak-work");
    const std::string queue = MakeDir("soak-root/queue");
    const std::string message = work + "/failed.msg";
    WriteFile(message, "From: someone@remote.example\r\nSubject: soak\r\n\r\nline 1\r\nline 2\r\n");
    SetRootPath(root);

    std::vector<pid_t> pids;
    for (int i = 0; i < kProcesses; ++i) {
        pids.push_back(StartProgram(HelperPath("soak_worker"),
                                    {std::to_string(i), std::to_string(seconds), logs, work, message}, {},
                                    work + "/P" + std::to_string(i) + ".out"));
    }
    WriteFile(work + "/go", "");
    std::vector<Summary> summaries;
    for (int i = 0; i < kProcesses; ++i) {
        ASSERT_EQ(WaitAtMost(pids[i], static_cast<int>(seconds) + 120), 0) << "P" << i;
        summaries.push_back(ReadSummary(ReadFile(work + "/P" + std::to_string(i) + ".out")));
        EXPECT_EQ(summaries[i].errors, 0) << "P" << i << " reported errors on its stderr";
    }

    // Every line of every process once and whole; no other line (an error
    // report of the library would be one).
    std::map<std::string, std::set<uint64_t>> lines;
    for (const std::string& line : SplitLines(MainLogs(logs))) {
        std::string text, tag;
        uint64_t n = 0;
        if (!ParseMainLine(line, "soak_worker", '~', &text) || !payload::ParseLogText(text, &tag, &n)) {
            ADD_FAILURE() << "not a whole line of a worker: " << line.substr(0, 200);
            continue;
        }
        EXPECT_TRUE(lines[tag].insert(n).second) << "twice: " << tag << " " << n;
    }
    // No number handed out twice, and each process's numbers rising.
    std::set<DWORD> ids;
    uint64_t idCount = 0;
    for (int i = 0; i < kProcesses; ++i) {
        const std::string tag = "P" + std::to_string(i);
        EXPECT_EQ(lines[tag].size(), summaries[i].lines) << tag;
        DWORD last = 0;
        for (const std::string& line : SplitLines(ReadFile(work + "/" + tag + ".ids"))) {
            DWORD id = static_cast<DWORD>(strtoul(line.c_str(), nullptr, 10));
            EXPECT_TRUE(ids.insert(id).second) << "number " << id << " handed out twice";
            EXPECT_GT(id, last) << tag;
            last = id;
            ++idCount;
        }
    }
    EXPECT_GT(idCount, 0u);
    // Every report whole, with exactly one envelope, each reason once.
    std::map<std::string, std::set<std::string>> files;  // number -> extensions
    for (auto& e : std::filesystem::directory_iterator(queue)) {
        std::string name = e.path().filename();
        ASSERT_EQ(name.size(), 12u) << name;
        files[name.substr(0, 8)].insert(name.substr(9));
    }
    std::set<std::string> reasons;
    const std::regex reason("\r\n\r\nsoak (P[0-7] B[0-9]+)\r\n\r\n");
    for (const auto& [number, extensions] : files) {
        EXPECT_TRUE(extensions.count("msg")) << number;
        EXPECT_EQ(extensions.count("ldl") + extensions.count("pdl"), 1u) << number;
        EXPECT_EQ(extensions.size(), 2u) << number;
        std::string report = ReadFile(queue + "/" + number + ".msg");
        std::smatch m;
        EXPECT_EQ(report.rfind("Message-Id: <", 0), 0u) << number;
        EXPECT_TRUE(report.ends_with("line 1\r\nline 2\r\n\r\n.\r\n")) << number;
        if (!std::regex_search(report, m, reason)) {
            ADD_FAILURE() << number << ": no reason";
            continue;
        }
        EXPECT_TRUE(reasons.insert(m[1]).second) << "reported twice: " << m[1];
        const bool local = std::stoi(std::string(m[1]).substr(4)) % 2 == 0;
        EXPECT_EQ(ReadFile(queue + "/" + number + (local ? ".ldl" : ".pdl")),
                  std::string("postmaster@example.com\r\n") + (local ? "postmaster" : "someone@remote.example") + "\r\n")
            << number;
    }
    uint64_t bounces = 0, rounds = 0, trees = 0;
    for (const Summary& s : summaries) {
        bounces += s.bounces;
        rounds += s.rounds;
        trees += s.rounds / 16;
    }
    EXPECT_EQ(reasons.size(), bounces);
    EXPECT_EQ(IntegrityCheck(RegistryFile()), "ok");

    // The resident size after warm-up and at the end.
    std::string rss;
    long worst = 0;
    for (int i = 0; i < kProcesses; ++i) {
        const Summary& s = summaries[i];
        rss += (i ? ", " : "") + std::to_string(s.warmKiB) + "->" + std::to_string(s.endKiB);
        worst = std::max(worst, s.endKiB - s.warmKiB);
        if (!s.sanitized) {
            EXPECT_GT(s.warmKiB, 0) << "P" << i;
            EXPECT_LE(s.endKiB - s.warmKiB, 4096 + s.warmKiB / 10) << "P" << i << " grows";
        }
    }
    char load[400];
    snprintf(load, sizeof load,
             "soak: %d processes for %.0f s, %llu rounds: %llu log lines, %llu numbers, %llu registry writes and "
             "reads, %llu tree exports and imports, %llu bounce reports; all present and whole",
             kProcesses, seconds, static_cast<unsigned long long>(rounds), static_cast<unsigned long long>(rounds),
             static_cast<unsigned long long>(idCount), static_cast<unsigned long long>(2 * rounds),
             static_cast<unsigned long long>(trees), static_cast<unsigned long long>(bounces));
    Figure(load);
    Figure("soak resident size after warm-up -> at the end (KiB): " + rss + "; largest growth " +
           std::to_string(worst) + " KiB");
}

}  // namespace
}  // namespace tmtest
