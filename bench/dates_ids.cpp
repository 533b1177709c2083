//===-- bench/dates_ids.cpp - Cost of header dates and identifiers --------===//
//
// tm_getdate on a typical Date header, against strptime followed by mktime
// on the same text, with TZ unset (the usual case on a server: mktime then
// looks at /etc/localtime on every call) and with TZ set to a zone with
// daylight saving time. GetNextId in one process and in four processes at
// once, each number being a registry read and write under the
// installation mutex.
//
// The program runs itself again with a registry of its own in a temporary
// directory (removed afterwards), as the library reads $TAMARAK_REGISTRY
// when it is loaded.
//
//   build/default/bench/bench_dates_ids
//===----------------------------------------------------------------------===//
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "Layer.h"
#include "mail/Dates.h"
#include "tmcommon.h"

namespace {

const char kHeaderDate[] = "Tue, 14 Mar 2000 10:20:30 +0100";

// Arg 0: TZ unset; arg 1: TZ names a zone with daylight saving time.
void SetZone(benchmark::State& state) {
    if (state.range(0) == 0) {
        unsetenv("TZ");
        state.SetLabel("TZ unset");
    } else {
        const bool file = std::filesystem::exists("/usr/share/zoneinfo/Europe/Berlin");
        setenv("TZ", file ? "Europe/Berlin" : "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        state.SetLabel(file ? "TZ=Europe/Berlin" : "TZ=CET-1CEST");
    }
    tzset();
}

void BM_TmGetdate(benchmark::State& state) {
    SetZone(state);
    for (auto _ : state) benchmark::DoNotOptimize(tm_getdate(kHeaderDate));
    state.SetItemsProcessed(state.iterations());
    unsetenv("TZ");
}
BENCHMARK(BM_TmGetdate)->Arg(0)->Arg(1);

void BM_StrptimeMktime(benchmark::State& state) {
    SetZone(state);
    for (auto _ : state) {
        struct tm fields = {};
        strptime(kHeaderDate, "%a, %d %b %Y %H:%M:%S %z", &fields);
        fields.tm_isdst = 0;
        benchmark::DoNotOptimize(mktime(&fields));
    }
    state.SetItemsProcessed(state.iterations());
    unsetenv("TZ");
}
BENCHMARK(BM_StrptimeMktime)->Arg(0)->Arg(1);

// The two halves of tm_getdate on their own: the scan and the local
// standard time.
void BM_ScanHeaderDate(benchmark::State& state) {
    for (auto _ : state) {
        tmc::HeaderDateFields fields;
        benchmark::DoNotOptimize(tmc::ScanHeaderDate(kHeaderDate, &fields));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ScanHeaderDate);

void BM_LocalStandardTime(benchmark::State& state) {
    SetZone(state);
    for (auto _ : state) benchmark::DoNotOptimize(w32::LocalStandardTime(100, 2, 14, 10, 20, 30));
    state.SetItemsProcessed(state.iterations());
    unsetenv("TZ");
}
BENCHMARK(BM_LocalStandardTime)->Arg(0)->Arg(1);

void BM_GetInternetTimeString(benchmark::State& state) {
    char buffer[64];
    for (auto _ : state) benchmark::DoNotOptimize(GetInternetTimeString(buffer, sizeof buffer));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetInternetTimeString);

void BM_GetNextId(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(GetNextId());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetNextId)->MinTime(2.0)->UseRealTime();

void BM_GetMessageId(benchmark::State& state) {
    char buffer[128];
    for (auto _ : state) benchmark::DoNotOptimize(GetMessageId(buffer, sizeof buffer, "mail.example.com"));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetMessageId)->UseRealTime();

// Four processes (arg 1: each with two threads) take numbers for three
// seconds; numbers_per_s counts all of them together.
void BM_GetNextIdFourProcesses(benchmark::State& state) {
    constexpr int kProcesses = 4;
    const int threads = static_cast<int>(state.range(0));
    const auto kDuration = std::chrono::seconds(3);
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0) return;
        auto start = std::chrono::steady_clock::now();
        std::vector<pid_t> pids;
        for (int p = 0; p < kProcesses; ++p) {
            pid_t pid = fork();
            if (pid == 0) {
                close(fds[0]);
                std::vector<long> counts(threads, 0);
                auto end = start + kDuration;
                std::vector<std::thread> workers;
                for (int t = 0; t < threads; ++t) {
                    workers.emplace_back([&, t] {
                        while (std::chrono::steady_clock::now() < end) {
                            GetNextId();
                            ++counts[t];
                        }
                    });
                }
                long total = 0;
                for (int t = 0; t < threads; ++t) {
                    workers[t].join();
                    total += counts[t];
                }
                if (write(fds[1], &total, sizeof total) != sizeof total) _exit(1);
                _exit(0);
            }
            pids.push_back(pid);
        }
        close(fds[1]);
        long all = 0, count = 0;
        while (read(fds[0], &count, sizeof count) == sizeof count) all += count;
        close(fds[0]);
        for (pid_t pid : pids) waitpid(pid, nullptr, 0);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.counters["numbers"] = double(all);
        state.counters["numbers_per_s"] = double(all) / seconds;
    }
    state.SetLabel(std::to_string(kProcesses) + " processes x " + std::to_string(threads) + " thread(s)");
}
BENCHMARK(BM_GetNextIdFourProcesses)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
