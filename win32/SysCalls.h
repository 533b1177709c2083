//===-- win32/SysCalls.h - The layer's table of system calls --------------===//
//
// Every system call of the layer goes through this one table, so that a
// test can make a call fail (ENOSPC, EIO, EACCES) or stand in for a dead
// peer and watch the library take its failure path. The table starts out
// pointing at the C library; ResetSysCalls puts it back.
//===----------------------------------------------------------------------===//
#pragma once

#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utsname.h>

#include <cstdint>
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
};

// The live table. Tests assign entries; library code calls through it.
SysCalls& Sys();

// Points every entry back at the C library.
void ResetSysCalls();

}  // namespace w32
