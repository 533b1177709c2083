//===-- tests/helpers/id_worker.cpp - Identifiers taken in a process ------===//
//
// Started by IdentifiersTest as another process of the same installation:
//
//   next THREADS COUNT GATE   once the file GATE exists, THREADS threads
//                             each take COUNT numbers with GetNextId; all
//                             numbers are printed, one per line
//   hold                      takes the installation mutex, prints "held"
//                             and sleeps until it is killed
//
// Exit status 0 unless a step failed.
//===----------------------------------------------------------------------===//
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <tmcommon/tmcommon.h>

namespace {

int Next(int threads, int count, const std::string& gate) {
    for (int i = 0; i < 3000 && access(gate.c_str(), F_OK) != 0; ++i) usleep(10000);
    std::vector<std::vector<DWORD>> numbers(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            numbers[t].reserve(count);
            for (int i = 0; i < count; ++i) numbers[t].push_back(GetNextId());
        });
    }
    for (std::thread& worker : workers) worker.join();
    for (const auto& list : numbers) {
        for (DWORD n : list) printf("%u\n", static_cast<unsigned>(n));
    }
    return fflush(stdout) == 0 ? 0 : 1;
}

int Hold() {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "D02369B6-D2CF-11d1-86B0-0080C8330493");
    if (!mutex || WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0) return 1;
    printf("held\n");
    fflush(stdout);
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "next" && argc == 5) return Next(atoi(argv[2]), atoi(argv[3]), argv[4]);
    if (command == "hold" && argc == 2) return Hold();
    fprintf(stderr, "usage: id_worker next THREADS COUNT GATE | hold\n");
    return 2;
}
