//===-- tests/helpers/kobj_peer.cpp - Another process using kernel objects ===//
//
// Started by KernelObjectsTest as a separate process of the same
// installation. Each command reports on standard output, one line per
// step, flushed at once so that the test can follow it:
//
//   mutex-hold NAME             take NAME ("held <result>") and sleep
//   mutex-wait NAME MS HOLD_MS  open NAME, wait MS ("wait <result>"), keep
//                               it HOLD_MS, release ("released <ok>")
//   event-hold NAME MANUAL      create NAME ("ready <last error>"), sleep
//   event-wait NAME MS          open NAME, wait MS ("wait <result>")
//   account NAME GO             open mutex NAME and event GO ("opened
//                               <last error>"); once GO is set, close
//                               NAME and create it again with GetOpenSa,
//                               owned ("created <last error>"), and take
//                               it once more ("wait <result>")
//
// Results are printed in hexadecimal. Exit status 0 unless a step failed.
//===----------------------------------------------------------------------===//
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <tmcommon/tmcommon.h>

namespace {

void Report(const char* format, unsigned long value) {
    printf(format, value);
    printf("\n");
    fflush(stdout);
}

[[noreturn]] void SleepForever() {
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: kobj_peer COMMAND NAME [ARGS...]\n");
        return 2;
    }
    const std::string command = argv[1];
    const char* name = argv[2];
    if (command == "mutex-hold") {
        HANDLE h = CreateMutexA(nullptr, FALSE, name);
        if (!h) return 1;
        Report("held %lx", WaitForSingleObject(h, INFINITE));
        SleepForever();
    }
    if (command == "mutex-wait" && argc == 5) {
        HANDLE h = OpenMutexA(SYNCHRONIZE, FALSE, name);
        if (!h) {
            Report("open %lu", GetLastError());
            return 1;
        }
        DWORD result = WaitForSingleObject(h, static_cast<DWORD>(strtoul(argv[3], nullptr, 0)));
        Report("wait %lx", result);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
            usleep(static_cast<useconds_t>(atoi(argv[4])) * 1000);
            Report("released %lu", static_cast<unsigned long>(ReleaseMutex(h)));
        }
        CloseHandle(h);
        return 0;
    }
    if (command == "event-hold" && argc == 4) {
        HANDLE h = CreateEventA(nullptr, atoi(argv[3]), FALSE, name);
        if (!h) return 1;
        Report("ready %lu", GetLastError());
        SleepForever();
    }
    if (command == "event-wait" && argc == 4) {
        HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, name);
        if (!h) {
            Report("open %lu", GetLastError());
            return 1;
        }
        Report("wait %lx", WaitForSingleObject(h, static_cast<DWORD>(strtoul(argv[3], nullptr, 0))));
        CloseHandle(h);
        return 0;
    }
    if (command == "account" && argc == 4) {
        HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, argv[3]);
        HANDLE h = go ? OpenMutexA(SYNCHRONIZE, FALSE, name) : nullptr;
        Report("opened %lu", h ? 0ul : GetLastError());
        if (!h || WaitForSingleObject(go, 20000) != WAIT_OBJECT_0) return 1;
        CloseHandle(h);
        h = CreateMutexA(GetOpenSa(), TRUE, name);
        Report("created %lu", h ? GetLastError() : 0xFFFFFFFFul);
        if (!h) return 1;
        Report("wait %lx", WaitForSingleObject(h, 0));
        bool released = ReleaseMutex(h) && ReleaseMutex(h);
        CloseHandle(h);
        CloseHandle(go);
        return released ? 0 : 1;
    }
    fprintf(stderr, "kobj_peer: bad command\n");
    return 2;
}
