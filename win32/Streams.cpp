//===-- win32/Streams.cpp - Text and binary streams as the C runtime had --===//
//
// The original runtime opened streams in text mode unless told "b": a line
// feed written becomes CR LF on disk, and CR LF read comes back as a line
// feed (a lone CR stays). Text streams are glibc cookie streams over a
// descriptor; binary streams are plain stdio. Positions of a text stream
// are byte offsets in the file, as they were on Windows. stdio keeps no
// buffer of its own for them: every write reaches the file at once.
//
// _fsopen's share flags, and the access of every stream opened here, are
// kept as advisory locks (see Files.h), so that a reader that denies
// writing keeps other writers of the installation out; only a private
// stream, on a file nobody else opens while it is written, goes without.
//
// A directory is not a stream: opening one fails with EACCES, as on
// Windows, in whatever mode.
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Files.h"
#include "SysCalls.h"
#include "Win32Internal.h"

namespace w32 {
namespace {

struct TextCookie {
    int fd;
    char raw[8192];  // bytes read from the file, not yet returned
    size_t pos = 0;
    size_t len = 0;
    bool atEnd = false;
    bool carryCR = false;  // a CR ended the last read; the next byte decides
};

ssize_t RawRead(int fd, char* buf, size_t size) {
    ssize_t n;
    do {
        n = Sys().read(fd, buf, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool RawWriteAll(int fd, const char* buf, size_t size) {
    while (size > 0) {
        ssize_t n = Sys().write(fd, buf, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        buf += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

ssize_t TextRead(void* c, char* buf, size_t size) {
    auto* cookie = static_cast<TextCookie*>(c);
    size_t out = 0;
    while (out < size) {
        if (cookie->pos >= cookie->len) {
            // Once something is read, return it rather than block for more.
            if (out > 0) break;
            size_t keep = 0;
            if (cookie->carryCR) {
                cookie->raw[0] = '\r';
                keep = 1;
                cookie->carryCR = false;
            }
            ssize_t n = RawRead(cookie->fd, cookie->raw + keep, sizeof cookie->raw - keep);
            if (n < 0) return -1;
            cookie->pos = 0;
            cookie->len = keep + static_cast<size_t>(n);
            cookie->atEnd = n == 0;
            if (cookie->len == 0) break;
        }
        // Everything up to the next CR goes across as it is.
        const char* from = cookie->raw + cookie->pos;
        size_t avail = cookie->len - cookie->pos;
        if (avail > size - out) avail = size - out;
        const char* cr = static_cast<const char*>(memchr(from, '\r', avail));
        size_t run = cr ? static_cast<size_t>(cr - from) : avail;
        memcpy(buf + out, from, run);
        out += run;
        cookie->pos += run;
        if (!cr) continue;
        ++cookie->pos;
        if (cookie->pos < cookie->len) {
            if (cookie->raw[cookie->pos] == '\n') continue;  // the LF stands for CR LF
        } else if (!cookie->atEnd) {
            cookie->carryCR = true;
            continue;
        }
        buf[out++] = '\r';
    }
    return static_cast<ssize_t>(out);
}

ssize_t TextWrite(void* c, const char* buf, size_t size) {
    auto* cookie = static_cast<TextCookie*>(c);
    char out[16384];
    size_t used = 0;
    for (size_t i = 0; i < size; ++i) {
        if (used + 2 > sizeof out) {
            if (!RawWriteAll(cookie->fd, out, used)) return -1;
            used = 0;
        }
        if (buf[i] == '\n') out[used++] = '\r';
        out[used++] = buf[i];
    }
    if (used && !RawWriteAll(cookie->fd, out, used)) return -1;
    return static_cast<ssize_t>(size);
}

int TextSeek(void* c, off64_t* position, int whence) {
    auto* cookie = static_cast<TextCookie*>(c);
    off64_t offset = *position;
    if (whence == SEEK_CUR) {
        // The file's own position is past what was read ahead.
        off_t at = Sys().lseek(cookie->fd, 0, SEEK_CUR);
        if (at < 0) return -1;
        offset += at - static_cast<off_t>(cookie->len - cookie->pos) - (cookie->carryCR ? 1 : 0);
        whence = SEEK_SET;
    }
    off_t at = Sys().lseek(cookie->fd, offset, whence);
    if (at < 0) return -1;
    cookie->pos = cookie->len = 0;
    cookie->carryCR = cookie->atEnd = false;
    *position = at;
    return 0;
}

int TextClose(void* c) {
    auto* cookie = static_cast<TextCookie*>(c);
    int rc = Sys().close(cookie->fd);
    delete cookie;
    return rc;
}

bool IsDirectory(int fd) {
    struct stat st;
    return Sys().fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

struct ModeFlags {
    int flags = 0;
    bool read = false, write = false, binary = false, valid = true;
};

ModeFlags ParseMode(const char* mode) {
    ModeFlags m;
    if (!mode) {
        m.valid = false;
        return m;
    }
    switch (mode[0]) {
        case 'r': m.read = true; break;
        case 'w': m.write = true; m.flags = O_CREAT | O_TRUNC; break;
        case 'a': m.write = true; m.flags = O_CREAT | O_APPEND; break;
        default: m.valid = false; return m;
    }
    for (const char* p = mode + 1; *p; ++p) {
        if (*p == '+') m.read = m.write = true;
        else if (*p == 'b') m.binary = true;
        else if (*p == 'x') m.flags |= O_EXCL;
    }
    m.flags |= (m.read && m.write) ? O_RDWR : m.write ? O_WRONLY : O_RDONLY;
    m.flags |= O_CLOEXEC;
    return m;
}

// shflag < 0: no share-mode marks at all (see OpenPrivateStream).
FILE* OpenShared(const char* path, const char* mode, int shflag, bool buffered) {
    ModeFlags m = ParseMode(mode);
    if (!path || !m.valid) {
        errno = EINVAL;
        return nullptr;
    }
    int fd;
    do {
        fd = Sys().open(path, m.flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // The Windows runtime refuses a directory with EACCES.
        if (errno == EISDIR) errno = EACCES;
        return nullptr;
    }
    // Linux opens a directory for reading; only a read-only open needs the
    // look, every other open of a directory has failed with EISDIR.
    if (!m.write && IsDirectory(fd)) {
        Sys().close(fd);
        errno = EACCES;
        return nullptr;
    }
    bool denyRead = shflag == _SH_DENYRW || shflag == _SH_DENYRD;
    bool denyWrite = shflag == _SH_DENYRW || shflag == _SH_DENYWR;
    if (shflag >= 0 && !TakeShareLocks(fd, m.read, m.write, denyRead, denyWrite)) {
        Sys().close(fd);
        errno = EACCES;
        return nullptr;
    }
    // The stdio mode keeps the access; creation and truncation are done.
    const char* stdioMode = (m.read && m.write) ? "r+" : m.write ? ((m.flags & O_APPEND) ? "a" : "w") : "r";
    FILE* fp;
    if (m.binary) {
        fp = Sys().fdopen(fd, stdioMode);
    } else {
        auto* cookie = new (std::nothrow) TextCookie;
        if (!cookie) {
            Sys().close(fd);
            errno = ENOMEM;
            return nullptr;
        }
        cookie->fd = fd;
        cookie_io_functions_t io = {TextRead, TextWrite, TextSeek, TextClose};
        fp = fopencookie(cookie, stdioMode, io);
        if (!fp) {
            delete cookie;
        } else {
            // The cookie does the buffering of reads itself, and writes go
            // straight through: stdio then holds nothing of its own, and
            // ftell and fseek give exact offsets in the file, as the
            // Windows runtime did for text streams.
            if (!buffered) setvbuf(fp, nullptr, _IONBF, 0);
            return fp;
        }
    }
    if (!fp) {
        int err = errno;
        Sys().close(fd);
        errno = err;
    }
    return fp;
}

}  // namespace

FILE* OpenBufferedStream(const char* path, const char* mode, int shflag) {
    return OpenShared(path, mode, shflag, true);
}

FILE* OpenPrivateStream(const char* path, const char* mode) { return OpenShared(path, mode, -1, true); }

}  // namespace w32

FILE* tm_fopen(const char* path, const char* mode) { return w32::OpenShared(path, mode, _SH_DENYNO, false); }

FILE* _fsopen(const char* path, const char* mode, int shflag) {
    return w32::OpenShared(path, mode, shflag, false);
}
