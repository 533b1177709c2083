//===-- bench/kernel_objects.cpp - Cost of waits on mutexes and events ----===//
//
// The event log takes a named mutex for every line it writes, so the
// uncontended WaitForSingleObject + ReleaseMutex pair is the number that
// matters; the bare pthread mutex of the same kind is the floor it is
// measured against. Objects live in a namespace of this run only.
//
//   build/default/bench/bench_kernel_objects --benchmark_min_time=1
//===----------------------------------------------------------------------===//
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "tmcommon.h"

namespace {

HANDLE g_named;
HANDLE g_unnamed;
HANDLE g_event;

void BM_RobustPthreadMutexLockUnlock(benchmark::State& state) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutex_t mutex;
    pthread_mutex_init(&mutex, &attr);
    for (auto _ : state) {
        pthread_mutex_lock(&mutex);
        pthread_mutex_unlock(&mutex);
    }
    pthread_mutex_destroy(&mutex);
    pthread_mutexattr_destroy(&attr);
}
BENCHMARK(BM_RobustPthreadMutexLockUnlock);

void BM_NamedMutexWaitRelease(benchmark::State& state) {
    for (auto _ : state) {
        WaitForSingleObject(g_named, INFINITE);
        ReleaseMutex(g_named);
    }
}
BENCHMARK(BM_NamedMutexWaitRelease);
// Two threads of one process taking turns: the contended case.
BENCHMARK(BM_NamedMutexWaitRelease)->Threads(2)->UseRealTime();

void BM_UnnamedMutexWaitRelease(benchmark::State& state) {
    for (auto _ : state) {
        WaitForSingleObject(g_unnamed, INFINITE);
        ReleaseMutex(g_unnamed);
    }
}
BENCHMARK(BM_UnnamedMutexWaitRelease);

void BM_AutoResetEventSetWait(benchmark::State& state) {
    for (auto _ : state) {
        SetEvent(g_event);
        WaitForSingleObject(g_event, 0);
    }
}
BENCHMARK(BM_AutoResetEventSetWait);

void BM_NamedMutexOpenClose(benchmark::State& state) {
    for (auto _ : state) {
        // Another handle to an object this process has open.
        CloseHandle(OpenMutexA(SYNCHRONIZE, FALSE, "bench.mutex"));
    }
}
BENCHMARK(BM_NamedMutexOpenClose);

void BM_NamedEventCreateClose(benchmark::State& state) {
    for (auto _ : state) {
        // A new object each time: file, locks, mapping and removal.
        CloseHandle(CreateEventA(nullptr, FALSE, FALSE, "bench.fresh"));
    }
}
BENCHMARK(BM_NamedEventCreateClose);

}  // namespace

int main(int argc, char** argv) {
    // A namespace of this run; the database itself is never made.
    std::string registry = "/tmp/tamarak-bench-" + std::to_string(getpid()) + ".db";
    setenv("TAMARAK_REGISTRY", registry.c_str(), 1);
    g_named = CreateMutexA(nullptr, FALSE, "bench.mutex");
    g_unnamed = CreateMutexA(nullptr, FALSE, nullptr);
    g_event = CreateEventA(nullptr, FALSE, FALSE, "bench.event");
    if (!g_named || !g_unnamed || !g_event) return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    CloseHandle(g_named);
    CloseHandle(g_unnamed);
    CloseHandle(g_event);
    return 0;
}
