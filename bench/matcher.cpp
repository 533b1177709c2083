//===-- bench/matcher.cpp - Cost of the wildcard matcher and IsLocalAddress -===//
//
// - WildcardMatch of "*.example.com" on "mail.example.com", beside the C
//   library's fnmatch on the same pair (case-sensitive, and case-blind as
//   WildcardMatch is), measured in the same run;
// - the worst case "*a*a*a*a*a*b" against runs of 'a': the library's
//   bounded matcher at 20 to 1,000 characters, and the plain algorithm
//   (every star tries every later position) at 20, 40 and 80 only, once at
//   80: beyond that it runs for minutes;
// - IsLocalAddress with 20 LocalDomainsEx entries, for a local address
//   decided by the last entry and for a remote one that none matches;
// - allocations per match (operator new is counted in this program).
//
// The program runs itself again with a registry of its own in a temporary
// directory (removed afterwards), as the library reads $TAMARAK_REGISTRY
// when it is first used.
//===----------------------------------------------------------------------===//
#include <fnmatch.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

#include <benchmark/benchmark.h>

#include "fuzz/support/ReferenceMatcher.h"
#include "tmcommon.h"

namespace {
std::atomic<size_t> g_allocations{0};
}  // namespace

// The replacements below pair malloc with free throughout; GCC cannot see
// that operator delete only ever receives what this operator new returned.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

namespace {

void BM_WildcardMatch_Example(benchmark::State& state) {
    char subject[] = "mail.example.com";
    char* end = nullptr;
    const size_t before = g_allocations.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(WildcardMatch(subject, "*.example.com", &end));
        benchmark::ClobberMemory();
    }
    state.counters["allocs_per_call"] =
        benchmark::Counter(double(g_allocations.load() - before) / double(state.iterations()));
}
BENCHMARK(BM_WildcardMatch_Example);

void BM_Fnmatch_Example(benchmark::State& state) {
    const int flags = static_cast<int>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(fnmatch("*.example.com", "mail.example.com", flags));
        benchmark::ClobberMemory();
    }
    state.SetLabel(flags ? "FNM_CASEFOLD" : "case-sensitive");
}
BENCHMARK(BM_Fnmatch_Example)->Arg(0)->Arg(FNM_CASEFOLD);

const char kWorstPattern[] = "*a*a*a*a*a*b";

void BM_WildcardMatch_WorstCase(benchmark::State& state) {
    std::string subject(static_cast<size_t>(state.range(0)), 'a');
    char* end = nullptr;
    const size_t before = g_allocations.load();
    for (auto _ : state) benchmark::DoNotOptimize(WildcardMatch(subject.data(), kWorstPattern, &end));
    state.counters["allocs_per_call"] =
        benchmark::Counter(double(g_allocations.load() - before) / double(state.iterations()));
}
BENCHMARK(BM_WildcardMatch_WorstCase)->Arg(20)->Arg(40)->Arg(80)->Arg(160)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_PlainAlgorithm_WorstCase(benchmark::State& state) {
    std::string subject(static_cast<size_t>(state.range(0)), 'a');
    char* end = nullptr;
    for (auto _ : state) benchmark::DoNotOptimize(reference::WildcardMatch(subject.data(), kWorstPattern, &end));
}
BENCHMARK(BM_PlainAlgorithm_WorstCase)->Arg(20)->Arg(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainAlgorithm_WorstCase)->Arg(80)->Iterations(1)->Unit(benchmark::kMillisecond);

// More inner stars than the matcher keeps on its stack: the one case that
// allocates (once per match).
void BM_WildcardMatch_DeepPattern(benchmark::State& state) {
    std::string pattern;
    for (int i = 0; i < 24; ++i) pattern += "*a";
    pattern += "b";
    std::string subject(200, 'a');
    char* end = nullptr;
    const size_t before = g_allocations.load();
    for (auto _ : state) benchmark::DoNotOptimize(WildcardMatch(subject.data(), pattern.c_str(), &end));
    state.counters["allocs_per_call"] =
        benchmark::Counter(double(g_allocations.load() - before) / double(state.iterations()));
}
BENCHMARK(BM_WildcardMatch_DeepPattern)->Unit(benchmark::kMicrosecond);

void SetLocalDomains() {
    static bool done = false;
    if (done) return;
    done = true;
    CRegistry reg;
    if (reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0) != ERROR_SUCCESS) {
        fprintf(stderr, "cannot create the parameters key\n");
        exit(1);
    }
    CStringArray list;
    for (int i = 0; i < 20; ++i) {
        std::string entry = (i % 5 == 4 ? "!x.domain" : "*.domain") + std::to_string(i) + ".example";
        list.Add(entry.c_str());
    }
    reg.SetValue("LocalDomainsEx", list);
}

void BM_IsLocalAddress_20Entries(benchmark::State& state) {
    SetLocalDomains();
    std::string address = state.range(0) ? "user@mail.domain18.example" : "user@mail.elsewhere.org";
    const int expected = state.range(0) ? 1 : 0;
    for (auto _ : state) {
        if (IsLocalAddress(address.data()) != expected) {
            state.SkipWithError("wrong answer");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(expected ? "local, decided by entry 19" : "remote, no entry matches");
}
BENCHMARK(BM_IsLocalAddress_20Entries)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace
