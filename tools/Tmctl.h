//===-- tools/Tmctl.h - Commands of the operators' tool -------------------===//
//
// Each command is a class in a file of its own, registered with
// TMCTL_COMMAND under its full name ("reg query", "log"). The command
// declares its options and arguments on a CLI11 app (Define); the app
// parses the command line, and Run does the work with what was given.
// The usage text after the name ("KEY [NAME]"), the one-line summary and
// the details are the text of "tmctl CMD --help", of the manual page and
// of the shell completion alike.
//
// Exit status: 0 success, 1 failure, 2 bad usage.
//===----------------------------------------------------------------------===//
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <tmcommon/tmcommon.h>

namespace CLI {
class App;
}

namespace tmctl {

class Command {
public:
    virtual ~Command() = default;
    // Declares the options and positional arguments; the parsed values go
    // into the command's own members.
    virtual void Define(CLI::App& app) = 0;
    // Runs the command once its arguments are parsed; the exit status.
    virtual int Run() = 0;
};

struct CommandInfo {
    const char* name;     // "reg query"
    const char* args;     // "KEY [NAME]"
    const char* summary;  // one line
    const char* details;  // more text for "tmctl help COMMAND", may be ""
    Command* command;
};

bool RegisterCommand(const CommandInfo& info);

#define TMCTL_CONCAT2(a, b) a##b
#define TMCTL_CONCAT(a, b) TMCTL_CONCAT2(a, b)
#define TMCTL_COMMAND(Class, name, args, summary, details)                         \
    static Class TMCTL_CONCAT(g_command_, __LINE__);                                \
    static const bool TMCTL_CONCAT(g_registered_, __LINE__) = ::tmctl::RegisterCommand( \
        {name, args, summary, details, &TMCTL_CONCAT(g_command_, __LINE__)})

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
// HKU or the full HKEY_ names), then the path with '\' or '/'; empty
// names between separators are dropped. Without a root the path is below
// HKEY_LOCAL_MACHINE; "params" alone is the parameters key. False for an
// unknown root.
bool ParseKeyPath(const std::string& text, HKEY* root, std::string* path);

// Parses a 32-bit number: decimal, or hexadecimal with 0x.
bool ParseNumber(const std::string& text, DWORD* value);

// "REG_SZ", ..., or "type N" for a type without a name.
std::string RegTypeName(DWORD type);

// The directory the event log of this process writes to.
std::string LogDirectory();

// True if path names a directory (links followed).
bool IsDirectory(const std::string& path);

// A progress bar on standard error for a long walk (Progress.cpp). It
// draws only when standard error is a terminal; elsewhere every call
// returns at once, and Active tells callers to skip counting the total.
class Progress {
public:
    explicit Progress(const char* label);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    bool Active() const { return m_active; }
    void SetTotal(unsigned long long total) { m_total = total; }
    // Moves to done units of the total; redraws at most ten times a second.
    void Update(unsigned long long done);
    // Clears the bar's line.
    void Finish();

private:
    void Draw();

    const char* m_label;
    bool m_active;
    unsigned long long m_total = 0;
    unsigned long long m_done = 0;
    long long m_lastDraw = 0;
    bool m_drawn = false;
};

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
