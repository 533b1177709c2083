//===-- tools/EnvCommands.cpp - tmctl log, tmctl env ----------------------===//
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "Tmctl.h"

namespace tmctl {
namespace {

std::string LogDirectory() {
    char path[4096];
    TmGetEventLogPath(path, sizeof path);
    return path;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int Log(const std::vector<std::string>& argsIn) {
    std::vector<std::string> args = argsIn;
    bool web = TakeFlag(args, "web");
    std::string typeText, dir;
    DWORD type = 0x2000;
    if (TakeOption(args, "type", &typeText) && (!ParseNumber(typeText, &type) || type > 0xFFFF)) {
        return UsageError("log", "not a 16-bit event type: " + typeText);
    }
    bool dirGiven = TakeOption(args, "dir", &dir);
    if (args.size() != 1) return UsageError("log", "");
    if (dirGiven && dir.empty()) return UsageError("log", "the log directory is empty");
    std::string logDir;
    if (dirGiven) {
        SetEventLogPath(dir.data());
        logDir = LogDirectory();
        // The library keeps its directory when it refuses a new one; the
        // line must not go there instead. An applied directory ends in a
        // separator.
        std::string expected = dir;
        if (dir.back() != '/' && dir.back() != '\\') expected += '/';
        if (logDir != expected) {
            fprintf(stderr, "tmctl: the log directory %s was refused (at most 259 characters); nothing was written\n",
                    dir.c_str());
            return kFailed;
        }
    } else {
        logDir = LogDirectory();
    }
    DWORD result;
    {
        CEventLog log(web ? 1 : 0);
        log.LogEvent(static_cast<WORD>(type), "%s", args[0].c_str());
        result = TmGetLastLogResult();
    }
    // The library loses a line without a word; an operator is told.
    if (result == ERROR_SUCCESS) return kOk;
    if (result == TM_LOG_FILTERED) {
        fprintf(stderr, "tmctl: event type 0x%x is not in the main log's mask (value Logging); the line was not written\n",
                static_cast<unsigned>(type));
        return kFailed;
    }
    if (!IsDirectory(logDir)) {
        struct stat st;
        std::string bare = logDir.size() > 1 ? logDir.substr(0, logDir.size() - 1) : logDir;
        const char* what = stat(bare.c_str(), &st) == 0 ? "is not a directory" : "does not exist";
        fprintf(stderr, "tmctl: the log directory %s %s; the line was not written\n", logDir.c_str(), what);
        return kFailed;
    }
    return Win32Failure("the line was not written to the log in " + logDir, result);
}

// Why the registry file cannot be used, or "" when it can.
std::string RegistryProblem() {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key);
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return "";
    return " (cannot be used: " + DescribeWin32Error(static_cast<DWORD>(rc)) + ")";
}

int Env(const std::vector<std::string>& args) {
    if (!args.empty()) return UsageError("env", "");
    char root[256];
    GetRootPath(root, sizeof root);
    std::string logDir = LogDirectory();
    printf("root path:      %s\n", root);
    printf("version:        %s\n", GetOSVersionString());
    printf("platform:       %s\n", IsWindowsNT() ? "NT" : "Windows 95");
    printf("service pack:   %d\n", GetCSDLevel());
    printf("registry:       %s%s\n", TmRegistryPath(), RegistryProblem().c_str());
    printf("log directory:  %s%s\n", logDir.c_str(), IsDirectory(logDir) ? "" : " (missing: lines are lost)");
    return kOk;
}

}  // namespace

TMCTL_COMMAND("log", "[--web] [--type N] [--dir DIR] TEXT", "write one line to the event log",
              "Writes TEXT to today's main log (TMyymmdd.log), or with --web to the web\n"
              "log (RQyymmdd.log), in the log directory (see 'tmctl env'; --dir sets it).\n"
              "N is the event type (default 0x2000, which the main log always takes;\n"
              "0x1 error, 0x2 warning, 0x4 information, 0x400 debug, 0x1000 error report).\n"
              "Fails, saying why, when the line was not written: a log directory that\n"
              "does not exist or cannot be written, a day file that cannot be opened,\n"
              "a --dir that is refused, or a type that the main log's mask leaves out.",
              Log);
TMCTL_COMMAND("env", "", "show the root path, version, registry file and log directory", "", Env);

}  // namespace tmctl
