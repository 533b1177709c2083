//===-- bench/services.cpp - Cost of the service manager and the loaders --===//
//
// Opening and closing a service handle (the database lock, a registry
// read, the holder mark and the look for other holders), creating and
// deleting a service, and making a loader object while another keeps its
// class counted (the class mutex and the count, with or without threads
// competing for it).
//
// The program runs itself again with a registry of its own in a temporary
// directory (removed afterwards).
//===----------------------------------------------------------------------===//
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "tmcommon.h"

namespace {

SC_HANDLE Manager() {
    static SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    return manager;
}

SC_HANDLE CreateBenchService(const char* name) {
    return CreateServiceA(Manager(), name, nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                          SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, "/srv/tamarak/tmarksvc", nullptr,
                          nullptr, nullptr, nullptr, nullptr);
}

void BM_OpenCloseService(benchmark::State& state) {
    // Neighbours, so that lookups do not run over an almost empty database.
    static bool prepared = [] {
        for (int i = 0; i < 50; ++i) CloseServiceHandle(CreateBenchService(("Neighbour" + std::to_string(i)).c_str()));
        CloseServiceHandle(CreateBenchService("TmBench"));
        return true;
    }();
    (void)prepared;
    for (auto _ : state) {
        SC_HANDLE service = OpenServiceA(Manager(), "TmBench", SERVICE_ALL_ACCESS);
        if (!service) state.SkipWithError("OpenServiceA failed");
        CloseServiceHandle(service);
    }
}
BENCHMARK(BM_OpenCloseService);

void BM_CreateDeleteService(benchmark::State& state) {
    for (auto _ : state) {
        SC_HANDLE service = CreateBenchService("TmCycle");
        if (!service) state.SkipWithError("CreateServiceA failed");
        DeleteService(service);
        CloseServiceHandle(service);
    }
}
BENCHMARK(BM_CreateDeleteService);

// What a caller pays for a loader object once the class is counted.
void BM_RasDialObjectWhileCounted(benchmark::State& state) {
    static CRasDial* keeper = nullptr;
    if (state.thread_index() == 0) keeper = new CRasDial;
    for (auto _ : state) {
        CRasDial ras;
        benchmark::DoNotOptimize(ras.IsAvailable());
    }
    if (state.thread_index() == 0) {
        delete keeper;
        keeper = nullptr;
    }
}
BENCHMARK(BM_RasDialObjectWhileCounted)->Threads(1)->Threads(2);

}  // namespace
