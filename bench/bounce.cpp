//===-- bench/bounce.cpp - Bounce reports per second ----------------------===//
//
// Reports about a failed message of 1 MB (only its header and the first 20
// body lines are read), to an external recipient, in bursts of 10, 100 and
// 1,000 reports as fast as they come; the queue is emptied between bursts,
// outside the timing. A report's cost must not grow with the length of its
// burst: all reports of a burst fall within a few ticks of the clock, so
// their numbers run ahead of it.
//
// The anchor, in the same run: a bare loop that makes the same two files
// with the same bytes, the report created with O_EXCL and the envelope
// created with O_EXCL under a temporary name and renamed into place.
//
// The queue lies on the disk's file system (/tmp) or on tmpfs (/dev/shm),
// since creating a file costs what the file system makes it cost. The
// delivery service's three events are held open, as the running service
// holds them.
// Run: build/default/bench/bench_bounce (for figures under load, add
// --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true)
//===----------------------------------------------------------------------===//
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "mail/Parameters.h"
#include "platform/ProcessEnv.h"
#include "tmcommon.h"

namespace {

// A root path with a queue and a failed message, on the chosen file
// system; removed with the object.
class Installation {
public:
    explicit Installation(bool tmpfs) {
        std::string templ = std::string(tmpfs ? "/dev/shm" : "/tmp") + "/tmbench.XXXXXX";
        m_root = mkdtemp(templ.data());
        m_queue = m_root + "/queue";
        mkdir(m_queue.c_str(), 0755);
        snprintf(g_szRootPath, sizeof g_szRootPath, "%s", m_root.c_str());
        m_message = m_root + "/failed.msg";
        std::ofstream out(m_message, std::ios::binary);
        out << "From: sender@remote.org\r\nTo: someone@d.e\r\nSubject: a large message\r\n\r\n";
        std::string line(78, 'x');
        for (size_t written = 0; written < (1u << 20); written += 80) out << line << "\r\n";
    }
    ~Installation() { std::filesystem::remove_all(m_root); }
    const std::string& Queue() const { return m_queue; }
    const std::string& Message() const { return m_message; }
    void EmptyQueue() const {
        for (auto& e : std::filesystem::directory_iterator(m_queue)) std::filesystem::remove(e.path());
    }

private:
    std::string m_root, m_queue, m_message;
};

bool Bounce(const Installation& inst) {
    char recipient[] = "sender@remote.org";
    return BounceEmail(inst.Message().c_str(), recipient, "mailer@d.e", nullptr, "Delivery failed: %d", 550) == 1;
}

// The bytes of the report and of the envelope that BounceEmail writes.
std::pair<std::string, std::string> SampleReport() {
    Installation inst(true);
    Bounce(inst);
    std::pair<std::string, std::string> texts;
    for (auto& e : std::filesystem::directory_iterator(inst.Queue())) {
        std::ifstream in(e.path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        (e.path().extension() == ".msg" ? texts.first : texts.second) = text.str();
    }
    return texts;
}

// Runs one report per iteration, emptying the queue after each burst.
template <class Report>
void RunBursts(benchmark::State& state, const Installation& inst, Report report) {
    const int64_t burst = state.range(1);
    int64_t made = 0;
    for (auto _ : state) {
        if (!report()) {
            state.SkipWithError("report failed");
            break;
        }
        if (++made % burst == 0) {
            state.PauseTiming();
            inst.EmptyQueue();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Bounce(benchmark::State& state) {
    Installation inst(state.range(0) != 0);
    HANDLE events[] = {
        CreateEventA(nullptr, FALSE, FALSE, "f958c278-e360-11d2-871b-0080c8330493"),
        CreateEventA(nullptr, FALSE, FALSE, "Outgoing Message D02369B6-D2CF-11d1-86B0-0080C8330493"),
        CreateEventA(nullptr, FALSE, FALSE, "Priority Message D02369B6-D2CF-11d1-86B0-0080C8330493"),
    };
    RunBursts(state, inst, [&] { return Bounce(inst); });
    for (HANDLE h : events) CloseHandle(h);
}

bool WriteNewFile(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && written;
}

void BM_BareTwoFiles(benchmark::State& state) {
    static const std::pair<std::string, std::string> kTexts = SampleReport();
    Installation inst(state.range(0) != 0);
    unsigned number = 0;
    RunBursts(state, inst, [&] {
        char name[32];
        snprintf(name, sizeof name, "/bmr%05x.", number++ & 0xFFFFF);
        const std::string base = inst.Queue() + name;
        return WriteNewFile(base + "msg", kTexts.first) && WriteNewFile(base + "tmp", kTexts.second) &&
               rename((base + "tmp").c_str(), (base + "pdl").c_str()) == 0;
    });
}

// What a report asks of the registry, alone: the DefaultMailbox and
// LocalDomainsEx reads and the message identifier's counter. It shows the
// share of the registry store in a report's cost.
void BM_RegistryShareOfABounce(benchmark::State& state) {
    char recipient[] = "sender@remote.org";
    for (auto _ : state) {
        CString sender = "postmaster@d.e";
        CRegistry reg;
        if (tmc::OpenParametersToRead(reg) == ERROR_SUCCESS) reg.QueryValue("DefaultMailbox", sender, nullptr);
        benchmark::DoNotOptimize(IsLocalAddress(recipient));
        char id[128];
        benchmark::DoNotOptimize(GetMessageId(id, sizeof id, sender));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegistryShareOfABounce)->UseRealTime();

void BurstArgs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"tmpfs", "burst"});
    for (int tmpfs : {0, 1}) {
        for (int burst : {10, 100, 1000}) b->Args({tmpfs, burst});
    }
    b->UseRealTime();
}
BENCHMARK(BM_Bounce)->Apply(BurstArgs);
BENCHMARK(BM_BareTwoFiles)->Apply(BurstArgs);

}  // namespace
