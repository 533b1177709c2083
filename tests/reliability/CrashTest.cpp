//===-- tests/reliability/CrashTest.cpp - Processes killed at work --------===//
//
// Real processes of one installation killed at moments the test picks:
// registry writers in the middle of their writes, event-log writers in the
// middle of their lines, and processes whose main returns while their
// threads still log; and the holders of the installation's named mutexes
// and queue events. What the survivors and the files show afterwards is
// checked against what each process reported before it died.
//===----------------------------------------------------------------------===//
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <set>

#include "reliability/Payload.h"
#include "reliability/ReliabilitySupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

namespace payload = tmtest::payload;

constexpr uint32_t kSlots = 12;

// The value of a writer's slot, or "none".
std::string ReadValue(uint32_t writer, uint32_t slot) {
    std::string name = "w" + std::to_string(writer) + "-s" + std::to_string(slot), data(payload::kMaxValue, '\0');
    DWORD size = static_cast<DWORD>(data.size());
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\CrashTest", 0, KEY_READ, &key);
    if (rc == ERROR_SUCCESS) {
        rc = RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size);
        RegCloseKey(key);
    }
    return rc == ERROR_SUCCESS ? data.substr(0, size) : "none";
}

TEST(CrashTest, RegistryWritersKilledAtRandomKeepOldOrNewValues) {
    std::mt19937_64 rng(std::random_device{}());
    struct Writer {
        pid_t pid = -1;
        std::string out;
        std::map<uint32_t, uint32_t> stored;  // slot -> sequence number known stored
    } writers[2];
    int kills = 0, inWrite = 0, finished = 0;
    auto start = [&](uint32_t w) {
        writers[w].out = SandboxDir() + "/writer" + std::to_string(w) + "-" + std::to_string(kills) + ".out";
        // Sequence numbers never repeat across incarnations.
        writers[w].pid = StartProgram(HelperPath("crash_worker"), {"reg-write", std::to_string(w), std::to_string(kSlots),
                                      std::to_string((kills + 1) * 1000000u), std::to_string(rng())}, {}, writers[w].out);
    };
    // Each value after the kill is the last write known finished, or the
    // one the writer was in; never lost, older, or another write's.
    auto killAndCheck = [&](uint32_t id) {
        Writer& w = writers[id];
        EXPECT_EQ(Kill(w.pid), 128 + SIGKILL) << "writer " << id << " ended before the kill: " << ReadFile(w.out);
        unsigned slot = 0, seq = 0, open = kSlots;  // the slot of a write begun, not known finished
        for (const std::string& line : SplitLines(ReadFile(w.out))) {
            char kind = 0;
            if (sscanf(line.c_str(), "%c %u %u", &kind, &slot, &seq) != 3 || kind == 'F') ADD_FAILURE() << id << ": " << line;
            if (kind == 'E') w.stored[slot] = seq, ++finished;
            open = kind == 'B' ? slot : kSlots;
        }
        inWrite += open < kSlots;
        for (slot = 0; slot < kSlots; ++slot) {
            std::string value = ReadValue(id, slot);
            if (slot == open && value == payload::MakeValue(id, slot, seq)) w.stored[slot] = seq;
            EXPECT_TRUE(value == (w.stored.count(slot) ? payload::MakeValue(id, slot, w.stored[slot]) : "none"))
                << "writer " << id << " slot " << slot
                << " after kill " << kills << ": neither the old nor the new value (" << value.size() << " bytes)";
        }
        ++kills;
    };
    start(0), start(1);
    while (kills < (LongRun() ? 1000 : 40) && !::testing::Test::HasFailure()) {
        uint32_t w = rng() % 2;
        // One time in eight from its start (library load, registry open),
        // else from its first write.
        if (rng() % 8 != 0) WaitForText(writers[w].out, "B ");
        usleep(static_cast<useconds_t>(rng() % 30000));
        killAndCheck(w);
        start(w);
        EXPECT_TRUE(kills % 100 != 0 || IntegrityCheck() == "ok") << "after " << kills << " kills";
    }
    killAndCheck(0), killAndCheck(1);
    EXPECT_EQ(IntegrityCheck(), "ok");
    Figure("registry writers: " + std::to_string(kills) + " SIGKILLs of 2 concurrent writers, " +
           std::to_string(inWrite) + " in the middle of a write, " + std::to_string(finished) +
           " writes finished (1 B to 96 KiB)");
}

//===-- Holders of named objects ------------------------------------------===//

// A library call that must finish although the mutex's last holder died.
bool WithinSeconds(int seconds, std::function<bool()> call) {
    auto done = std::async(std::launch::async, std::move(call));
    if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        ADD_FAILURE() << "still waiting after " << seconds << " s";
        done.wait();  // cannot be abandoned; the test would hang here at worst
        return false;
    }
    return done.get();
}

pid_t HoldUntilKilled(const std::string& name) {
    static int holders = 0;
    const std::string out = SandboxDir() + "/holder" + std::to_string(++holders) + ".out";
    pid_t holder = StartProgram(HelperPath("kobj_peer"), {"mutex-hold", name}, {}, out);
    EXPECT_TRUE(WaitForText(out, "held 0\n")) << ReadFile(out);
    return holder;
}

TEST(CrashTest, KilledMutexHoldersAreAbandonedOnceThenFree) {
    const std::string logDir = MakeDir("mutex-logs");
    SetEventLogPath(const_cast<char*>(logDir.c_str()));
    // This process holds the three mutexes as well, as a process of the
    // installation does once it has logged and asked for its root path: a
    // killed holder is then never the last one, whatever a waiter's start
    // takes.
    CEventLog(0).LogEvent(0x2000, "holding the log mutexes");
    char root[256];
    GetRootPath(root, sizeof root);
    int lines = 0;
    // Each library call leaves a whole line behind it, or the next number.
    auto logLine = [&](int log) {
        return [&, log] {
            std::string text = "after its holder died " + std::to_string(++lines);
            CEventLog(log).LogEvent(0x2000, "%s", text.c_str());
            std::string all;
            for (auto& e : std::filesystem::directory_iterator(logDir)) all += ReadFile(e.path());
            return all.find(text + "\r\n") != std::string::npos;
        };
    };
    auto nextId = [] {
        DWORD first = GetNextId();
        return first != 0 && GetNextId() == ((first + 1) & 0xFFFFF);
    };
    struct Case {
        const char* what;
        const char* name;
        std::function<bool()> call;
    };
    const Case kCases[] = {
        {"main log", "D02369B4-D2CF-11d1-86B0-0080C8330493", logLine(0)},
        {"web log", "D02369B5-D2CF-11d1-86B0-0080C8330493", logLine(1)},
        {"installation", "D02369B6-D2CF-11d1-86B0-0080C8330493", nextId},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        const std::string waiter = SandboxDir() + "/waiter-" + std::to_string(&c - kCases) + ".out";
        // A process already waiting when the holder dies gets the mutex,
        // abandoned; the next one gets it as usual, and so does the library.
        pid_t holder = HoldUntilKilled(c.name);
        pid_t first = StartProgram(HelperPath("kobj_peer"), {"mutex-wait", c.name, "30000", "0"}, {}, waiter);
        usleep(100000);
        Kill(holder);
        EXPECT_EQ(WaitAtMost(first, 40), 0);
        EXPECT_EQ(ReadFile(waiter), "wait 80\nreleased 1\n");
        ProcessResult next = RunProgram(HelperPath("kobj_peer"), {"mutex-wait", c.name, "5000", "0"});
        EXPECT_EQ(next.out, "wait 0\nreleased 1\n");
        EXPECT_TRUE(WithinSeconds(20, c.call));
        // The library meets the abandoned mutex itself, then a process
        // finds it free.
        holder = HoldUntilKilled(c.name);
        Kill(holder);
        EXPECT_TRUE(WithinSeconds(20, c.call));
        next = RunProgram(HelperPath("kobj_peer"), {"mutex-wait", c.name, "5000", "0"});
        EXPECT_EQ(next.out, "wait 0\nreleased 1\n");
    }
}

TEST(CrashTest, QueueEventsGoWithTheirLastHolder) {
    const char* kNames[] = {"f958c278-e360-11d2-871b-0080c8330493",
                            "Outgoing Message D02369B6-D2CF-11d1-86B0-0080C8330493",
                            "Priority Message D02369B6-D2CF-11d1-86B0-0080C8330493"};
    auto watch = [](const std::string& out) {
        pid_t pid = StartProgram(TmctlPath(), {"queue", "watch", "--for", "120"}, {}, out);
        EXPECT_TRUE(WaitForText(out, "watching ")) << ReadFile(out);
        return pid;
    };
    auto gone = [&] {
        EXPECT_EQ(SignalExternalEmail(), 0);
        EXPECT_EQ(SignalPriorityEmail(), 0);
        for (const char* name : kNames) {
            SetLastError(0);
            HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, name);
            EXPECT_EQ(h, nullptr) << name;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
            if (h) CloseHandle(h);
        }
    };
    const std::string a = SandboxDir() + "/watch-a.out", b = SandboxDir() + "/watch-b.out";
    const std::string c = SandboxDir() + "/watch-c.out";
    // The only holder killed: its events are gone for everyone.
    Kill(watch(a));
    gone();
    // One of two holders killed: the other still receives every signal.
    pid_t first = watch(b), second = watch(c);
    Kill(first);
    EXPECT_EQ(SignalExternalEmail(), 1);
    EXPECT_EQ(SignalPriorityEmail(), 1);
    EXPECT_TRUE(WaitForText(c, "event outgoing\n")) << ReadFile(c);
    EXPECT_TRUE(WaitForText(c, "event priority\n")) << ReadFile(c);
    Kill(second);
    gone();
}

//===-- Event-log writers -------------------------------------------------===//

// A line a killed writer left cut short: a prefix of one of its whole
// lines, or cut before its number ended.
bool IsCutLine(const std::string& line) {
    static const std::regex kHead("crash_worker ~ [0-9:]{8} 0x[0-9a-f]{8} (K[0-9]+) ([0-9]+) ");
    std::smatch m;
    if (!std::regex_search(line, m, kHead, std::regex_constants::match_continuous)) return line.size() < 56;
    const std::string text = line.substr(m.position(1)), whole = payload::LogText(m[1], std::stoull(m[2]));
    return text.size() < whole.size() && whole.starts_with(text);
}

TEST(CrashTest, LogWritersKilledInTheMiddleOfALine) {
    const std::string dir = MakeDir("killed-writers"), stop = SandboxDir() + "/stop-survivors";
    std::mt19937 rng(std::random_device{}());
    // Two processes write all along and are never killed.
    std::vector<pid_t> survivors;
    for (int s = 0; s < 2; ++s) {
        survivors.push_back(StartProgram(HelperPath("crash_worker"), {"log-until", dir, "S" + std::to_string(s), stop},
                                         {}, SandboxDir() + "/survivor" + std::to_string(s) + ".out"));
    }
    const int kills = LongRun() ? 1000 : 25, exits = LongRun() ? 200 : 8;
    for (int k = 0; k < kills; ++k) {
        pid_t pid = StartProgram(HelperPath("crash_worker"), {"log-loop", dir, "K" + std::to_string(k)});
        usleep(5000 + rng() % 25000);
        EXPECT_EQ(Kill(pid), 128 + SIGKILL) << "writer " << k << " ended before the kill";
    }
    // The library's clean-up at exit runs while three threads still write;
    // a sanitizer that catches them in freed state has time to print the
    // first line of its report before the process is gone.
    for (int e = 0; e < exits; ++e) {
        ProcessResult r = RunProgram(HelperPath("crash_worker"),
                                     {"log-exit", dir, "X" + std::to_string(e), "3", std::to_string(5 + rng() % 25)});
        EXPECT_EQ(r.exitCode, 0) << "exit " << e;
        EXPECT_EQ(r.err, "") << "exit " << e;
    }
    WriteFile(stop, "");
    std::map<std::string, uint64_t> written;
    for (int s = 0; s < 2; ++s) {
        ASSERT_EQ(WaitAtMost(survivors[s], 60), 0) << "survivor " << s << " did not finish";
        written["S" + std::to_string(s)] = std::stoull(ReadFile(SandboxDir() + "/survivor" + std::to_string(s) + ".out"));
    }
    std::map<std::string, std::set<uint64_t>> seen;
    uint64_t whole = 0, cut = 0;
    for (const std::string& line : MainLogLines(dir)) {
        std::string tag;
        uint64_t n = 0;
        if (payload::ParseLogText(MainLineText(line, "crash_worker"), &tag, &n)) {
            EXPECT_TRUE(seen[tag].insert(n).second) << "twice: " << line.substr(0, 80);
            ++whole;
        } else {
            EXPECT_TRUE(IsCutLine(line)) << "torn or glued line: " << line.substr(0, 200);
            ++cut;
        }
    }
    for (const auto& [tag, count] : written) {
        EXPECT_GT(count, 0u) << tag;
        EXPECT_EQ(seen[tag].size(), count) << tag << " lost lines";
        EXPECT_EQ(seen[tag].empty() ? 0 : *seen[tag].rbegin() + 1, count) << tag;
    }
    Figure("event-log writers: " + std::to_string(kills) + " SIGKILLs and " + std::to_string(exits) +
           " exits from main under 3 writing threads, beside 2 writers that lived; " + std::to_string(whole) +
           " whole lines, " + std::to_string(cut) + " cut lines of dead writers, survivors wrote " +
           std::to_string(written["S0"] + written["S1"]) + " lines, none lost, torn or glued");
}

}  // namespace
}  // namespace tmtest
