//===-- tests/helpers/crash_worker.cpp - Processes that are killed at work ===//
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
//
// Output goes out with one write(2) per line, so that a kill never cuts
// a report in two. Exit status 0 unless a step failed; 2 for bad usage.
//===----------------------------------------------------------------------===//
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "../reliability/Payload.h"
#include <tmcommon/tmcommon.h>

namespace {

namespace payload = tmtest::payload;

void Say(const std::string& line) {
    std::string text = line + "\n";
    if (write(1, text.data(), text.size()) < 0) _exit(3);
}

int RegWrite(uint32_t writer, uint32_t slots, uint32_t first, uint64_t seed) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\CrashTest", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) Say("F - - " + std::to_string(rc));
    for (uint32_t seq = first; rc == ERROR_SUCCESS; ++seq) {
        seed = payload::Mix(seed + seq);
        uint32_t slot = static_cast<uint32_t>(seed % slots);
        std::string value = payload::MakeValue(writer, slot, seq);
        std::string name = "w" + std::to_string(writer) + "-s" + std::to_string(slot);
        std::string what = std::to_string(slot) + " " + std::to_string(seq);
        Say("B " + what);
        rc = RegSetValueExA(key, name.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE*>(value.data()),
                            static_cast<DWORD>(value.size()));
        Say((rc == ERROR_SUCCESS ? "E " : "F ") + what + (rc == ERROR_SUCCESS ? "" : " " + std::to_string(rc)));
    }
    return 1;
}

void LogLines(const std::string& tag, const char* stopFile) {
    CEventLog log(0);
    uint64_t n = 0;
    while (!stopFile || access(stopFile, F_OK) != 0) log.LogEvent(0x2000, "%s", payload::LogText(tag, n++).c_str());
    Say(std::to_string(n));
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    if (a.size() == 5 && a[0] == "reg-write") {
        return RegWrite(static_cast<uint32_t>(atoi(a[1].c_str())), static_cast<uint32_t>(atoi(a[2].c_str())),
                        static_cast<uint32_t>(strtoul(a[3].c_str(), nullptr, 10)), strtoull(a[4].c_str(), nullptr, 10));
    }
    if (a.size() >= 3 && a[0].starts_with("log-")) SetEventLogPath(a[1].data());
    if (a.size() == 3 && a[0] == "log-loop") LogLines(a[2], nullptr);
    if (a.size() == 4 && a[0] == "log-until") {
        LogLines(a[2], a[3].c_str());
        return 0;
    }
    if (a.size() == 5 && a[0] == "log-exit") {
        for (int t = 0; t < atoi(a[3].c_str()); ++t) {
            std::thread(LogLines, a[2] + "t" + std::to_string(t), nullptr).detach();
        }
        usleep(static_cast<useconds_t>(atoi(a[4].c_str())) * 1000);
        return 0;
    }
    fprintf(stderr, "crash_worker: bad arguments\n");
    return 2;
}
