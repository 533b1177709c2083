//===-- fuzz/support/Sandbox.cpp - Fuzz targets run in a sandbox ----------===//
//
// The library reads its registry when it is loaded, before libFuzzer's
// main runs. So LLVMFuzzerInitialize makes the sandbox (a temporary
// directory with a registry database made in it), runs the same program again
// as a child with $TAMARAK_REGISTRY and $TM_FUZZ_SANDBOX pointing there,
// waits, and removes the sandbox and the named objects of its
// installation. Signals that stop a run (SIGINT, SIGTERM, SIGHUP) are
// passed on to the child, which prints its final figures and exits; the
// child dies with the parent.
//
// In the child the root path is the sandbox, the event log's directory a
// missing one below it (lines are lost, not piled up over millions of
// runs), the log mask lets only error reports through and is read once,
// and the exception trap writes debugx.log: after each input the target
// fails if the trap recorded anything.
//
// The trace files are text streams of the platform layer, whose state
// hangs off a stdio FILE that the C library allocates where
// LeakSanitizer does not look; what DebugInit opens is therefore made
// while the leak checker looks away (StartTraces).
//===----------------------------------------------------------------------===//
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sanitizer/lsan_interface.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "Layer.h"
#include "fuzz/support/FuzzSupport.h"
#include "platform/ProcessEnv.h"
#include "tmcommon.h"

namespace {

volatile pid_t g_child = 0;

void Forward(int sig) {
    if (g_child > 0) kill(g_child, sig);
}

void RemoveNamedObjects(const std::string& registry) {
    const std::string prefix = w32::ObjectNamespaceFor(registry);
    DIR* shm = opendir("/dev/shm");
    if (!shm) return;
    while (dirent* entry = readdir(shm)) {
        if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
            unlink((std::string("/dev/shm/") + entry->d_name).c_str());
        }
    }
    closedir(shm);
}

[[noreturn]] void RunSandboxed(char** argv) {
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/tmfuzz.XXXXXX";
    if (!mkdtemp(dir.data())) {
        perror("mkdtemp");
        _exit(1);
    }
    const std::string registry = dir + "/registry.db";
    setenv("TM_FUZZ_SANDBOX", dir.c_str(), 1);
    setenv("TAMARAK_REGISTRY", registry.c_str(), 1);
    // A registry file is only ever made on purpose.
    if (LONG rc = TmRegCreateRegistry(registry.c_str()); rc != ERROR_SUCCESS) {
        fprintf(stderr, "cannot make the sandbox's registry %s: error %ld\n", registry.c_str(), static_cast<long>(rc));
        _exit(1);
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = Forward;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        _exit(1);
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        execv("/proc/self/exe", argv);
        perror("execv");
        _exit(127);
    }
    g_child = pid;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    RemoveNamedObjects(registry);
    std::error_code ec;
    if (!getenv("TM_KEEP_SANDBOX")) {
        std::filesystem::remove_all(dir, ec);
    } else {
        fprintf(stderr, "sandbox kept: %s\n", dir.c_str());
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

std::string g_trapFile;

void SetUpChild(const char* dir) {
    snprintf(g_szRootPath, sizeof g_szRootPath, "%s", dir);
    std::string logs = std::string(dir) + "/log";
    SetEventLogPath(logs.data());
    CRegistry reg;
    if (reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0) != ERROR_SUCCESS ||
        reg.SetValue("Logging", DWORD(0)) != ERROR_SUCCESS || reg.SetValue("DebugX", DWORD(1)) != ERROR_SUCCESS) {
        tmfuzz::Fail("cannot set up the sandbox's registry");
    }
    // A log object that lives as long as the process, as a server's does:
    // the mask is then read once, not at every line.
    static CEventLog* const keepLog = new CEventLog(0);
    (void)keepLog;
    // A run after a crash in the same sandbox (libFuzzer's merge and fork
    // modes) starts with an empty trace.
    g_trapFile = std::string(dir) + "/debugx.log";
    unlink(g_trapFile.c_str());
    tmfuzz::StartTraces();
}

}  // namespace

namespace tmfuzz {

const std::string& SandboxDir() {
    static const std::string dir = getenv("TM_FUZZ_SANDBOX") ? getenv("TM_FUZZ_SANDBOX") : "";
    return dir;
}

void StartTraces() {
    __lsan_disable();
    DebugInit();
    __lsan_enable();
}

void Fail(const char* what) {
    fprintf(stderr, "tmfuzz: %s\n", what);
    fflush(stderr);
    abort();
}

}  // namespace tmfuzz

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    const char* dir = getenv("TM_FUZZ_SANDBOX");
    if (!dir) RunSandboxed(*argv);
    SetUpChild(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tmfuzz::FuzzOne(data, size);
    struct stat st;
    if (stat(g_trapFile.c_str(), &st) == 0 && st.st_size > 0) {
        FILE* fp = fopen(g_trapFile.c_str(), "r");
        char line[256];
        while (fp && fgets(line, sizeof line, fp)) fputs(line, stderr);
        if (fp) fclose(fp);
        tmfuzz::Fail("the library trapped an exception or a fault (debugx.log above)");
    }
    return 0;
}
