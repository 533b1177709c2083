//===-- bench/bounce.cpp - Bounce reports per second ----------------------===//
//
// Reports about a failed message of 1 MB: only its header and the first
// 20 body lines are read. The queue is emptied (outside the timing) every
// thousand reports. The queue lies on the disk's file system (/tmp) or on
// tmpfs (/dev/shm), since creating a file costs what the file system makes
// it cost: each report creates two. The delivery service's three events
// are held open, as the running service holds them.
// Run: build/default/bench/bench_bounce
//===----------------------------------------------------------------------===//
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/ProcessEnv.h"
#include "tmcommon.h"

namespace {

void BM_BounceOneMegabyteMessage(benchmark::State& state) {
    std::string templ = std::string(state.range(0) ? "/dev/shm" : "/tmp") + "/tmbench.XXXXXX";
    std::string root = mkdtemp(templ.data());
    std::string queue = root + "/queue";
    mkdir(queue.c_str(), 0755);
    snprintf(g_szRootPath, sizeof g_szRootPath, "%s", root.c_str());
    std::string message = root + "/failed.msg";
    {
        std::ofstream out(message, std::ios::binary);
        out << "From: sender@remote.org\r\nTo: someone@d.e\r\nSubject: a large message\r\n\r\n";
        std::string line(78, 'x');
        for (size_t written = 0; written < (1u << 20); written += 80) out << line << "\r\n";
    }
    HANDLE events[] = {
        CreateEventA(nullptr, FALSE, FALSE, "f958c278-e360-11d2-871b-0080c8330493"),
        CreateEventA(nullptr, FALSE, FALSE, "Outgoing Message D02369B6-D2CF-11d1-86B0-0080C8330493"),
        CreateEventA(nullptr, FALSE, FALSE, "Priority Message D02369B6-D2CF-11d1-86B0-0080C8330493"),
    };
    int made = 0;
    for (auto _ : state) {
        char recipient[] = "sender@remote.org";
        if (!BounceEmail(message.c_str(), recipient, "mailer@d.e", nullptr, "Delivery failed: %d", 550)) {
            state.SkipWithError("BounceEmail failed");
            break;
        }
        if (++made % 1000 == 0) {
            state.PauseTiming();
            for (auto& e : std::filesystem::directory_iterator(queue)) std::filesystem::remove(e.path());
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
    for (HANDLE h : events) CloseHandle(h);
    std::filesystem::remove_all(root);
}
BENCHMARK(BM_BounceOneMegabyteMessage)->ArgName("tmpfs")->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

