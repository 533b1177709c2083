//===-- tools/OutputFile.cpp - Files that a command writes whole -----------===//
//
// reg export and brand write replace a file whole: they write a temporary
// file beside it and rename that over it once complete, so a failed write
// never leaves half a file where a good one was. What the rename replaces
// is the file the path leads to, never a link on the way: a path that is a
// symbolic link is followed to its target, and the temporary file is made
// (mkstemp) in the target's directory. Renaming over /dev/stdout itself
// would replace the machine's link with a regular file.
//
// Not every path names a file to replace. "-" is standard output; a path
// that leads to a pipe, a terminal, a device, or to an open descriptor
// (/dev/stdout, /dev/fd/N, /proc/PID/fd/N) is written directly, without a
// temporary file and without truncating it: a descriptor of this process
// is written through that descriptor, at its own offset, as a shell's
// ">>" redirection expects.
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "Tmctl.h"

namespace tmctl {
namespace {

// Symbolic links followed before giving up with ELOOP, as the kernel does.
constexpr int kMaxLinks = 40;

std::string DirName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool AllDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Whether path is an entry of a process's descriptor directory
// (/proc/PID/fd or /proc/PID/task/TID/fd, however reached: /dev/fd and
// /proc/self are links to them). *ownFd is the descriptor number when the
// process is this one, else -1.
bool IsDescriptorLink(const std::string& path, int* ownFd) {
    *ownFd = -1;
    char dir[PATH_MAX];
    if (!realpath(DirName(path).c_str(), dir)) return false;
    const std::string d = dir;
    if (d.rfind("/proc/", 0) != 0 || d.size() < 9 || d.compare(d.size() - 3, 3, "/fd") != 0) return false;
    // PID, or PID/task/TID, between "/proc/" and "/fd".
    const std::string middle = d.substr(6, d.size() - 9);
    const size_t task = middle.find("/task/");
    const std::string pid = task == std::string::npos ? middle : middle.substr(0, task);
    if (!AllDigits(pid) || (task != std::string::npos && !AllDigits(middle.substr(task + 6)))) return false;
    const std::string name = path.substr(path.find_last_of('/') + 1);
    if (std::stol(pid) == static_cast<long>(getpid()) && AllDigits(name) && name.size() < 10) {
        *ownFd = std::stoi(name);
    }
    return true;
}

enum class Kind { File, Descriptor, OwnDescriptor };

// Follows the symbolic links of path's last component to what it leads
// to: *target is the first name that is not a link (possibly missing), or
// the descriptor link met on the way. False with errno set when a link
// cannot be read.
bool Resolve(const std::string& path, std::string* target, Kind* kind, int* ownFd) {
    std::string current = path;
    for (int links = 0; links <= kMaxLinks; ++links) {
        if (IsDescriptorLink(current, ownFd)) {
            *target = current;
            *kind = *ownFd >= 0 ? Kind::OwnDescriptor : Kind::Descriptor;
            return true;
        }
        struct stat st;
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            // A missing name is made where the last link pointed.
            *target = current;
            *kind = Kind::File;
            return true;
        }
        char link[PATH_MAX];
        ssize_t n = readlink(current.c_str(), link, sizeof link - 1);
        if (n < 0) return false;
        link[n] = '\0';
        current = link[0] == '/' ? std::string(link) : DirName(current) + "/" + link;
    }
    errno = ELOOP;
    return false;
}

// The mode a new file gets from open(..., 0666).
mode_t NewFileMode() {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

OutputFile::~OutputFile() {
    if (m_fp) fclose(m_fp);
    if (!m_temporary.empty()) unlink(m_temporary.c_str());
}

bool OutputFile::Open(const std::string& path) {
    int fd = -1;
    if (path == "-") {
        m_target = "the standard output";
        fd = dup(STDOUT_FILENO);
    } else {
        Kind kind;
        int ownFd;
        if (!Resolve(path, &m_target, &kind, &ownFd)) return false;
        struct stat st;
        const bool exists = stat(m_target.c_str(), &st) == 0;
        if (exists && S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return false;
        }
        if (kind == Kind::OwnDescriptor) {
            fd = fcntl(ownFd, F_DUPFD_CLOEXEC, 0);
        } else if (kind == Kind::Descriptor || (exists && !S_ISREG(st.st_mode))) {
            fd = open(m_target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        } else {
            std::string temporary = m_target + ".XXXXXX";
            fd = mkostemp(temporary.data(), O_CLOEXEC);
            if (fd < 0) return false;
            m_temporary = temporary;
            // mkstemp makes the file 0600; it takes the place of a file
            // with a mode of its own, or of one open() would have made.
            if (fchmod(fd, exists ? (st.st_mode & 07777) : NewFileMode()) != 0) {
                int err = errno;
                close(fd);
                errno = err;
                return false;
            }
        }
    }
    if (fd < 0) return false;
    m_fp = fdopen(fd, "wb");
    if (!m_fp) {
        int err = errno;
        close(fd);
        errno = err;
        return false;
    }
    return true;
}

int OutputFile::Commit() {
    int err = 0;
    if (fflush(m_fp) != 0 || ferror(m_fp)) err = errno ? errno : EIO;
    if (fclose(m_fp) != 0 && !err) err = errno;
    m_fp = nullptr;
    if (!m_temporary.empty()) {
        if (!err && rename(m_temporary.c_str(), m_target.c_str()) != 0) err = errno;
        if (err) unlink(m_temporary.c_str());
        m_temporary.clear();
    }
    return err;
}

}  // namespace tmctl
