//===-- bench/stress/CrashTest.cpp - Processes killed at work -------------===//
//
// Real processes of one installation killed at moments the test picks:
// registry writers in the middle of their writes, holders of the named
// mutexes and of the queue events, event-log writers in the middle of
// their lines. What the survivors and the files show afterwards is
// checked against what each process reported before it died.
//===----------------------------------------------------------------------===//
#include <chrono>
#include <future>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "Payload.h"
#include "ReliabilitySupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

namespace payload = tmtest::payload;

std::string Worker() { return HelperPath("crash_worker"); }

//===-- Registry writers --------------------------------------------------===//

constexpr uint32_t kSlots = 12;

// One writer process's history: what its incarnations said they wrote.
struct Writer {
    uint32_t id = 0;
    pid_t pid = -1;
    int incarnation = 0;
    std::string out;
    std::map<uint32_t, uint32_t> stored;                // slot -> sequence number known stored
    std::optional<std::pair<uint32_t, uint32_t>> open;  // begun, not known finished
    uint64_t finished = 0, failed = 0, killedInWrite = 0;
};

std::optional<std::string> ReadValue(uint32_t writer, uint32_t slot) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\CrashTest", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::string name = "w" + std::to_string(writer) + "-s" + std::to_string(slot);
    std::string data(payload::kMaxValue, '\0');
    DWORD size = static_cast<DWORD>(data.size()), type = 0;
    LONG rc = RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    data.resize(size);
    return data;
}

class RegistryKills {
public:
    RegistryKills() : m_rng(std::random_device{}()) {
        for (uint32_t w = 0; w < 2; ++w) m_writers[w].id = w;
    }

    void Start(Writer& w) {
        ++w.incarnation;
        w.out = SandboxDir() + "/writer" + std::to_string(w.id) + "-" + std::to_string(w.incarnation) + ".out";
        // Sequence numbers never repeat across incarnations.
        uint32_t first = static_cast<uint32_t>(w.incarnation) * 1000000u;
        w.pid = StartProgram(Worker(), {"reg-write", std::to_string(w.id), std::to_string(kSlots),
                                        std::to_string(first), std::to_string(m_rng())},
                             {}, w.out);
    }

    // Lets the writer live a random while: one time in eight from its start
    // (library load, registry open, first write), else from its first write.
    void LetLive(Writer& w) {
        if (m_rng() % 8 != 0) {
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (ReadFile(w.out).empty() && std::chrono::steady_clock::now() < end) usleep(500);
        }
        usleep(static_cast<useconds_t>(m_rng() % 30000));
    }

    // Kills the writer, reads what it reported, and checks each of its
    // values: the last write known finished, or the one it was in.
    void KillAndCheck(Writer& w) {
        EXPECT_EQ(Kill(w.pid), 128 + SIGKILL) << "writer " << w.id << " ended before the kill: " << ReadFile(w.out);
        ++m_kills;
        for (const std::string& line : SplitLines(ReadFile(w.out))) {
            char kind = 0;
            unsigned slot = 0, seq = 0;
            if (sscanf(line.c_str(), "%c %u %u", &kind, &slot, &seq) != 3) {
                ADD_FAILURE() << "writer " << w.id << ": " << line;
                continue;
            }
            if (kind == 'B') w.open = std::make_pair(slot, seq);
            if (kind == 'E') {
                w.stored[slot] = seq;
                w.open.reset();
                ++w.finished;
            }
            if (kind == 'F') {
                ADD_FAILURE() << "writer " << w.id << " could not write: " << line;
                ++w.failed;
                w.open.reset();
            }
        }
        if (w.open) ++w.killedInWrite;
        for (uint32_t slot = 0; slot < kSlots; ++slot) {
            std::optional<std::string> value = ReadValue(w.id, slot);
            std::vector<uint32_t> candidates;
            if (w.stored.count(slot)) candidates.push_back(w.stored[slot]);
            if (w.open && w.open->first == slot) candidates.push_back(w.open->second);
            if (!value) {
                EXPECT_EQ(w.stored.count(slot), 0u) << "writer " << w.id << " slot " << slot << ": lost";
                continue;
            }
            std::optional<uint32_t> match;
            for (uint32_t seq : candidates) {
                if (*value == payload::MakeValue(w.id, slot, seq)) match = seq;
            }
            if (!match) {
                ADD_FAILURE() << "writer " << w.id << " slot " << slot << " after kill " << m_kills << ": "
                              << (payload::SelfConsistent(*value) ? "a whole value of another write"
                                                                  : "neither the old nor the new value")
                              << " (" << value->size() << " bytes)";
                continue;
            }
            w.stored[slot] = *match;
        }
        w.open.reset();
    }

    void Run(int kills) {
        for (Writer& w : m_writers) Start(w);
        while (m_kills < kills && !::testing::Test::HasFailure()) {
            Writer& w = m_writers[m_rng() % 2];
            Writer& other = m_writers[1 - w.id];
            LetLive(w);
            // Now and then both at once.
            bool both = m_rng() % 8 == 0;
            KillAndCheck(w);
            if (both) KillAndCheck(other);
            Start(w);
            if (both) Start(other);
            if (m_kills % 100 < (both ? 2 : 1)) {
                EXPECT_EQ(IntegrityCheck(), "ok") << "after " << m_kills << " kills";
            }
        }
        for (Writer& w : m_writers) KillAndCheck(w);
    }

    void Report() const {
        uint64_t finished = 0, inWrite = 0;
        for (const Writer& w : m_writers) {
            finished += w.finished;
            inWrite += w.killedInWrite;
        }
        Figure("registry writers: " + std::to_string(m_kills) + " SIGKILLs of 2 concurrent writers, " +
               std::to_string(inWrite) + " in the middle of a write, " + std::to_string(finished) +
               " writes finished (1 B to 96 KiB)");
    }

private:
    std::mt19937_64 m_rng;
    Writer m_writers[2];
    int m_kills = 0;
};

TEST(CrashTest, RegistryWritersKilledAtRandomKeepOldOrNewValues) {
    RegistryKills run;
    run.Run(LongRun() ? 1000 : 40);
    EXPECT_EQ(IntegrityCheck(), "ok");
    run.Report();
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
            return ReadFiles(logDir).find(text + "\r\n") != std::string::npos;
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

constexpr char kProcess[] = "crash_worker";

// A line the event log could have begun for the worker and that was cut
// short: a prefix of "crash_worker ~ HH:MM:SS 0xTHREAD TAG N text". The
// tag, when the cut left it whole, goes to *tag.
bool IsCutLine(const std::string& line, std::string* tag) {
    const std::string name = std::string(kProcess) + " ~ ";
    if (line.compare(0, name.size(), name, 0, std::min(line.size(), name.size())) != 0) return false;
    const std::string shape = name + "dd:dd:dd 0xhhhhhhhh ";
    for (size_t i = name.size(); i < line.size() && i < shape.size(); ++i) {
        char c = line[i], s = shape[i];
        bool ok = s == 'd' ? isdigit(static_cast<unsigned char>(c)) != 0
                  : s == 'h' ? isxdigit(static_cast<unsigned char>(c)) != 0
                             : c == s;
        if (!ok) return false;
    }
    if (line.size() <= shape.size()) return true;
    std::string text = line.substr(shape.size());
    size_t space = text.find(' ');
    if (space == std::string::npos) return true;
    size_t second = text.find(' ', space + 1);
    if (second == std::string::npos) return true;
    *tag = text.substr(0, space);
    uint64_t n = strtoull(text.c_str() + space + 1, nullptr, 10);
    std::string whole = payload::LogText(*tag, n);
    return text.size() < whole.size() && whole.compare(0, text.size(), text) == 0;
}

TEST(CrashTest, LogWritersKilledInTheMiddleOfALine) {
    const std::string dir = MakeDir("killed-writers");
    const std::string stop = SandboxDir() + "/stop-survivors";
    std::mt19937 rng(std::random_device{}());
    // Two processes write all along and are never killed.
    std::vector<pid_t> survivors;
    for (int s = 0; s < 2; ++s) {
        survivors.push_back(StartProgram(Worker(), {"log-until", dir, "S" + std::to_string(s), stop}, {},
                                         SandboxDir() + "/survivor" + std::to_string(s) + ".out"));
    }
    // The survivors have the log's mutex open before anyone dies holding
    // it: a mutex whose last handle goes with its holder is gone, as on
    // Windows, and the next opener makes a new one that nobody abandoned.
    auto started = [&] {
        const std::string all = ReadFiles(dir);
        return all.find(" S0 0 ") != std::string::npos && all.find(" S1 0 ") != std::string::npos;
    };
    for (int i = 0; i < 3000 && !started(); ++i) usleep(10000);
    ASSERT_TRUE(started()) << "the survivors wrote nothing";
    // A writer that dies holding the log with half a line written: killed,
    // and ended by exit from main under its thread.
    int torn = 0;
    for (const char* how : {"kill", "exit"}) {
        std::string out = SandboxDir() + "/torn-" + how + ".out";
        pid_t pid = StartProgram(Worker(), {"log-torn", dir, std::string("T") + how, how}, {}, out);
        ASSERT_TRUE(WaitForText(out, "torn\n")) << how;
        if (std::string(how) == "kill") {
            Kill(pid);
        } else {
            EXPECT_EQ(WaitAtMost(pid, 20), 0) << how;
        }
        ++torn;
    }
    // Writers killed at random moments, and processes whose main returns
    // while three threads write.
    const int kills = LongRun() ? 1000 : 25, exits = LongRun() ? 200 : 8;
    for (int k = 0; k < kills; ++k) {
        pid_t pid = StartProgram(Worker(), {"log-loop", dir, "K" + std::to_string(k)});
        usleep(5000 + rng() % 25000);
        EXPECT_EQ(Kill(pid), 128 + SIGKILL) << "writer " << k << " ended before the kill";
    }
    // The library's clean-up at exit runs while the threads still write;
    // a sanitizer that catches them in freed state has time to print the
    // first line of its report before the process is gone.
    for (int e = 0; e < exits; ++e) {
        ProcessResult r = RunProgram(Worker(), {"log-exit", dir, "X" + std::to_string(e), "3",
                                                std::to_string(5 + rng() % 25)});
        EXPECT_EQ(r.exitCode, 0) << "exit " << e;
        EXPECT_EQ(r.err, "") << "exit " << e;
    }
    WriteFile(stop, "");
    std::map<std::string, uint64_t> written;
    for (int s = 0; s < 2; ++s) {
        ASSERT_EQ(WaitAtMost(survivors[s], 60), 0) << "survivor " << s << " did not finish";
        written["S" + std::to_string(s)] = strtoull(
            ReadFile(SandboxDir() + "/survivor" + std::to_string(s) + ".out").c_str(), nullptr, 10);
    }

    const std::vector<std::string> lines = MainLogLines(dir);
    ASSERT_FALSE(lines.empty());
    std::map<std::string, std::set<uint64_t>> seen;
    uint64_t whole = 0, cut = 0;
    for (const std::string& line : lines) {
        std::string body = MainLineText(line, kProcess), tag;
        uint64_t n = 0;
        if (!body.empty() && payload::ParseLogText(body, &tag, &n)) {
            EXPECT_TRUE(seen[tag].insert(n).second) << "twice: " << line.substr(0, 80);
            ++whole;
        } else if (tag.clear(), IsCutLine(line, &tag) && !written.count(tag)) {
            ++cut;
        } else {
            ADD_FAILURE() << "torn or glued line: " << line.substr(0, 200);
        }
    }
    for (const auto& [tag, count] : written) {
        EXPECT_GT(count, 0u) << tag;
        EXPECT_EQ(seen[tag].size(), count) << tag << " lost lines";
        if (!seen[tag].empty()) {
            EXPECT_EQ(*seen[tag].rbegin(), count - 1) << tag;
        }
    }
    EXPECT_GE(cut, static_cast<uint64_t>(torn)) << "the torn lines were not ended";
    Figure("event-log writers: " + std::to_string(kills) + " SIGKILLs and " + std::to_string(exits) +
           " exits from main under 3 writing threads, beside 2 writers that lived; " + std::to_string(whole) +
           " whole lines, " + std::to_string(cut) + " cut lines of dead writers (" + std::to_string(torn) +
           " cut on purpose), survivors wrote " + std::to_string(written["S0"] + written["S1"]) +
           " lines, none lost, torn or glued");
}

}  // namespace
}  // namespace tmtest
