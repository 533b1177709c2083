//===-- bench/registry.cpp - Cost of the registry functions ---------------===//
//
// Point reads of the parameters key through the layer, against the same
// path resolved with bare SQLite statements on a comparable schema, also
// right after another connection's commit (the read the cache cannot
// answer); GetNextId against the three calls it used to make; the
// resident size over a million reads; two processes writing at once; and
// index walks over keys with thousands of subkeys.
//
// The program runs itself again with a registry of its own in a temporary
// directory (removed afterwards), as the library reads $TAMARAK_REGISTRY
// when it is first used.
//===----------------------------------------------------------------------===//
#include <sqlite3.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ProcessEnv.h"
#include "tmcommon.h"
#include "tmwin32.h"

namespace {

constexpr const char* kParameters = "Software\\Kelt\\Tamarak\\Parameters";
constexpr REGSAM kReadWrite = 0x2001F;

std::string Sandbox() { return getenv("TM_BENCH_SANDBOX"); }

HKEY CreateKey(HKEY parent, const std::string& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        fprintf(stderr, "cannot create %s\n", path.c_str());
        exit(1);
    }
    return key;
}

void SetDword(HKEY key, const char* name, DWORD value) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// The parameters key with its usual neighbours, so that lookups do not run
// over an almost empty index.
void PrepareParameters() {
    static bool done = false;
    if (done) return;
    done = true;
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kParameters);
    for (int i = 0; i < 20; ++i) SetDword(key, ("Value" + std::to_string(i)).c_str(), DWORD(i));
    SetDword(key, "Logging", 0x7);
    RegCloseKey(key);
    for (int i = 0; i < 200; ++i) RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, "Software\\Vendor" + std::to_string(i) + "\\Product\\Settings"));
}

DWORD PointRead() {
    HKEY key;
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParameters, 0, kReadWrite, &key) == ERROR_SUCCESS) {
        RegQueryValueExA(key, "Logging", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
    }
    return value;
}

void BM_PointRead(benchmark::State& state) {
    PrepareParameters();
    for (auto _ : state) benchmark::DoNotOptimize(PointRead());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PointRead)->Repetitions(5)->ReportAggregatesOnly(true);

// Another connection that commits a change to a file before each read, as
// another process of the installation would: the reader's snapshot and
// its cache are then out of date, and the read has to go to SQLite. The
// commit itself is outside the timing.
class OtherWriter {
public:
    explicit OtherWriter(const std::string& path, const char* sql) {
        sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_busy_timeout(m_db, 10000);
        // As the store's own connections: a commit does not wait for the disk.
        sqlite3_exec(m_db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(m_db, sql, -1, &m_stmt, nullptr);
    }
    ~OtherWriter() {
        sqlite3_finalize(m_stmt);
        sqlite3_close(m_db);
    }
    bool Commit() {
        sqlite3_bind_int64(m_stmt, 1, ++m_count);
        const bool done = sqlite3_step(m_stmt) == SQLITE_DONE;
        sqlite3_reset(m_stmt);
        return done;
    }

private:
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_stmt = nullptr;
    int64_t m_count = 0;
};

template <class Read>
void ReadsAfterCommits(benchmark::State& state, OtherWriter& writer, Read read) {
    for (auto _ : state) {
        state.PauseTiming();
        if (!writer.Commit()) {
            state.SkipWithError("the other connection cannot commit");
            break;
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(read());
    }
    state.SetItemsProcessed(state.iterations());
}

// The same work with SQLite alone: one connection, prepared statements,
// the path resolved a level at a time and the value read, in one read
// transaction; with the same number of keys and values.
struct BareStore {
    sqlite3* db = nullptr;
    sqlite3_stmt* begin = nullptr;
    sqlite3_stmt* commit = nullptr;
    sqlite3_stmt* child = nullptr;
    sqlite3_stmt* value = nullptr;

    BareStore() {
        std::string path = Sandbox() + "/bare.db";
        sqlite3_open(path.c_str(), &db);
        sqlite3_busy_timeout(db, 10000);
        sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                     "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
                     " name TEXT NOT NULL COLLATE NOCASE);"
                     "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, name);"
                     "CREATE TABLE vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL,"
                     " name TEXT NOT NULL COLLATE NOCASE, type INTEGER, data BLOB);"
                     "CREATE UNIQUE INDEX vals_by_name ON vals(key, name);"
                     "INSERT INTO keys VALUES(3, 0, 'HKEY_LOCAL_MACHINE');",
                     nullptr, nullptr, nullptr);
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        int64_t software = Insert(3, "Software");
        int64_t parameters = Insert(Insert(Insert(software, "Kelt"), "Tamarak"), "Parameters");
        for (int i = 0; i < 200; ++i)
            Insert(Insert(Insert(software, ("Vendor" + std::to_string(i)).c_str()), "Product"), "Settings");
        for (int i = 0; i <= 20; ++i) {
            std::string sql = "INSERT INTO vals(key, name, type, data) VALUES(" +
                              std::to_string(parameters) + ", '" +
                              (i == 20 ? std::string("Logging") : "Value" + std::to_string(i)) +
                              "', 4, x'07000000')";
            sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_prepare_v3(db, "BEGIN", -1, SQLITE_PREPARE_PERSISTENT, &begin, nullptr);
        sqlite3_prepare_v3(db, "COMMIT", -1, SQLITE_PREPARE_PERSISTENT, &commit, nullptr);
        sqlite3_prepare_v3(db, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2", -1,
                           SQLITE_PREPARE_PERSISTENT, &child, nullptr);
        sqlite3_prepare_v3(db, "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2", -1,
                           SQLITE_PREPARE_PERSISTENT, &value, nullptr);
    }
    int64_t Insert(int64_t parent, const char* name) {
        sqlite3_stmt* stmt;
        sqlite3_prepare_v2(db, "INSERT INTO keys(parent, name) VALUES(?1, ?2)", -1, &stmt, nullptr);
        sqlite3_bind_int64(stmt, 1, parent);
        sqlite3_bind_text(stmt, 2, name, -1, SQLITE_STATIC);
        sqlite3_step(stmt);
        sqlite3_finalize(stmt);
        return sqlite3_last_insert_rowid(db);
    }
    DWORD Read() {
        static const char* const kPath[] = {"Software", "Kelt", "Tamarak", "Parameters"};
        sqlite3_step(begin);
        sqlite3_reset(begin);
        int64_t id = 3;
        for (const char* name : kPath) {
            sqlite3_bind_int64(child, 1, id);
            sqlite3_bind_text(child, 2, name, -1, SQLITE_STATIC);
            id = sqlite3_step(child) == SQLITE_ROW ? sqlite3_column_int64(child, 0) : -1;
            sqlite3_reset(child);
        }
        DWORD result = 0;
        sqlite3_bind_int64(value, 1, id);
        sqlite3_bind_text(value, 2, "Logging", -1, SQLITE_STATIC);
        if (sqlite3_step(value) == SQLITE_ROW && sqlite3_column_bytes(value, 1) == 4)
            memcpy(&result, sqlite3_column_blob(value, 1), 4);
        sqlite3_reset(value);
        sqlite3_step(commit);
        sqlite3_reset(commit);
        return result;
    }
};

BareStore& Bare() {
    static BareStore* bare = new BareStore;
    return *bare;
}

void BM_BareSqlitePointRead(benchmark::State& state) {
    BareStore& bare = Bare();
    for (auto _ : state) benchmark::DoNotOptimize(bare.Read());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareSqlitePointRead)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_BareSqlitePointReadAfterAnotherCommit(benchmark::State& state) {
    BareStore& bare = Bare();
    static OtherWriter writer(Sandbox() + "/bare.db", "INSERT OR REPLACE INTO keys VALUES(1000000, 0, ?1)");
    ReadsAfterCommits(state, writer, [&] { return bare.Read(); });
}
BENCHMARK(BM_BareSqlitePointReadAfterAnotherCommit)->Repetitions(5)->ReportAggregatesOnly(true);

// GetNextId, and the three calls it made before the store took the
// counter's read, increment and write into one transaction: open the key,
// read the value, write it back, under the installation mutex.
void BM_GetNextId(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(GetNextId());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetNextId)->Repetitions(3)->UseRealTime();

DWORD NextIdInThreeCalls() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kParameters, 0, nullptr, 0, kReadWrite, nullptr, &key, nullptr))
        return 0;
    HANDLE mutex = g_ProcessEnv.m_hInstallMutex;
    DWORD next = 0;
    DWORD wait = WaitForSingleObject(mutex, INFINITE);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
        DWORD last = 0, size = sizeof last;
        LONG rc = RegQueryValueExA(key, "LastId", nullptr, nullptr, reinterpret_cast<BYTE*>(&last), &size);
        if (rc != ERROR_SUCCESS) last = 0;
        next = (last + 1) & 0xFFFFF;
        SetDword(key, "LastId", next);
        ReleaseMutex(mutex);
    }
    RegCloseKey(key);
    return next;
}

void BM_GetNextIdInThreeCalls(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(NextIdInThreeCalls());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetNextIdInThreeCalls)->Repetitions(3)->UseRealTime();

void BM_PointReadAfterAnotherCommit(benchmark::State& state) {
    PrepareParameters();
    // A row of the registry's own bookkeeping, which no read looks at.
    static OtherWriter writer(getenv("TAMARAK_REGISTRY"),
                              "INSERT OR REPLACE INTO meta(name, value) VALUES('bench', ?1)");
    PointRead();
    ReadsAfterCommits(state, writer, PointRead);
}
BENCHMARK(BM_PointReadAfterAnotherCommit)->Repetitions(5)->ReportAggregatesOnly(true);

// Point reads while another process commits all the time: the reads then
// mostly go to SQLite, as the cache holds only between commits.
void BM_PointReadWhileAnotherProcessWrites(benchmark::State& state) {
    PrepareParameters();
    pid_t writer = fork();
    if (writer == 0) {
        HKEY key = CreateKey(HKEY_LOCAL_MACHINE, "Software\\Bench\\Noise");
        for (DWORD i = 0;; ++i) SetDword(key, "Counter", i);
    }
    usleep(100000);
    for (auto _ : state) benchmark::DoNotOptimize(PointRead());
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PointReadWhileAnotherProcessWrites)->MinTime(2.0);

long ResidentKiB() {
    FILE* f = fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Resident size before and after a million point reads, after a warm-up.
void BM_PointReadResidentSize(benchmark::State& state) {
    PrepareParameters();
    for (auto _ : state) {
        for (int i = 0; i < 20000; ++i) PointRead();
        long before = ResidentKiB();
        for (int i = 0; i < 1000000; ++i) benchmark::DoNotOptimize(PointRead());
        long after = ResidentKiB();
        state.counters["rss_before_KiB"] = double(before);
        state.counters["rss_after_KiB"] = double(after);
        state.counters["rss_growth_KiB"] = double(after - before);
    }
}
BENCHMARK(BM_PointReadResidentSize)->Iterations(1)->Unit(benchmark::kSecond);

// Two processes write values as fast as they can for a few seconds; each
// reports its count and its median and 99th-percentile latency.
void BM_TwoProcessWriters(benchmark::State& state) {
    constexpr int kProcs = 2;
    const auto kDuration = std::chrono::seconds(4);
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0) return;
        std::vector<pid_t> pids;
        for (int p = 0; p < kProcs; ++p) {
            pid_t pid = fork();
            if (pid == 0) {
                HKEY key = CreateKey(HKEY_LOCAL_MACHINE, "Software\\Bench\\Writers");
                std::vector<double> latencies;
                latencies.reserve(1 << 20);
                std::string name = "Writer" + std::to_string(p);
                auto end = std::chrono::steady_clock::now() + kDuration;
                for (DWORD i = 0;; ++i) {
                    auto t0 = std::chrono::steady_clock::now();
                    if (t0 >= end) break;
                    SetDword(key, (name + "_" + std::to_string(i % 64)).c_str(), i);
                    auto t1 = std::chrono::steady_clock::now();
                    latencies.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
                }
                std::sort(latencies.begin(), latencies.end());
                double report[4] = {double(p), double(latencies.size()),
                                    latencies[latencies.size() / 2],
                                    latencies[latencies.size() * 99 / 100]};
                if (write(fds[1], report, sizeof report) != sizeof report) _exit(1);
                _exit(0);
            }
            pids.push_back(pid);
        }
        close(fds[1]);
        double report[4];
        while (read(fds[0], report, sizeof report) == sizeof report) {
            std::string prefix = "p" + std::to_string(int(report[0])) + "_";
            state.counters[prefix + "writes"] = report[1];
            state.counters[prefix + "p50_us"] = report[2];
            state.counters[prefix + "p99_us"] = report[3];
        }
        close(fds[0]);
        for (pid_t pid : pids) waitpid(pid, nullptr, 0);
    }
}
BENCHMARK(BM_TwoProcessWriters)->Iterations(1)->Unit(benchmark::kSecond);

// One index walk over a key with 10,000 subkeys, as the tree functions
// walk: for (i = 0; RegEnumKeyA(h, i, ...) == 0; ++i).
void BM_EnumKeys10000(benchmark::State& state) {
    static bool made = false;
    if (!made) {
        made = true;
        HKEY key = CreateKey(HKEY_LOCAL_MACHINE, "Software\\Bench\\Wide");
        for (int i = 0; i < 10000; ++i) RegCloseKey(CreateKey(key, "Sub" + std::to_string(i)));
        RegCloseKey(key);
    }
    HKEY key;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Bench\\Wide", 0, KEY_READ, &key);
    DWORD count = 0;
    for (auto _ : state) {
        char name[64];
        for (count = 0; RegEnumKeyA(key, count, name, sizeof name) == ERROR_SUCCESS; ++count) {
        }
    }
    RegCloseKey(key);
    state.counters["subkeys"] = count;
    state.counters["us_per_call"] = benchmark::Counter(
        double(count) * 1e-6, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_EnumKeys10000)->Unit(benchmark::kMillisecond);

// An export: 10,000 keys of 10 values each, walked key by key with the
// value enumerated and then read, as the tree file writer does.
void BM_Export10000Keys(benchmark::State& state) {
    static bool made = false;
    if (!made) {
        made = true;
        HKEY root = CreateKey(HKEY_LOCAL_MACHINE, "Software\\Bench\\Export");
        for (int i = 0; i < 10000; ++i) {
            HKEY key = CreateKey(root, "Key" + std::to_string(i));
            for (int v = 0; v < 10; ++v) SetDword(key, ("Value" + std::to_string(v)).c_str(), DWORD(v));
            RegCloseKey(key);
        }
        RegCloseKey(root);
    }
    HKEY root;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Bench\\Export", 0, kReadWrite, &root);
    size_t values = 0;
    for (auto _ : state) {
        values = 0;
        char name[64];
        for (DWORD i = 0; RegEnumKeyA(root, i, name, sizeof name) == ERROR_SUCCESS; ++i) {
            HKEY key;
            if (RegOpenKeyExA(root, name, 0, kReadWrite, &key)) continue;
            char valueName[64];
            BYTE data[256];
            for (DWORD v = 0;; ++v) {
                DWORD cch = sizeof valueName, type = 0, size = 0;
                if (RegEnumValueA(key, v, valueName, &cch, nullptr, &type, nullptr, nullptr)) break;
                size = sizeof data;
                if (RegQueryValueExA(key, valueName, nullptr, &type, data, &size) == ERROR_SUCCESS) ++values;
            }
            RegCloseKey(key);
        }
    }
    RegCloseKey(root);
    state.counters["values"] = double(values);
}
BENCHMARK(BM_Export10000Keys)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
