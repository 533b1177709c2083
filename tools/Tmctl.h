//===-- tools/Tmctl.h - Commands of the operators' tool -------------------===//
//
// Each command lives in a file of its own and registers itself with
// TMCTL_COMMAND under its full name ("reg query", "log"). The dispatcher
// finds the longest registered name that the arguments begin with.
//
// Exit status: 0 success, 1 failure, 2 bad usage.
//===----------------------------------------------------------------------===//
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <tmcommon/tmcommon.h>

namespace tmctl {

struct Command {
    const char* name;     // "reg query"
    const char* args;     // "KEY [NAME]"
    const char* summary;  // one line
    const char* details;  // more text for "tmctl help COMMAND", may be ""
    int (*run)(const std::vector<std::string>& args);
};

bool RegisterCommand(const Command& command);

#define TMCTL_CONCAT2(a, b) a##b
#define TMCTL_CONCAT(a, b) TMCTL_CONCAT2(a, b)
#define TMCTL_COMMAND(...) \
    static const bool TMCTL_CONCAT(g_registered_, __LINE__) = ::tmctl::RegisterCommand({__VA_ARGS__})

// Exit codes.
constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// Prints "tmctl: message" and the command's usage line to stderr; returns
// kUsage.
int UsageError(const char* commandName, const std::string& message);

// Prints "tmctl: what: error N (NAME: meaning)" to stderr; returns kFailed.
int Win32Failure(const std::string& what, DWORD code);

// "ERROR_FILE_NOT_FOUND: the file, key or value does not exist".
std::string DescribeWin32Error(DWORD code);

// A key path as operators write it: an optional root (HKLM, HKCU, HKCR,
// HKU or the full HKEY_ names), then the path with '\' or '/'. Without a
// root the path is below HKEY_LOCAL_MACHINE; "params" alone is the
// parameters key. False for an unknown root.
bool ParseKeyPath(const std::string& text, HKEY* root, std::string* path);

// Options: takes "--name VALUE" / "--name=VALUE" / "--flag" out of args.
bool TakeFlag(std::vector<std::string>& args, const char* name);
bool TakeOption(std::vector<std::string>& args, const char* name, std::string* value);

// Parses a 32-bit number: decimal, or hexadecimal with 0x.
bool ParseNumber(const std::string& text, DWORD* value);

// A file that a command writes whole (OutputFile.cpp). "-" is standard
// output; a path that leads to a pipe, terminal, device or open descriptor
// (/dev/stdout) is written directly; any other path is written to a
// temporary file beside the file it leads to (links followed), renamed
// over that file by Commit. Destroyed uncommitted, it leaves the file as
// it was.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens path for writing, binary; false with errno set.
    bool Open(const std::string& path);
    FILE* Stream() const { return m_fp; }
    // What is written: the file a link leads to, or "the standard output".
    const std::string& Target() const { return m_target; }
    // Closes the stream and puts the file in place: 0, or the errno of the
    // failure (a temporary file is then removed).
    int Commit();

private:
    FILE* m_fp = nullptr;
    std::string m_target;
    std::string m_temporary;
};

}  // namespace tmctl
