//===-- tests/support/TestSupport.h - Sandboxes and child processes -------===//
//
// Every test program runs inside a sandbox of its own: a temporary
// directory and a fresh registry database ($TAMARAK_REGISTRY) made before
// the library is loaded, so that tests run in parallel without seeing each
// other's registry, files or named kernel objects.
//===----------------------------------------------------------------------===//
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tmtest {

// The sandbox directory of this test process.
const std::string& SandboxDir();

// A new empty directory below the sandbox.
std::string MakeDir(const std::string& name);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

// Path of a helper program built with the tests, and of tmctl.
std::string HelperPath(const std::string& name);
std::string TmctlPath();

struct ProcessResult {
    int exitCode = -1;   // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a program to its end with extra "NAME=value" environment entries,
// capturing its standard output and error.
ProcessResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {},
                         const std::string& input = {});

// Starts a program in the background; its output goes to outPath if given.
pid_t StartProgram(const std::string& path, const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {}, const std::string& outPath = {});
// Waits for a started program; exit status, or 128 + signal.
int WaitProgram(pid_t pid);

// Splits text into lines at "\r\n" or "\n".
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace tmtest
