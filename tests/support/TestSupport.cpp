//===-- tests/support/TestSupport.cpp - Sandboxes and child processes -----===//
#include "support/TestSupport.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace tmtest {

const std::string& SandboxDir() {
    static const std::string dir = [] {
        const char* s = getenv("TM_TEST_SANDBOX");
        if (!s) throw std::runtime_error("test program started outside its sandbox");
        return std::string(s);
    }();
    return dir;
}

std::string MakeDir(const std::string& name) {
    std::string path = SandboxDir() + "/" + name;
    std::filesystem::create_directories(path);
    return path;
}

// "" for a directory too: the stream's insertion swallows the read error.
std::string ReadFile(const std::string& path) {
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

std::string ReadFiles(const std::string& dir) {
    std::set<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path());
    std::string all;
    for (const std::string& name : names) all += ReadFile(name);
    return all;
}

void WriteFile(const std::string& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool WaitForText(const std::string& path, const std::string& text, int seconds) {
    for (int i = 0; i < seconds * 500; ++i) {
        if (FileExists(path) && ReadFile(path).find(text) != std::string::npos) return true;
        usleep(2000);
    }
    return false;
}

std::string HelperPath(const std::string& name) { return std::string(TM_HELPER_DIR) + "/" + name; }

std::string TmctlPath() { return std::string(TM_TOOLS_DIR) + "/tmctl"; }

namespace {

// Starts a program with its standard input, output and error in the files
// named (none: this process's own).
pid_t Spawn(const std::string& path, const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& in, const std::string& out, const std::string& err = {}) {
    std::vector<char*> argv = {const_cast<char*>(path.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid > 0) return pid;
    const std::pair<const std::string*, int> files[] = {{&in, O_RDONLY}, {&out, O_WRONLY | O_CREAT | O_TRUNC},
                                                        {&err, O_WRONLY | O_CREAT | O_TRUNC}};
    for (int fd = 0; fd < 3; ++fd) {
        int f = files[fd].first->empty() ? -1 : open(files[fd].first->c_str(), files[fd].second, 0644);
        if (f >= 0) dup2(f, fd), close(f);
    }
    // "NAME=value" sets a variable, "NAME" alone removes it.
    for (const std::string& e : env) {
        size_t eq = e.find('=');
        if (eq == std::string::npos) unsetenv(e.c_str()); else setenv(e.substr(0, eq).c_str(), e.c_str() + eq + 1, 1);
    }
    execv(path.c_str(), argv.data());
    _exit(127);
}

}  // namespace

// The program's input and output go through files in the sandbox: a
// program that leaves a child behind holding them does not hold us up.
ProcessResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const std::string& input) {
    static std::atomic<int> runs{0};
    const std::string base = SandboxDir() + "/.run" + std::to_string(getpid()) + "-" + std::to_string(++runs);
    WriteFile(base + ".in", input);
    pid_t pid = Spawn(path, args, env, base + ".in", base + ".out", base + ".err");
    ProcessResult result{WaitProgram(pid), ReadFile(base + ".out"), ReadFile(base + ".err")};
    for (const char* ext : {".in", ".out", ".err"}) unlink((base + ext).c_str());
    return result;
}

pid_t StartProgram(const std::string& path, const std::vector<std::string>& args,
                   const std::vector<std::string>& env, const std::string& outPath) {
    return Spawn(path, args, env, {}, outPath);
}

int WaitProgram(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0, nl; start < text.size(); start = nl + 1) {
        nl = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, nl - start - (nl > start && nl < text.size() && text[nl - 1] == '\r')));
    }
    return lines;
}

}  // namespace tmtest
