//===-- win32/Files.cpp - File handles and share modes --------------------===//
//
// CreateFileA, SetFilePointer and WriteFile over descriptors kept in the
// handle table, with Windows' share modes enforced between the openers
// that go through this layer (advisory: other programs are not stopped).
// A handle with FILE_APPEND_DATA but not GENERIC_WRITE appends every write.
// GetFileAttributesA tells whether a path exists without opening it, so
// that no share-mode mark is set on a file another process may be opening.
// CreateFileA refuses a directory with ERROR_ACCESS_DENIED.
//===----------------------------------------------------------------------===//
#include "Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "Guard.h"
#include "Handles.h"
#include "Layer.h"
#include "SysCalls.h"

namespace w32 {
namespace {

// Lock ranges far past any data. Each kind of open has a range of slots;
// an opener marks one slot of each kind it has with a lock of the type its
// descriptor allows (read-only descriptors can only take read locks,
// write-only ones only write locks), so openers of every mode can mark
// side by side. A lock anywhere in a range shows that kind of open.
constexpr off_t kShareBase = static_cast<off_t>(0x7FFFFFFF00000000LL);
constexpr off_t kSlots = 4096;
constexpr off_t kHasRead = kShareBase;
constexpr off_t kHasWrite = kShareBase + kSlots;
constexpr off_t kDenyRead = kShareBase + 2 * kSlots;
constexpr off_t kDenyWrite = kShareBase + 3 * kSlots;

int LockRange(int fd, off_t at, off_t length, short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = at;
    lock.l_len = length;
    int rc;
    do {
        rc = Sys().fcntlLock(fd, F_OFD_SETLK, &lock);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

// Marks one free slot of the range: 1 done, 0 every slot taken, -1 the
// file system keeps no such locks.
int Mark(int fd, off_t range, short type) {
    for (off_t slot = 0; slot < kSlots; ++slot) {
        if (LockRange(fd, range + slot, 1, type) == 0) return 1;
        if (errno != EAGAIN && errno != EACCES) return -1;
    }
    return 0;
}

// True when an open file description other than fd's holds a lock in the
// range.
bool HeldByOthers(int fd, off_t range) {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = range;
    lock.l_len = kSlots;
    if (Sys().fcntlLock(fd, F_OFD_GETLK, &lock) < 0) return false;
    return lock.l_type != F_UNLCK;
}

class FileObject final : public KernelObject {
public:
    explicit FileObject(int fd) : m_fd(fd) {}
    ~FileObject() override { Sys().close(m_fd); }
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

bool TakeShareLocks(int fd, bool wantRead, bool wantWrite, bool denyRead, bool denyWrite) {
    short type = wantWrite ? F_WRLCK : F_RDLCK;
    // Mark first, then look for conflicts: two openers racing each see
    // the other, and neither gets past a share mode that forbids it.
    const struct {
        bool wanted;
        off_t range;
    } kMarks[] = {{wantRead, kHasRead}, {wantWrite, kHasWrite}, {denyRead, kDenyRead}, {denyWrite, kDenyWrite}};
    for (const auto& m : kMarks) {
        if (!m.wanted) continue;
        int rc = Mark(fd, m.range, type);
        if (rc < 0) return true;  // no locks on this file system: share freely
        if (rc == 0) {
            errno = EACCES;
            return false;
        }
    }
    bool conflict = (wantRead && HeldByOthers(fd, kDenyRead)) ||
                    (wantWrite && HeldByOthers(fd, kDenyWrite)) ||
                    (denyRead && HeldByOthers(fd, kHasRead)) ||
                    (denyWrite && HeldByOthers(fd, kHasWrite));
    if (conflict) {
        LockRange(fd, kShareBase, 4 * kSlots, F_UNLCK);
        errno = EACCES;
        return false;
    }
    return true;
}

}  // namespace w32

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD, HANDLE) {
    return w32::GuardSettingLastError<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        if (!lpFileName || !*lpFileName) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        bool read = dwDesiredAccess & GENERIC_READ;
        // Append-only access: Windows ignores the file pointer on writes and
        // puts every byte at the end of the file, as O_APPEND does, in one
        // call instead of a seek and a write.
        bool append = (dwDesiredAccess & FILE_APPEND_DATA) && !(dwDesiredAccess & GENERIC_WRITE);
        bool write = (dwDesiredAccess & GENERIC_WRITE) || append;
        int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY) | (append ? O_APPEND : 0);
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
        // Linux opens a directory read-only; Windows opens no directory without
        // FILE_FLAG_BACKUP_SEMANTICS. Opens for writing failed with EISDIR.
        if (!write) {
            struct stat st;
            if (w32::Sys().fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
                w32::Sys().close(fd);
                SetLastError(ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
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
    });
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
    return w32::GuardSettingLastError<DWORD>(INVALID_FILE_ATTRIBUTES, [&]() -> DWORD {
        if (!lpFileName || !*lpFileName) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return INVALID_FILE_ATTRIBUTES;
        }
        struct stat st;
        if (w32::Sys().stat(lpFileName, &st) != 0) {
            SetLastError(errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : w32::ErrnoToWin32(errno));
            return INVALID_FILE_ATTRIBUTES;
        }
        if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
        return (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
    });
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod) {
    return w32::GuardSettingLastError<DWORD>(INVALID_SET_FILE_POINTER, [&]() -> DWORD {
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
    });
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, void*) {
    return w32::GuardSettingLastError<BOOL>(FALSE, [&]() -> BOOL {
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
    });
}
