//===-- tests/support/TestSupport.h - Sandboxes and child processes -------===//
//
// Every test program runs inside a sandbox of its own: a temporary
// directory and a fresh registry ($TAMARAK_REGISTRY: a database file, or
// a PostgreSQL schema, see StoreSandbox.h) made before the library is
// loaded, so that tests run in parallel without seeing each
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
// The files of a directory one after the other, in name order.
std::string ReadFiles(const std::string& dir);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
// Waits until the file holds the text (any text: ""); false once the
// seconds are up.
bool WaitForText(const std::string& path, const std::string& text, int seconds = 20);

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

// True when the test program runs against the PostgreSQL store
// ($TM_TEST_STORE=postgresql; see StoreSandbox.h).
bool UsingPostgres();

// A registry location of its own for processes that a test starts, in
// the store the program runs against: a new database file below the
// sandbox, or a new schema in the test's PostgreSQL database. "" when the
// server cannot be reached.
std::string NewRegistryLocation(const std::string& name);
// Runs sql in the test's PostgreSQL database: its rows ("a|b" a line), or
// "error: " and the server's message.
std::string ServerQuery(const std::string& sql);

// Notes a registry location that processes of the test use, so that the
// sandbox removes its named objects at the end (NewRegistryLocation's
// are noted already).
void RememberRegistryLocation(const std::string& location);

// Splits text into lines at "\r\n" or "\n".
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace tmtest
