//===-- bench/socket_trace.cpp - Cost of the socket trace and scrambler ---===//
//
// DebugTx with the trace off (what every send pays in a process that does
// not trace), and on, for a small block, a full Ethernet payload and a
// 64 KiB block; the same dump written as plain fprintf calls per byte, the
// obvious way, for comparison; CConnMaker's Make and Unmake of the longest
// branding string. The trace file is truncated (DebugInit again) outside
// the timed part every 256 records.
//
// The program runs itself again with a registry and root path of its own
// in a temporary directory (removed afterwards).
// Run: build/default/bench/bench_socket_trace
//===----------------------------------------------------------------------===//
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/ProcessEnv.h"
#include "tmcommon.h"

namespace {

std::string Payload(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + 13) & 0xFF);
    return data;
}

void Trace(bool on) {
    CRegistry reg;
    reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0);
    reg.SetValue("DebugIt", static_cast<DWORD>(on ? 1 : 0));
    snprintf(g_szRootPath, sizeof g_szRootPath, "%s", getenv("TM_BENCH_SANDBOX"));
    DebugInit();
}

void BM_DebugTxOff(benchmark::State& state) {
    Trace(false);
    std::string data = Payload(1460);
    for (auto _ : state) {
        DebugTx("bench.cpp", 1, 5, data.data(), static_cast<DWORD>(data.size()));
        benchmark::ClobberMemory();
    }
    DebugExit();
}
BENCHMARK(BM_DebugTxOff);

void BM_DebugTx(benchmark::State& state) {
    Trace(true);
    std::string data = Payload(static_cast<size_t>(state.range(0)));
    int n = 0;
    for (auto _ : state) {
        DebugTx("C:\\src\\bench.cpp", 1, 5, data.data(), static_cast<DWORD>(data.size()));
        if (++n % 256 == 0) {
            state.PauseTiming();
            DebugInit();
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    DebugExit();
}
BENCHMARK(BM_DebugTx)->Arg(64)->Arg(1460)->Arg(65536);

// The same rows written with one fprintf per byte to a text stream.
void BM_NaiveDump(benchmark::State& state) {
    std::string path = std::string(getenv("TM_BENCH_SANDBOX")) + "/naive.log";
    FILE* fp = tm_fopen(path.c_str(), "w");
    std::string data = Payload(static_cast<size_t>(state.range(0)));
    int n = 0;
    for (auto _ : state) {
        fprintf(fp, "%s(%d) thread %08x\n", "bench.cpp", 1, GetCurrentThreadId());
        fprintf(fp, "%02d:%02d:%02d %u byte write to socket %d\n\n", 1, 2, 3, static_cast<unsigned>(data.size()), 5);
        for (size_t row = 0; row < data.size(); row += 16) {
            size_t k;
            for (k = 0; k < 16 && row + k < data.size(); ++k) fprintf(fp, "%02x ", static_cast<unsigned char>(data[row + k]));
            for (; k < 16; ++k) fprintf(fp, "   ");
            fprintf(fp, " ");
            for (k = 0; k < 16 && row + k < data.size(); ++k) {
                unsigned char c = static_cast<unsigned char>(data[row + k]);
                fprintf(fp, "%c", c > 0x20 && c < 0x7F ? c : c == 0x20 ? ' ' : '.');
            }
            fprintf(fp, "\n");
        }
        fprintf(fp, "\n\n");
        fflush(fp);
        if (++n % 256 == 0) {
            state.PauseTiming();
            fclose(fp);
            fp = tm_fopen(path.c_str(), "w");
            state.ResumeTiming();
        }
    }
    fclose(fp);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_NaiveDump)->Arg(1460);

void BM_Make(benchmark::State& state) {
    CConnMaker maker("quillfeather");
    std::string text(129, 'T');
    for (auto _ : state) benchmark::DoNotOptimize(maker.Make(text.c_str()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 129);
}
BENCHMARK(BM_Make);

void BM_Unmake(benchmark::State& state) {
    CConnMaker maker("quillfeather");
    std::string scrambled = maker.Make(std::string(129, 'T').c_str());
    for (auto _ : state) benchmark::DoNotOptimize(maker.Unmake(scrambled.c_str()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 129);
}
BENCHMARK(BM_Unmake);

}  // namespace
