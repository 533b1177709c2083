//===-- fuzz/read_tree.cpp - ReadTree over arbitrary bytes ----------------===//
//
// Each input is read with CRegistry::ReadTree from an in-memory stream into
// an empty key. Whatever the bytes, the reader must not crash, and must
// give one of its results. When it read the input to the end (0 or 38),
// the restored subtree must survive a round trip: what WriteTree makes of
// it reads back into another empty key and is written again byte for byte.
//
// The registry is a database of its own in a temporary directory (removed
// afterwards): the target runs itself again with TAMARAK_REGISTRY set,
// since the library opens the registry when it loads.
//
//   build/fuzz/fuzz/fuzz_read_tree -max_total_time=60 fuzz/corpus/read_tree
//===----------------------------------------------------------------------===//
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tmcommon.h"

namespace {

const char kInto[] = "Software\\Kelt\\Tamarak\\Fuzz\\Into";
const char kBack[] = "Software\\Kelt\\Tamarak\\Fuzz\\Back";

// An empty key at path, opened for reading and writing.
bool Fresh(CRegistry& reg, const char* path) {
    CRegistry().DeleteTree(HKEY_LOCAL_MACHINE, path);
    return reg.CreateKey(HKEY_LOCAL_MACHINE, path, 0x2001F, 0) == ERROR_SUCCESS;
}

std::string Written(CRegistry& reg) {
    char* bytes = nullptr;
    size_t size = 0;
    FILE* fp = open_memstream(&bytes, &size);
    if (!fp || reg.WriteTree(fp) != ERROR_SUCCESS) abort();
    fclose(fp);
    std::string out(bytes, size);
    free(bytes);
    return out;
}

DWORD Read(CRegistry& reg, const void* data, size_t size) {
    // fmemopen refuses an empty buffer; an empty file reads as at its end.
    static char empty[1];
    FILE* fp = size ? fmemopen(const_cast<void*>(data), size, "rb") : fmemopen(empty, 1, "rb");
    if (!fp) abort();
    if (!size) fgetc(fp);
    DWORD rc = reg.ReadTree(fp);
    fclose(fp);
    return rc;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    if (getenv("TM_FUZZ_SANDBOX")) return 0;
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/tmfuzz.XXXXXX";
    if (!mkdtemp(dir.data())) abort();
    setenv("TM_FUZZ_SANDBOX", dir.c_str(), 1);
    setenv("TAMARAK_REGISTRY", (dir + "/registry.db").c_str(), 1);
    // A registry file is only ever made on purpose.
    if (TmRegCreateRegistry((dir + "/registry.db").c_str()) != ERROR_SUCCESS) abort();
    pid_t pid = fork();
    if (pid == 0) {
        execv("/proc/self/exe", *argv);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CRegistry into;
    if (!Fresh(into, kInto)) abort();
    if (size == 0) {
        // An empty stream is a complete, empty file.
        if (Read(into, data, 0) != ERROR_HANDLE_EOF) abort();
        return 0;
    }
    const DWORD rc = Read(into, data, size);
    switch (rc) {
        case ERROR_SUCCESS:
        case ERROR_HANDLE_EOF:
            break;
        case ERROR_INVALID_DATA:          // malformed, or a key that cannot be created
        case ERROR_INVALID_PARAMETER:     // a value name the registry refuses
            return 0;
        default:
            abort();
    }
    const std::string first = Written(into);
    CRegistry back;
    if (!Fresh(back, kBack)) abort();
    if (Read(back, first.data(), first.size()) != ERROR_HANDLE_EOF) abort();
    if (Written(back) != first) abort();
    return 0;
}
