//===-- bench/memory.cpp - Resident size under a million lines and reads --===//
//
// Appends 1,000,000 event log lines and makes 1,000,000 registry point
// reads, and reports the resident size after warm-up (the first 100,000 of
// each) and at the end: a flat size means nothing grows per call.
// Run: build/default/bench/bench_memory
//===----------------------------------------------------------------------===//
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tmcommon.h"

namespace {

double ResidentKb() {
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f || fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    if (f) fclose(f);
    return static_cast<double>(resident) * sysconf(_SC_PAGESIZE) / 1024.0;
}

void BM_MillionLinesAndReads(benchmark::State& state) {
    char templ[] = "/tmp/tmbench.XXXXXX";
    std::string dir = mkdtemp(templ);
    SetEventLogPath(dir.data());
    {
        CRegistry reg;
        reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0);
        reg.SetValue("Logging", static_cast<DWORD>(0x3F));
    }
    constexpr int kCalls = 1000000;
    constexpr int kWarmUp = 100000;
    double warm = 0, end = 0;
    for (auto _ : state) {
        CEventLog log(0);
        for (int i = 0; i < kCalls; ++i) {
            log.LogEvent(0x0004, "line %d of the memory run", i);
            CRegistry reg;
            DWORD value = 0;
            if (reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F) == 0) reg.QueryValue("Logging", value);
            benchmark::DoNotOptimize(value);
            if (i + 1 == kWarmUp) warm = ResidentKb();
        }
        end = ResidentKb();
    }
    state.counters["rss_kb_after_warmup"] = warm;
    state.counters["rss_kb_at_end"] = end;
    state.counters["growth_kb"] = end - warm;
    std::string cmd = "rm -rf " + dir;
    if (system(cmd.c_str()) != 0) state.SkipWithError("cleanup failed");
}
BENCHMARK(BM_MillionLinesAndReads)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

