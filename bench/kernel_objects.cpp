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

// Made once, when the first benchmark runs.
struct Objects {
    HANDLE named = CreateMutexA(nullptr, FALSE, "bench.mutex");
    HANDLE unnamed = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "bench.event");
};
const Objects& Made() {
    static Objects objects;
    return objects;
}

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
    HANDLE mutex = Made().named;
    for (auto _ : state) {
        WaitForSingleObject(mutex, INFINITE);
        ReleaseMutex(mutex);
    }
}
BENCHMARK(BM_NamedMutexWaitRelease);
// Two threads of one process taking turns: the contended case.
BENCHMARK(BM_NamedMutexWaitRelease)->Threads(2)->UseRealTime();

void BM_UnnamedMutexWaitRelease(benchmark::State& state) {
    HANDLE mutex = Made().unnamed;
    for (auto _ : state) {
        WaitForSingleObject(mutex, INFINITE);
        ReleaseMutex(mutex);
    }
}
BENCHMARK(BM_UnnamedMutexWaitRelease);

void BM_AutoResetEventSetWait(benchmark::State& state) {
    HANDLE event = Made().event;
    for (auto _ : state) {
        SetEvent(event);
        WaitForSingleObject(event, 0);
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
