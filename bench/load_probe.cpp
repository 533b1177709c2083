//===-- bench/load_probe.cpp - Resident cost of loading the library -------===//
//
// Prints the process's resident size before and after it loads
// libtmcommon.so (which opens the registry and builds its environment at
// load), and after a first registry read and log line.
// Run: build/default/bench/bench_load_probe
//===----------------------------------------------------------------------===//
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>

namespace {

long ResidentKb() {
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f || fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    if (f) fclose(f);
    return resident * sysconf(_SC_PAGESIZE) / 1024;
}

}  // namespace

int main() {
    long before = ResidentKb();
    void* lib = dlopen(TM_LIBRARY_PATH, RTLD_NOW);
    if (!lib) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    long loaded = ResidentKb();
    using LogEvent = void (*)(void*);
    auto logEvent = reinterpret_cast<LogEvent>(dlsym(lib, "LOGEVENT"));
    const char* text = "load probe";
    void* block[1] = {const_cast<char*>(text)};
    logEvent(block);
    long used = ResidentKb();
    printf("resident before load: %ld kB\nafter load:           %ld kB (+%ld kB)\nafter one log line:   %ld kB (+%ld kB)\n",
           before, loaded, loaded - before, used, used - before);
    return 0;
}
