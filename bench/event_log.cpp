//===-- bench/event_log.cpp - Lines per second into the shared event log --===//
//
// The event log against a bare loop over the same primitive: a robust,
// process-shared mutex in shared memory, then lseek to the end and write.
// Both in one process and in four processes at once, lines of the same
// length. Run: build/default/bench/bench_event_log
//===----------------------------------------------------------------------===//
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tmcommon.h"

namespace {

const char kText[] = "queue run finished: 12 messages delivered, 0 deferred";

std::string BenchDir() { return getenv("TM_BENCH_SANDBOX"); }

// The line the event log writes for kText, for the bare loop.
std::string SampleLine() {
    char line[256];
    snprintf(line, sizeof line, "%-8s %c %02d:%02d:%02d 0x%08x %s\r\n", "bench_ev", '~', 12, 0, 0, 1234u, kText);
    return line;
}

struct BareLog {
    pthread_mutex_t* mutex;
    int fd;
};

BareLog OpenBareLog() {
    std::string shm = BenchDir() + "/bare.mutex";
    int mfd = open(shm.c_str(), O_RDWR | O_CREAT, 0600);
    if (ftruncate(mfd, sizeof(pthread_mutex_t)) != 0) abort();
    auto* m = static_cast<pthread_mutex_t*>(mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE, MAP_SHARED, mfd, 0));
    close(mfd);
    static bool initialised = false;
    if (!initialised) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(m, &attr);
        initialised = true;
    }
    int fd = open((BenchDir() + "/bare.log").c_str(), O_WRONLY | O_CREAT, 0644);
    return {m, fd};
}

void BareAppend(BareLog& log, const std::string& line) {
    if (pthread_mutex_lock(log.mutex) == EOWNERDEAD) pthread_mutex_consistent(log.mutex);
    lseek(log.fd, 0, SEEK_END);
    if (write(log.fd, line.data(), line.size()) < 0) abort();
    pthread_mutex_unlock(log.mutex);
}

void BM_EventLog_OneProcess(benchmark::State& state) {
    std::string dir = BenchDir() + "/log1";
    mkdir(dir.c_str(), 0755);
    SetEventLogPath(dir.data());
    CEventLog log(0);
    for (auto _ : state) log.LogEvent(0x2000, "%s", kText);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EventLog_OneProcess);

void BM_BareLockSeekWrite_OneProcess(benchmark::State& state) {
    BareLog log = OpenBareLog();
    std::string line = SampleLine();
    for (auto _ : state) BareAppend(log, line);
    state.SetItemsProcessed(state.iterations());
    close(log.fd);
}
BENCHMARK(BM_BareLockSeekWrite_OneProcess);

// Four processes append kLines each; the time is the whole run's.
constexpr int kLines = 100000;

template <class Body>
void RunFour(benchmark::State& state, Body body) {
    for (auto _ : state) {
        pid_t pids[4];
        for (pid_t& pid : pids) {
            pid = fork();
            if (pid == 0) {
                body();
                _exit(0);
            }
        }
        for (pid_t pid : pids) waitpid(pid, nullptr, 0);
    }
    state.SetItemsProcessed(state.iterations() * 4 * kLines);
}

void BM_EventLog_FourProcesses(benchmark::State& state) {
    std::string dir = BenchDir() + "/log4";
    mkdir(dir.c_str(), 0755);
    SetEventLogPath(dir.data());
    { CEventLog apply(0); }
    RunFour(state, [] {
        CEventLog log(0);
        for (int i = 0; i < kLines; ++i) log.LogEvent(0x2000, "%s", kText);
    });
}
BENCHMARK(BM_EventLog_FourProcesses)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_BareLockSeekWrite_FourProcesses(benchmark::State& state) {
    std::string line = SampleLine();
    OpenBareLog();
    RunFour(state, [&] {
        BareLog log = OpenBareLog();
        for (int i = 0; i < kLines; ++i) BareAppend(log, line);
    });
}
BENCHMARK(BM_BareLockSeekWrite_FourProcesses)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
