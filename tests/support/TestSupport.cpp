//===-- tests/support/TestSupport.cpp - Sandboxes and child processes -----===//
#include "support/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

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

std::vector<char*> MakeArgv(const std::string& path, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

void ApplyEnv(const std::vector<std::string>& env) {
    for (const std::string& e : env) {
        size_t eq = e.find('=');
        if (eq == std::string::npos) {
            unsetenv(e.c_str());
        } else {
            setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
    }
}

int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

ProcessResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const std::string& input) {
    int outPipe[2], errPipe[2], inPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC) || pipe2(inPipe, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    std::vector<char*> argv = MakeArgv(path, args);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        ApplyEnv(env);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    close(inPipe[0]);
    ProcessResult result;
    size_t written = 0;
    int inFd = inPipe[1];
    if (input.empty()) {
        close(inFd);
        inFd = -1;
    } else {
        fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    signal(SIGPIPE, SIG_IGN);
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[3] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
        if (poll(fds, inFd >= 0 ? 3 : 2, -1) < 0 && errno != EINTR) break;
        char buf[65536];
        if (fds[0].revents) {
            ssize_t n = read(outPipe[0], buf, sizeof buf);
            if (n <= 0) { outOpen = false; fds[0].fd = -1; } else result.out.append(buf, n);
            if (!outOpen) close(outPipe[0]), outPipe[0] = -1;
        }
        if (fds[1].revents) {
            ssize_t n = read(errPipe[0], buf, sizeof buf);
            if (n <= 0) { errOpen = false; } else result.err.append(buf, n);
            if (!errOpen) close(errPipe[0]), errPipe[0] = -1;
        }
        if (inFd >= 0 && fds[2].revents) {
            ssize_t n = write(inFd, input.data() + written, input.size() - written);
            if (n > 0) written += n;
            if (n < 0 || written == input.size()) {
                close(inFd);
                inFd = -1;
            }
        }
    }
    if (inFd >= 0) close(inFd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = DecodeStatus(status);
    return result;
}

pid_t StartProgram(const std::string& path, const std::vector<std::string>& args,
                   const std::vector<std::string>& env, const std::string& outPath) {
    std::vector<char*> argv = MakeArgv(path, args);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (!outPath.empty()) {
            int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                close(fd);
            }
        }
        ApplyEnv(env);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

int WaitProgram(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return DecodeStatus(status);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        size_t end = nl;
        if (end > start && text[end - 1] == '\r') --end;
        lines.push_back(text.substr(start, end - start));
        start = nl + 1;
    }
    return lines;
}

}  // namespace tmtest
