//===-- tests/support/TestMain.cpp - Test programs run in a sandbox -------===//
//
// The library reads its registry and root path when it is loaded, before
// main. So main makes the sandbox (a temporary directory and a registry:
// a database in it, or a PostgreSQL schema, see StoreSandbox.h), then
// runs the same program again as a child with $TAMARAK_REGISTRY pointing
// there, waits, and removes the sandbox. A PostgreSQL run without a
// server reports itself skipped, with the reason.
//===----------------------------------------------------------------------===//
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Layer.h"
#include "support/StoreSandbox.h"

namespace {

int RunSandboxed(char** argv) {
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tmtest.XXXXXX";
    if (!mkdtemp(templ.data())) return perror("mkdtemp"), 1;
    setenv("TM_TEST_SANDBOX", templ.c_str(), 1);
    tmtest::StoreSandbox store;
    store.Prepare(templ);
    pid_t pid = fork();
    if (pid < 0) return perror("fork"), 1;
    if (pid == 0) {
        execv("/proc/self/exe", argv);
        perror("execv");
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    // Named objects that the test's processes left behind (a process killed
    // while it held one leaves its file until the name is next looked up),
    // for the sandbox's registry and any other registry made in it.
    std::vector<std::string> prefixes;
    for (const std::string& location : store.Locations()) prefixes.push_back(w32::ObjectNamespaceFor(location));
    store.Cleanup();
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(templ, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->path().extension() == ".db") prefixes.push_back(w32::ObjectNamespaceFor(it->path()));
    }
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
        for (const std::string& prefix : prefixes) {
            if (entry.path().filename().string().starts_with(prefix)) std::filesystem::remove(entry.path(), ec);
        }
    }
    if (getenv("TM_KEEP_SANDBOX")) {
        fprintf(stderr, "sandbox kept: %s\n", templ.c_str());
    } else {
        std::filesystem::remove_all(templ, ec);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (!getenv("TM_TEST_SANDBOX")) return RunSandboxed(argv);
    testing::InitGoogleTest(&argc, argv);
    // A run without its store runs nothing and says so, in the words that
    // ctest takes for a skipped test (a GTEST_SKIP in a global set-up
    // would count the tests as passed).
    if (const char* why = getenv("TM_TEST_PG_UNAVAILABLE"); why && !testing::GTEST_FLAG(list_tests)) {
        printf("[  SKIPPED ] no PostgreSQL server: %s\n", why);
        return 0;
    }
    return RUN_ALL_TESTS();
}
