//===-- win32/SysCalls.cpp - The layer's table of system calls ------------===//
#include "SysCalls.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace w32 {
namespace {

int SysOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int SysFcntlLock(int fd, int cmd, struct flock* lock) { return ::fcntl(fd, cmd, lock); }
int SysStat(const char* path, struct stat* st) { return ::stat(path, st); }
int SysFstat(int fd, struct stat* st) { return ::fstat(fd, st); }
long SysFutex(uint32_t* uaddr, int op, uint32_t val, const struct timespec* timeout) {
    return ::syscall(SYS_futex, uaddr, op, val, timeout, nullptr, 0);
}

constexpr SysCalls kDefaultSysCalls = {
    SysOpen,      ::close,  ::read,      ::write,  ::lseek,   SysFcntlLock, ::flock,
    ::ftruncate,  SysFstat, SysStat,     ::unlink, ::mkdir,   ::readlink,   ::mmap,
    ::munmap,     SysFutex, ::dlopen,    ::dlsym,  ::dlclose, ::gethostname, ::uname,
    ::clock_gettime,
    ::linkat,
    ::fchmod,
    ::nanosleep,
    ::dlinfo,
    ::dladdr,
    ::dladdr1,
    ::realpath,
    ::getcwd,
    ::access,
    ::fdopen,
    ::rename,
    ::poll,
};

SysCalls g_sysCalls = kDefaultSysCalls;

}  // namespace

SysCalls& Sys() { return g_sysCalls; }

void ResetSysCalls() { g_sysCalls = kDefaultSysCalls; }

}  // namespace w32
