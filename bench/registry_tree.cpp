//===-- bench/registry_tree.cpp - Export and import of registry subtrees --===//
//
// WriteTree and ReadTree over a subtree of K keys with 10 values each
// (4 strings, 4 numbers, 2 multi-strings), the keys in groups of 100 below
// the subtree's key. The argument is the number of keys; items are values.
// Also CopyTree and DumpTree over the same subtree.
//
// The Vs benchmarks time WriteTree against the sqlite3 shell's .dump of the
// registry database, and ReadTree against the shell replaying that dump
// into a new database, alternately in one loop, in processor seconds (the
// shell's counted from its rusage): per value, and the ratio of theirs to
// ours (above 1: ours is faster). The database also holds the layer's
// predefined keys and whatever the program built before, so each side is
// divided by its own number of values. Run one size per process, so that
// the database holds that tree alone:
//   bench_registry_tree --benchmark_filter='Vs.*/10000/'
// They report an error when the sqlite3 shell is not installed.
//
//   bench_registry_tree                       1,000 and 10,000 keys
//   TM_BENCH_MILLION=1 bench_registry_tree    also 100,000 keys (1M values)
//
// The program runs itself again with a registry of its own in a temporary
// directory (removed afterwards). With TM_BENCH_STORE=postgresql the
// registry is on a private PostgreSQL server (bench/support/BenchMain.cpp);
// BM_Export and BM_Import then also count the server's processor time
// (server_ms, per iteration), since most of the store's work is done there,
// and own_ms + server_ms is what compares with the SQLite store's own_ms:
//   TM_BENCH_STORE=postgresql bench_registry_tree --benchmark_filter='BM_(Ex|Im)port/10000/'
//   bench_registry_tree --benchmark_filter='BM_(Ex|Im)port/10000/'
//===----------------------------------------------------------------------===//
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>

#include "tmcommon.h"

namespace {

constexpr DWORD kReadWrite = 0x2001F;
constexpr int kValuesPerKey = 10;

std::string Sandbox() { return getenv("TM_BENCH_SANDBOX"); }

std::string TreeKey(int keys) { return "Software\\Kelt\\Tamarak\\Bench\\Tree" + std::to_string(keys); }

std::string TreeFile(int keys) { return Sandbox() + "/tree" + std::to_string(keys) + ".bin"; }

void PutString(std::string& out, const std::string& s) {
    out += s;
    out += '\0';
}

// The file of a subtree of `keys` keys, written record by record.
void WriteSourceFile(int keys, const std::string& path) {
    FILE* fp = tm_fopen(path.c_str(), "wb");
    std::string record;
    for (int group = 0; group * 100 < keys; ++group) {
        record = ">";
        PutString(record, "Group" + std::to_string(group));
        for (int k = group * 100; k < keys && k < (group + 1) * 100; ++k) {
            record += '>';
            PutString(record, "Mailbox" + std::to_string(k));
            for (int v = 0; v < 4; ++v) {
                record += 'S';
                PutString(record, "Text" + std::to_string(v));
                PutString(record, "user" + std::to_string(k) + "@example.com value " + std::to_string(v));
            }
            for (int v = 0; v < 4; ++v) {
                record += 'D';
                PutString(record, "Number" + std::to_string(v));
                DWORD n = static_cast<DWORD>(k * 10 + v);
                record.append(reinterpret_cast<const char*>(&n), 4);
            }
            for (int v = 0; v < 2; ++v) {
                record += 'M';
                PutString(record, "List" + std::to_string(v));
                PutString(record, "first.example.com");
                PutString(record, "second.example.com");
                PutString(record, "*.third.example.com");
                record += '\0';
            }
            record += '<';
        }
        record += '<';
        fwrite(record.data(), 1, record.size(), fp);
    }
    fclose(fp);
}

// The source subtree of `keys` keys, built once per process.
void EnsureSource(int keys) {
    static std::set<int> built;
    if (built.count(keys)) return;
    built.insert(keys);
    const std::string path = Sandbox() + "/source" + std::to_string(keys) + ".bin";
    WriteSourceFile(keys, path);
    CRegistry reg;
    reg.CreateKey(HKEY_LOCAL_MACHINE, TreeKey(keys).c_str(), kReadWrite, 0);
    FILE* fp = tm_fopen(path.c_str(), "rb");
    DWORD rc = reg.ReadTree(fp);
    fclose(fp);
    if (rc != ERROR_HANDLE_EOF) {
        fprintf(stderr, "building the source tree failed: %u\n", rc);
        exit(1);
    }
}

// Processor seconds (user and system) of this process, and of the
// children it has waited for.
double TimevalSeconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; }

double OwnCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double ChildrenCpuSeconds() {
    rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return TimevalSeconds(usage.ru_utime) + TimevalSeconds(usage.ru_stime);
}

template <class Body>
double OwnCpu(Body&& body) {
    const double start = OwnCpuSeconds();
    body();
    return OwnCpuSeconds() - start;
}

// The postmaster of the private server the registry is on (its socket
// directory holds the cluster, see tests/support/PgServer.h), or 0.
long ServerPid() {
    const char* uri = getenv("TM_BENCH_PG_URI");
    if (!uri || !getenv("TM_BENCH_PG_SCHEMA")) return 0;
    const std::string text(uri);
    const size_t at = text.find("host=");
    if (at == std::string::npos) return 0;
    const std::string dir = text.substr(at + 5, text.find('&', at) - at - 5);
    long pid = 0;
    std::ifstream(dir + "/data/postmaster.pid") >> pid;
    return pid;
}

// Processor seconds of the server's processes alive now: the postmaster
// and its children, or only the backends serving clients (this process's
// among them), without the server's own helpers (WAL writer, checkpointer,
// autovacuum, which also clean up after the deletes between iterations).
double ServerCpuSeconds(bool backendsOnly = false) {
    static const long server = ServerPid();
    if (!server) return 0;
    double ticks = 0;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        const long pid = atol(entry->d_name);
        if (pid <= 0) continue;
        std::ifstream in("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        if (!std::getline(in, line) || line.rfind(')') == std::string::npos) continue;
        // After the command's closing parenthesis: state, ppid, then utime
        // and stime as the 12th and 13th fields.
        std::istringstream fields(line.substr(line.rfind(')') + 1));
        std::string state;
        long ppid = 0;
        double skip = 0, utime = 0, stime = 0;
        fields >> state >> ppid;
        for (int i = 0; i < 9; ++i) fields >> skip;
        fields >> utime >> stime;
        if (pid != server && ppid != server) continue;
        if (backendsOnly) {
            std::string command;
            std::getline(std::ifstream("/proc/" + std::string(entry->d_name) + "/cmdline"), command);
            if (command.find("[local]") == std::string::npos) continue;
        }
        ticks += utime + stime;
    }
    if (proc) closedir(proc);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The processor time of the timed part of the iterations: this process's
// and the server's.
struct CpuTally {
    double own = 0, server = 0, backends = 0;
    template <class Body>
    void Add(Body&& body) {
        const double serverBefore = ServerCpuSeconds(), backendsBefore = ServerCpuSeconds(true);
        own += OwnCpu(body);
        server += ServerCpuSeconds() - serverBefore;
        backends += ServerCpuSeconds(true) - backendsBefore;
    }
    void Report(benchmark::State& state) const {
        const double n = static_cast<double>(state.iterations());
        state.counters["own_ms"] = own / n * 1e3;
        if (!ServerPid()) return;
        state.counters["server_ms"] = server / n * 1e3;
        state.counters["backend_ms"] = backends / n * 1e3;
    }
};

void BM_Export(benchmark::State& state) {
    const int keys = static_cast<int>(state.range(0));
    EnsureSource(keys);
    CRegistry reg;
    reg.OpenKey(HKEY_LOCAL_MACHINE, TreeKey(keys).c_str(), kReadWrite);
    CpuTally cpu;
    for (auto _ : state) {
        DWORD rc = 0;
        cpu.Add([&] {
            FILE* fp = tm_fopen(TreeFile(keys).c_str(), "wb");
            rc = reg.WriteTree(fp);
            fclose(fp);
        });
        if (rc != 0) state.SkipWithError("WriteTree failed");
    }
    cpu.Report(state);
    state.SetItemsProcessed(state.iterations() * keys * kValuesPerKey);
    state.counters["file_MB"] = static_cast<double>(std::filesystem::file_size(TreeFile(keys))) / 1e6;
}

void BM_Import(benchmark::State& state) {
    const int keys = static_cast<int>(state.range(0));
    EnsureSource(keys);
    const std::string path = TreeFile(keys);
    {
        CRegistry reg;
        reg.OpenKey(HKEY_LOCAL_MACHINE, TreeKey(keys).c_str(), kReadWrite);
        FILE* fp = tm_fopen(path.c_str(), "wb");
        reg.WriteTree(fp);
        fclose(fp);
    }
    const std::string into = TreeKey(keys) + "Imported";
    CpuTally cpu;
    for (auto _ : state) {
        state.PauseTiming();
        CRegistry().DeleteTree(HKEY_LOCAL_MACHINE, into.c_str());
        CRegistry reg;
        reg.CreateKey(HKEY_LOCAL_MACHINE, into.c_str(), kReadWrite, 0);
        FILE* fp = tm_fopen(path.c_str(), "rb");
        state.ResumeTiming();
        DWORD rc = 0;
        cpu.Add([&] { rc = reg.ReadTree(fp); });
        fclose(fp);
        if (rc != ERROR_HANDLE_EOF) state.SkipWithError("ReadTree failed");
    }
    cpu.Report(state);
    state.SetItemsProcessed(state.iterations() * keys * kValuesPerKey);
}

void BM_Copy(benchmark::State& state) {
    const int keys = static_cast<int>(state.range(0));
    EnsureSource(keys);
    const std::string into = TreeKey(keys) + "Copied";
    for (auto _ : state) {
        state.PauseTiming();
        CRegistry().DeleteTree(HKEY_LOCAL_MACHINE, into.c_str());
        CRegistry reg;
        reg.CreateKey(HKEY_LOCAL_MACHINE, into.c_str(), kReadWrite, 0);
        state.ResumeTiming();
        if (reg.CopyTree(HKEY_LOCAL_MACHINE, TreeKey(keys).c_str()) != 0) state.SkipWithError("CopyTree failed");
    }
    state.SetItemsProcessed(state.iterations() * keys * kValuesPerKey);
}

void BM_Dump(benchmark::State& state) {
    const int keys = static_cast<int>(state.range(0));
    EnsureSource(keys);
    CRegistry reg;
    reg.OpenKey(HKEY_LOCAL_MACHINE, TreeKey(keys).c_str(), kReadWrite);
    const std::string path = Sandbox() + "/dump.txt";
    for (auto _ : state) {
        // A binary stream: the cost of the walk, not of line-end translation.
        FILE* fp = tm_fopen(path.c_str(), "wb");
        reg.DumpTree(fp, 0);
        fclose(fp);
    }
    state.SetItemsProcessed(state.iterations() * keys * kValuesPerKey);
}

// Runs a shell command; the processor seconds it took, or -1 if it failed.
double ShellCpu(const std::string& command) {
    const double start = ChildrenCpuSeconds();
    const int status = system(command.c_str());
    const double spent = ChildrenCpuSeconds() - start;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? spent : -1;
}

// The number of values in a registry database.
double ValuesIn(const std::string& path) {
    sqlite3* db = nullptr;
    double count = 0;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM vals", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            count = static_cast<double>(sqlite3_column_int64(stmt, 0));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return count;
}

std::string Registry() { return getenv("TAMARAK_REGISTRY"); }

std::string DumpCommand() { return "sqlite3 '" + Registry() + "' .dump > '" + Sandbox() + "/dump.sql'"; }

// The best of each side, per value, and their ratio.
void Compare(benchmark::State& state, double ours, double oursValues, double theirs, double theirValues) {
    state.counters["ours_us_per_value"] = ours / oursValues * 1e6;
    state.counters["peer_us_per_value"] = theirs / theirValues * 1e6;
    state.counters["ours_s"] = ours;
    state.counters["peer_s"] = theirs;
    state.counters["peer_values"] = theirValues;
    state.counters["ratio"] = (theirs / theirValues) / (ours / oursValues);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(oursValues));
}

void BM_ExportVsSqliteDump(benchmark::State& state) {
    const int keys = static_cast<int>(state.range(0));
    EnsureSource(keys);
    if (ShellCpu("command -v sqlite3 > /dev/null") < 0) return state.SkipWithError("no sqlite3 shell");
    CRegistry reg;
    reg.OpenKey(HKEY_LOCAL_MACHINE, TreeKey(keys).c_str(), kReadWrite);
    const double theirValues = ValuesIn(Registry());
    double best = 1e9, bestTheirs = 1e9;
    for (auto _ : state) {
        DWORD rc = 0;
        best = std::min(best, OwnCpu([&] {
                            FILE* fp = tm_fopen(TreeFile(keys).c_str(), "wb");
                            rc = reg.WriteTree(fp);
                            fclose(fp);
                        }));
        const double theirs = ShellCpu(DumpCommand());
        if (rc != 0 || theirs < 0) return state.SkipWithError("export failed");
        bestTheirs = std::min(bestTheirs, theirs);
    }
    Compare(state, best, keys * kValuesPerKey, bestTheirs, theirValues);
}

void BM_ImportVsDumpReplay(benchmark::State& state) {
    const int keys = static_cast<int>(state.range(0));
    EnsureSource(keys);
    if (ShellCpu("command -v sqlite3 > /dev/null") < 0) return state.SkipWithError("no sqlite3 shell");
    const std::string path = TreeFile(keys), replayed = Sandbox() + "/replayed.db";
    {
        CRegistry reg;
        reg.OpenKey(HKEY_LOCAL_MACHINE, TreeKey(keys).c_str(), kReadWrite);
        FILE* fp = tm_fopen(path.c_str(), "wb");
        reg.WriteTree(fp);
        fclose(fp);
    }
    // The dump of the registry as it stands now, before any import.
    const double theirValues = ValuesIn(Registry());
    if (ShellCpu(DumpCommand()) < 0) return state.SkipWithError("sqlite3 .dump failed");
    const std::string replay = "sqlite3 '" + replayed + "' < '" + Sandbox() + "/dump.sql'";
    const std::string into = TreeKey(keys) + "Imported";
    double best = 1e9, bestTheirs = 1e9;
    for (auto _ : state) {
        CRegistry().DeleteTree(HKEY_LOCAL_MACHINE, into.c_str());
        CRegistry reg;
        reg.CreateKey(HKEY_LOCAL_MACHINE, into.c_str(), kReadWrite, 0);
        FILE* fp = tm_fopen(path.c_str(), "rb");
        DWORD rc = 0;
        best = std::min(best, OwnCpu([&] { rc = reg.ReadTree(fp); }));
        fclose(fp);
        unlink(replayed.c_str());
        const double theirs = ShellCpu(replay);
        if (rc != ERROR_HANDLE_EOF || theirs < 0) return state.SkipWithError("import failed");
        bestTheirs = std::min(bestTheirs, theirs);
    }
    Compare(state, best, keys * kValuesPerKey, bestTheirs, theirValues);
}

void Sizes(benchmark::internal::Benchmark* b) {
    b->Arg(1000)->Arg(10000);
    if (getenv("TM_BENCH_MILLION")) b->Arg(100000);
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Export)->Apply(Sizes)->Iterations(3);
BENCHMARK(BM_Import)->Apply(Sizes)->Iterations(2);
BENCHMARK(BM_Copy)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Dump)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ExportVsSqliteDump)->Apply(Sizes)->Iterations(3);
BENCHMARK(BM_ImportVsDumpReplay)->Apply(Sizes)->Iterations(3);

}  // namespace
