//===-- win32/Files.cpp - File handles and share modes --------------------===//
//
// CreateFileA, SetFilePointer and WriteFile over descriptors kept in the
// handle table, with Windows' share modes enforced between the openers
// that go through this layer (advisory: other programs are not stopped).
//===----------------------------------------------------------------------===//
#include "Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "Handles.h"
#include "Layer.h"
#include "SysCalls.h"

namespace w32 {
namespace {

// Lock bytes, far past any data: each marks one kind of open.
constexpr off_t kShareBase = static_cast<off_t>(0x7FFFFFFF00000000LL);
constexpr off_t kHasRead = kShareBase + 0;
constexpr off_t kHasWrite = kShareBase + 1;
constexpr off_t kDenyRead = kShareBase + 2;
constexpr off_t kDenyWrite = kShareBase + 3;
constexpr off_t kGate = kShareBase + 4;

int LockByte(int fd, off_t at, short type, bool wait) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = at;
    lock.l_len = 1;
    int rc;
    do {
        rc = Sys().fcntlLock(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

// True when another open file description holds a lock on the byte.
bool HeldByOthers(int fd, off_t at) {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = at;
    lock.l_len = 1;
    if (Sys().fcntlLock(fd, F_OFD_GETLK, &lock) < 0) return false;
    return lock.l_type != F_UNLCK;
}

class FileObject : public KernelObject {
public:
    explicit FileObject(int fd) : m_fd(fd) {}
    ~FileObject() override { Sys().close(m_fd); }
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

bool TakeShareLocks(int fd, bool wantRead, bool wantWrite, bool denyRead, bool denyWrite) {
    // The gate serialises the check-and-mark of concurrent openers.
    if (LockByte(fd, kGate, F_WRLCK, true) < 0) return true;  // no locks here: share freely
    bool conflict = (wantRead && HeldByOthers(fd, kDenyRead)) ||
                    (wantWrite && HeldByOthers(fd, kDenyWrite)) ||
                    (denyRead && HeldByOthers(fd, kHasRead)) ||
                    (denyWrite && HeldByOthers(fd, kHasWrite));
    if (!conflict) {
        if (wantRead) LockByte(fd, kHasRead, F_RDLCK, false);
        if (wantWrite) LockByte(fd, kHasWrite, F_RDLCK, false);
        if (denyRead) LockByte(fd, kDenyRead, F_RDLCK, false);
        if (denyWrite) LockByte(fd, kDenyWrite, F_RDLCK, false);
    }
    LockByte(fd, kGate, F_UNLCK, false);
    if (conflict) errno = EACCES;
    return !conflict;
}

}  // namespace w32

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD, HANDLE) {
    if (!lpFileName || !*lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    bool read = dwDesiredAccess & GENERIC_READ;
    bool write = dwDesiredAccess & GENERIC_WRITE;
    int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    switch (dwCreationDisposition) {
        case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
        case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
        case OPEN_EXISTING: break;
        case OPEN_ALWAYS: flags |= O_CREAT; break;
        case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    bool existed = false;
    if (dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS) {
        struct stat st;
        existed = w32::Sys().stat(lpFileName, &st) == 0;
    }
    int fd;
    do {
        fd = w32::Sys().open(lpFileName, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int err = errno;
        DWORD code = err == EEXIST ? ERROR_FILE_EXISTS : w32::ErrnoToWin32(err);
        if (err == ENOENT) {
            // Windows tells a missing directory from a missing file.
            std::string dir(lpFileName, w32::BaseName(lpFileName) - lpFileName);
            struct stat st;
            if (!dir.empty() && w32::Sys().stat(dir.c_str(), &st) != 0) code = ERROR_PATH_NOT_FOUND;
        }
        SetLastError(code);
        return INVALID_HANDLE_VALUE;
    }
    if (!w32::TakeShareLocks(fd, read, write, !(dwShareMode & FILE_SHARE_READ),
                             !(dwShareMode & FILE_SHARE_WRITE))) {
        w32::Sys().close(fd);
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h;
    try {
        h = w32::InsertHandle(std::make_shared<w32::FileObject>(fd));
    } catch (const std::bad_alloc&) {
        w32::Sys().close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    if (!h) return INVALID_HANDLE_VALUE;  // the descriptor went with the object
    // Windows reports an existing file for OPEN_ALWAYS / CREATE_ALWAYS.
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod) {
    auto file = w32::LookupHandleAs<w32::FileObject>(hFile);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    off_t distance = lpDistanceToMoveHigh
                         ? static_cast<off_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                              static_cast<uint32_t>(lDistanceToMove))
                         : static_cast<off_t>(lDistanceToMove);
    int whence = dwMoveMethod == FILE_BEGIN ? SEEK_SET : dwMoveMethod == FILE_CURRENT ? SEEK_CUR
                 : dwMoveMethod == FILE_END ? SEEK_END : -1;
    if (whence < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    off_t at = w32::Sys().lseek(file->Fd(), distance, whence);
    if (at < 0) {
        SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : w32::ErrnoToWin32(errno));
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(at) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(at);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, void*) {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    auto file = w32::LookupHandleAs<w32::FileObject>(hFile);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const char* data = static_cast<const char*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        ssize_t n = w32::Sys().write(file->Fd(), data + done, nNumberOfBytesToWrite - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
            SetLastError(w32::ErrnoToWin32(errno));
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
    return TRUE;
}
