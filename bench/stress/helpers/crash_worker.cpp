//===-- bench/stress/helpers/crash_worker.cpp - Processes killed at work --===//
//
// Started by the crash tests as processes of the installation, to be killed
// with SIGKILL at a moment the test picks, or to end by exit from main while
// their threads are still at work:
//
//   reg-write WRITER SLOTS FIRST SEED
//       writes REG_BINARY values HKLM\Software\CrashTest "wWRITER-sSLOT"
//       for ever, sequence numbers from FIRST on, a random slot each time.
//       Before each write prints "B SLOT SEQ", after it "E SLOT SEQ", or
//       "F SLOT SEQ CODE" when the call failed.
//   log-loop DIR TAG
//       writes main-log lines "TAG N ..." for ever.
//   log-until DIR TAG STOPFILE
//       writes lines until STOPFILE exists, then prints how many.
//   log-exit DIR TAG THREADS MS
//       THREADS threads write lines "TAGtI N ..." for ever; after MS
//       milliseconds main returns, and the process ends under them.
//   log-torn DIR TAG kill|exit
//       holds the main log, writes a whole line and then half a line
//       straight into today's file, as a writer cut off in the middle of
//       its write leaves it. "kill": prints "torn" and waits to be killed;
//       "exit": a thread does it, and main returns while it holds the log.
//
// Output goes out with one write(2) per line, so that a kill never cuts
// a report in two. Exit status 0 unless a step failed; 2 for bad usage.
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "../Payload.h"
#include <tmcommon/tmcommon.h>

namespace {

namespace payload = tmtest::payload;

void Say(const std::string& line) {
    std::string text = line + "\n";
    if (write(1, text.data(), text.size()) < 0) _exit(3);
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

int RegWrite(uint32_t writer, uint32_t slots, uint32_t first, uint64_t seed) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\CrashTest", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        Say("F - - " + std::to_string(rc));
        return 1;
    }
    uint64_t state = payload::Mix(seed) | 1;
    for (uint32_t seq = first;; ++seq) {
        state = payload::Mix(state + seq);
        uint32_t slot = static_cast<uint32_t>(state % slots);
        std::string value = payload::MakeValue(writer, slot, seq);
        std::string name = "w" + std::to_string(writer) + "-s" + std::to_string(slot);
        std::string what = std::to_string(slot) + " " + std::to_string(seq);
        Say("B " + what);
        rc = RegSetValueExA(key, name.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE*>(value.data()),
                            static_cast<DWORD>(value.size()));
        Say((rc == ERROR_SUCCESS ? "E " : "F ") + what + (rc == ERROR_SUCCESS ? "" : " " + std::to_string(rc)));
    }
}

void LogLine(CEventLog& log, const std::string& tag, uint64_t n) {
    log.LogEvent(0x2000, "%s", payload::LogText(tag, n).c_str());
}

// Today's main-log file of this process, as the event log names it.
std::string TodaysLog(const std::string& dir) {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char name[32];
    strftime(name, sizeof name, "/TM%y%m%d.log", &t);
    return dir + name;
}

// Holds the main log and leaves half a line at its end.
void WriteTorn(const std::string& dir, const std::string& tag, CEventLog& log) {
    log.Lock(0);
    LogLine(log, tag, 0);
    std::string half = "crash_worker ~ 00:00:00 0x00000000 " + payload::LogText(tag, 1);
    half.resize(half.size() / 2);
    int fd = open(TodaysLog(dir).c_str(), O_WRONLY | O_APPEND);
    if (fd < 0 || write(fd, half.data(), half.size()) != static_cast<ssize_t>(half.size())) _exit(4);
    close(fd);
}

int LogTorn(const std::string& dir, const std::string& tag, const std::string& how) {
    if (how == "kill") {
        CEventLog log(0);
        WriteTorn(dir, tag, log);
        Say("torn");
        for (;;) pause();
    }
    std::atomic<bool> torn{false};
    std::thread([&] {
        CEventLog log(0);
        WriteTorn(dir, tag, log);
        torn = true;
        for (;;) pause();
    }).detach();
    while (!torn) usleep(1000);
    Say("torn");
    return 0;
}

int LogExit(const std::string& tag, int threads, int ms) {
    for (int t = 0; t < threads; ++t) {
        std::thread([tag, t] {
            CEventLog log(0);
            std::string own = tag + "t" + std::to_string(t);
            for (uint64_t n = 0;; ++n) LogLine(log, own, n);
        }).detach();
    }
    usleep(static_cast<useconds_t>(ms) * 1000);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    if (a.size() == 5 && a[0] == "reg-write") {
        return RegWrite(static_cast<uint32_t>(atoi(a[1].c_str())), static_cast<uint32_t>(atoi(a[2].c_str())),
                        static_cast<uint32_t>(strtoul(a[3].c_str(), nullptr, 10)), strtoull(a[4].c_str(), nullptr, 10));
    }
    if (a.size() >= 3 && a[0].rfind("log-", 0) == 0) {
        SetEventLogPath(a[1].data());
        const std::string& tag = a[2];
        if (a.size() == 3 && a[0] == "log-loop") {
            CEventLog log(0);
            for (uint64_t n = 0;; ++n) LogLine(log, tag, n);
        }
        if (a.size() == 4 && a[0] == "log-until") {
            CEventLog log(0);
            uint64_t n = 0;
            while (!Exists(a[3])) LogLine(log, tag, n++);
            Say(std::to_string(n));
            return 0;
        }
        if (a.size() == 5 && a[0] == "log-exit") return LogExit(tag, atoi(a[3].c_str()), atoi(a[4].c_str()));
        if (a.size() == 4 && a[0] == "log-torn") return LogTorn(a[1], tag, a[3]);
    }
    fprintf(stderr, "crash_worker: bad arguments\n");
    return 2;
}
