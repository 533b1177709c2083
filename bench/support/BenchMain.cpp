//===-- bench/support/BenchMain.cpp - Benchmarks run in a sandbox ---------===//
//
// The library reads its registry when it is loaded, before main. So main
// makes a sandbox (a temporary directory with a registry database in it),
// runs the same program again as a child with $TAMARAK_REGISTRY and
// $TM_BENCH_SANDBOX pointing there, and removes the sandbox and the named
// objects of its installation afterwards.
//===----------------------------------------------------------------------===//
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "Layer.h"

namespace {

int RunSandboxed(char** argv) {
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/tmbench.XXXXXX";
    if (!mkdtemp(dir.data())) return 1;
    std::string registry = dir + "/registry.db";
    setenv("TM_BENCH_SANDBOX", dir.c_str(), 1);
    setenv("TAMARAK_REGISTRY", registry.c_str(), 1);
    // A registry file is only ever made on purpose.
    if (TmRegCreateRegistry(registry.c_str()) != ERROR_SUCCESS) return 1;
    pid_t pid = fork();
    if (pid == 0) {
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::string prefix = w32::ObjectNamespaceFor(registry);
    if (DIR* shm = opendir("/dev/shm")) {
        while (dirent* entry = readdir(shm)) {
            if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
                unlink((std::string("/dev/shm/") + entry->d_name).c_str());
            }
        }
        closedir(shm);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (!getenv("TM_BENCH_SANDBOX")) return RunSandboxed(argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
