//===-- win32/SysCalls.h - The layer's table of system calls --------------===//
//
// Every system call of the layer goes through this one table, so that a
// test can make a call fail (ENOSPC, EIO, EACCES) or stand in for a dead
// peer and watch the library take its failure path. The table starts out
// pointing at the C library; ResetSysCalls puts it back. The library above
// the layer uses it too where it calls the system itself (the bounce
// report's rename into the queue).
//
// Not through the table, on purpose:
// - the pthread_mutex_* and pthread_mutexattr_* calls on the shared
//   mutexes: they are the C library's, which enters the kernel only for a
//   futex wait on contention and learns of a dead owner from the kernel's
//   robust list; a test makes an owner die with a real process. A pointer
//   call on every acquisition would be paid on the hottest path there is;
// - the fault handling of Guard.cpp (sigaction, pthread_sigmask, raise,
//   dlsym of the next handler): it runs inside signal handlers and must
//   work while a test has replaced entries of the table;
// - clock_gettime where it makes the deadline of a timed wait (the shared
//   mutexes, the registry's writer lock): the kernel measures the wait
//   against the real clock, and a test that sets the layer's clock (the
//   clockGettime entry) must not make such waits end at once or never;
// - calls that cannot fail: getpid, gettid, getuid, pthread_atfork;
// - the stdio calls on FILE streams (fclose, fflush) and time conversion
//   (localtime_r, mktime, tzset): the C library makes their system calls
//   itself;
// - SQLite and libpq, which do their own file and socket I/O.
//===----------------------------------------------------------------------===//
#pragma once

#include <dlfcn.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utsname.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace w32 {

struct SysCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buf, size_t count);
    ssize_t (*write)(int fd, const void* buf, size_t count);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*fcntlLock)(int fd, int cmd, struct flock* lock);
    int (*flock)(int fd, int operation);
    int (*ftruncate)(int fd, off_t length);
    int (*fstat)(int fd, struct stat* st);
    int (*stat)(const char* path, struct stat* st);
    int (*unlink)(const char* path);
    int (*mkdir)(const char* path, mode_t mode);
    ssize_t (*readlink)(const char* path, char* buf, size_t size);
    void* (*mmap)(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
    int (*munmap)(void* addr, size_t length);
    long (*futex)(uint32_t* uaddr, int op, uint32_t val, const struct timespec* timeout);
    void* (*dlopen)(const char* file, int mode);
    void* (*dlsym)(void* handle, const char* name);
    int (*dlclose)(void* handle);
    int (*gethostname)(char* name, size_t len);
    int (*uname)(struct utsname* buf);
    int (*clockGettime)(clockid_t clock, struct timespec* ts);
    int (*linkat)(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
                  int flags);
    int (*fchmod)(int fd, mode_t mode);
    int (*nanosleep)(const struct timespec* request, struct timespec* remaining);
    int (*dlinfo)(void* handle, int request, void* info);
    int (*dladdr)(const void* address, Dl_info* info);
    int (*dladdr1)(const void* address, Dl_info* info, void** extra, int flags);
    char* (*realpath)(const char* path, char* resolved);
    char* (*getcwd)(char* buf, size_t size);
    int (*access)(const char* path, int mode);
    FILE* (*fdopen)(int fd, const char* mode);
    int (*rename)(const char* from, const char* to);
    int (*poll)(struct pollfd* fds, nfds_t nfds, int timeout);
};

// The live table. Tests assign entries; library code calls through it.
SysCalls& Sys();

// Points every entry back at the C library.
void ResetSysCalls();

}  // namespace w32
