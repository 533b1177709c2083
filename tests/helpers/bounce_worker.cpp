//===-- tests/helpers/bounce_worker.cpp - Reports made in a process -------===//
//
// Started by BounceTest as another process of the installation (its root
// path comes from "RootPath"):
//   MESSAGE COUNT RECIPIENT GATE  once the file GATE exists, makes COUNT
//                                 reports about MESSAGE to RECIPIENT
// Exit status: the number of calls that returned 0.
//===----------------------------------------------------------------------===//
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <tmcommon/tmcommon.h>

int main(int argc, char** argv) {
    if (argc != 5) return 100;
    for (int i = 0; i < 3000 && access(argv[4], F_OK) != 0; ++i) usleep(10000);
    int count = atoi(argv[2]);
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        std::string recipient = argv[3];
        if (!BounceEmail(argv[1], recipient.data(), "mailer@d.e", nullptr, "report %d of process %d", i,
                         static_cast<int>(getpid()))) {
            ++failed;
        }
    }
    return failed;
}
