//===-- logging/SocketTrace.cpp - Socket traffic records in debugit.log ---===//
//
// While "DebugIt" is on, the processes record their socket traffic in
// debugit.log: blocks sent and received with a hex dump, send requests,
// read and write errors, closes, and the window messages that report
// socket events. Every record is
//
//   "%s(%d) thread %08x\n"      base name, line, thread
//   the record's own line, ending in an empty line ("\n\n")
//   for data: rows of 16 bytes, "%02x " per byte (three blanks for a
//   missing one, so the hex column is always 48 wide), a blank, the
//   bytes 0x21-0x7E as they are, 0x20 as a blank, others as "."; then
//   "\n\n", also after no rows at all.
//
// The record is built in memory and written under the socket trace lock,
// header first, then flushed, so that records of different threads never
// mix; a record goes out in one write, a long dump in writes of 512 rows. With the trace off the
// caller's data is never touched.
//
// Caller's pointers: a null data pointer writes the record with no rows
// (whatever the length says), a null peer address is written 0.0.0.0:0,
// a null message writes nothing. Data that cannot be read (a bad pointer)
// ends the dump where it failed, closes the record with its empty line and
// is reported through the exception trap after the lock is left.
//
// On this 64-bit platform window handles, wParam and lParam are 8 bytes:
// they are written in at least eight hexadecimal digits and in full, so a
// value of 32 bits reads as it always did and a wider one is not cut.
// Byte counts are unsigned and written as such.
//===----------------------------------------------------------------------===//
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <string>

#include "Guard.h"
#include "Layer.h"
#include "logging/TraceFiles.h"
#include "logging/Trap.h"
#include "tmlogging.h"

namespace {

const char kSourceFile[] = "EventLog";

// The message through which the sockets report their events: WM_USER + 100.
constexpr UINT kSocketMessage = WM_USER + 100;

// Bytes of data read from the caller at a time (128 rows), and dumped
// before the text is written out (512 rows, 33 KiB of text).
constexpr size_t kPieceBytes = 2048;
constexpr size_t kFlushBytes = 8192;
// A full row: 48 columns of hex, a blank, 16 characters, the line feed.
constexpr size_t kRowChars = 48 + 1 + 16 + 1;

struct Clock {
    int hour, minute, second;
};

Clock NowLocal() {
    time_t now = w32::CurrentTime();
    struct tm t;
    localtime_r(&now, &t);
    return {t.tm_hour, t.tm_min, t.tm_sec};
}

void AppendV(std::string& out, const char* format, va_list args) {
    char small[256];
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(small, sizeof small, format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
    } else {
        size_t at = out.size();
        out.resize(at + static_cast<size_t>(n) + 1);
        vsnprintf(&out[at], static_cast<size_t>(n) + 1, format, again);
        out.resize(at + static_cast<size_t>(n));
    }
    va_end(again);
}

__attribute__((format(printf, 2, 3))) void Append(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendV(out, format, args);
    va_end(args);
}

// The header line and the start of the record line: the time.
std::string BeginRecord(const char* base, int nLine, const Clock& now) {
    std::string record;
    record.reserve(160);
    Append(record, "%s(%d) thread %08x\n%02d:%02d:%02d ", base, nLine, GetCurrentThreadId(), now.hour,
           now.minute, now.second);
    return record;
}

// Rows of the dump for count bytes; returns the characters written to out
// (at most kRowChars per started row).
size_t FormatRows(const unsigned char* bytes, size_t count, char* out) {
    static const char kHex[] = "0123456789abcdef";
    char* o = out;
    for (size_t row = 0; row < count; row += 16) {
        size_t inRow = std::min<size_t>(16, count - row);
        const unsigned char* p = bytes + row;
        for (size_t i = 0; i < 16; ++i) {
            if (i < inRow) {
                *o++ = kHex[p[i] >> 4];
                *o++ = kHex[p[i] & 0x0F];
            } else {
                *o++ = ' ';
                *o++ = ' ';
            }
            *o++ = ' ';
        }
        *o++ = ' ';
        for (size_t i = 0; i < inRow; ++i) {
            unsigned char c = p[i];
            *o++ = (c >= 0x21 && c <= 0x7E) ? static_cast<char>(c) : c == 0x20 ? ' ' : '.';
        }
        *o++ = '\n';
    }
    return static_cast<size_t>(o - out);
}

// Copies caller's bytes, catching a fault: false when they cannot be read.
bool CopyCallerBytes(unsigned char* to, const char* from, size_t count) {
    return w32::CatchAll(
        [&] {
            memcpy(to, from, count);
            return true;
        },
        [] { return false; });
}

// Writes one record: the text built so far, then (for data) the dump and
// its closing empty line. A record goes out in one write, a long dump in
// one write per kFlushBytes of data. Returns false when the data could not
// be read.
bool WriteRecord(std::string& record, bool withDump, const char* pData, DWORD dwLength) {
    if (withDump && pData) {
        record.reserve(record.size() + std::min<size_t>(dwLength, kFlushBytes) / 16 * kRowChars + kRowChars + 2);
    }
    std::lock_guard<std::mutex> guard(tmc::SocketTraceLock());
    FILE* fp = tmc::SocketTraceFile();
    if (!fp) return true;
    bool readable = true;
    if (withDump) {
        if (pData) {
            unsigned char piece[kPieceBytes];
            for (size_t done = 0; done < dwLength; done += kPieceBytes) {
                size_t count = std::min<size_t>(kPieceBytes, dwLength - done);
                if (!CopyCallerBytes(piece, pData + done, count)) {
                    readable = false;
                    break;
                }
                size_t at = record.size();
                record.resize(at + (count + 15) / 16 * kRowChars);
                record.resize(at + FormatRows(piece, count, &record[at]));
                if (record.size() >= kFlushBytes / 16 * kRowChars) {
                    fwrite(record.data(), 1, record.size(), fp);
                    record.clear();
                }
            }
        }
        record += "\n\n";
    }
    fwrite(record.data(), 1, record.size(), fp);
    fflush(fp);
    return readable;
}

// A record with a dump (withDump) or without; format and its values make
// the record line after the time. False when the data could not be read.
bool Record(const char* pszFile, int nLine, bool withDump, const char* pData, DWORD dwLength,
            const char* format, ...) __attribute__((format(printf, 6, 7)));

bool Record(const char* pszFile, int nLine, bool withDump, const char* pData, DWORD dwLength,
            const char* format, ...) {
    const char* base = w32::BaseName(pszFile);
    Clock now = NowLocal();
    std::string record = BeginRecord(base, nLine, now);
    va_list args;
    va_start(args, format);
    AppendV(record, format, args);
    va_end(args);
    return WriteRecord(record, withDump, pData, dwLength);
}

// Runs a record's body under the catch-all handler. Data that could not be
// read is reported as a trapped exception too, once the socket trace lock
// is left: the trap takes the event log's mutexes and the exception
// trace's lock.
template <class Body>
void Traced(int handlerLine, Body&& body) {
    bool readable = tmc::Guarded(kSourceFile, handlerLine, true, [&] { return body(); });
    if (!readable) DebugX(kSourceFile, handlerLine);
}

struct Peer {
    unsigned a, b, c, d, port;
};

Peer ReadPeer(const sockaddr_in* pAddr) {
    if (!pAddr) return {0, 0, 0, 0, 0};
    // The address bytes in the order they stand: network order.
    unsigned char bytes[4];
    memcpy(bytes, &pAddr->sin_addr.s_addr, 4);
    return {bytes[0], bytes[1], bytes[2], bytes[3], ntohs(pAddr->sin_port)};
}

const char* SocketEventName(unsigned event) {
    switch (event) {
        case 1: return "FD_READ";
        case 2: return "FD_WRITE";
        case 4: return "FD_OOB";
        case 8: return "FD_ACCEPT";
        case 16: return "FD_CONNECT";
        case 32: return "FD_CLOSE";
        default: return "";
    }
}

}  // namespace

void DebugTx(const char* pszFile, int nLine, SOCKET s, const char* pData, DWORD dwLength) {
    if (!tmc::SocketTraceOn()) return;
    Traced(__LINE__, [&] {
        return Record(pszFile, nLine, true, pData, dwLength, "%u byte write to socket %d\n\n", dwLength, s);
    });
}

void DebugRx(const char* pszFile, int nLine, SOCKET s, const char* pData, DWORD dwLength) {
    if (!tmc::SocketTraceOn()) return;
    Traced(__LINE__, [&] {
        return Record(pszFile, nLine, true, pData, dwLength, "%u byte read from socket %d\n\n", dwLength, s);
    });
}

void DebugTxTo(const char* pszFile, int nLine, SOCKET s, const char* pData, DWORD dwLength,
               const sockaddr_in* pTo) {
    if (!tmc::SocketTraceOn()) return;
    Traced(__LINE__, [&] {
        Peer to = ReadPeer(pTo);
        return Record(pszFile, nLine, true, pData, dwLength,
                      "%u byte datagram sent through socket %d to %u.%u.%u.%u:%u\n\n", dwLength, s, to.a,
                      to.b, to.c, to.d, to.port);
    });
}

void DebugRxFrom(const char* pszFile, int nLine, SOCKET s, const char* pData, DWORD dwLength,
                 const sockaddr_in* pFrom) {
    if (!tmc::SocketTraceOn()) return;
    Traced(__LINE__, [&] {
        Peer from = ReadPeer(pFrom);
        return Record(pszFile, nLine, true, pData, dwLength,
                      "%u byte datagram read through socket %d from %u.%u.%u.%u:%u\n\n", dwLength, s,
                      from.a, from.b, from.c, from.d, from.port);
    });
}

void DebugTxReq(const char* pszFile, int nLine, SOCKET s, int nBytes) {
    if (!tmc::SocketTraceOn()) return;
    Traced(__LINE__, [&] {
        return Record(pszFile, nLine, false, nullptr, 0, "socket %d, send request for %d bytes\n\n", s, nBytes);
    });
}

void DebugTxErr(const char* pszFile, int nLine, SOCKET s, int nError) {
    if (!tmc::SocketTraceOn()) return;
    Traced(__LINE__, [&] {
        return Record(pszFile, nLine, false, nullptr, 0, "socket %d, write error %d\n\n", s, nError);
    });
}

void DebugRxErr(const char* pszFile, int nLine, SOCKET s, int nError) {
    if (!tmc::SocketTraceOn()) return;
    Traced(__LINE__, [&] {
        // Code 0: the peer closed its end in order.
        if (nError == 0) return Record(pszFile, nLine, false, nullptr, 0, "socket %d, remote socket closed\n\n", s);
        return Record(pszFile, nLine, false, nullptr, 0, "socket %d, read error %d\n\n", s, nError);
    });
}

void DebugClose(const char* pszFile, int nLine, SOCKET s, int nError) {
    if (!tmc::SocketTraceOn()) return;
    Traced(__LINE__, [&] {
        if (nError == 0) return Record(pszFile, nLine, false, nullptr, 0, "socket %d closed\n\n", s);
        return Record(pszFile, nLine, false, nullptr, 0, "socket %d closed, error %d\n\n", s, nError);
    });
}

void DebugMsg(const char* pszFile, int nLine, const MSG* pMsg) {
    if (!tmc::SocketTraceOn() || !pMsg) return;
    Traced(__LINE__, [&] {
        MSG msg;
        memcpy(&msg, pMsg, sizeof msg);
        unsigned long hwnd = reinterpret_cast<uintptr_t>(msg.hwnd);
        if (msg.message == kSocketMessage) {
            // lParam: the event in its low word, the error in its high word.
            unsigned event = static_cast<unsigned>(msg.lParam) & 0xFFFFu;
            unsigned error = (static_cast<unsigned>(msg.lParam) >> 16) & 0xFFFFu;
            return Record(pszFile, nLine, false, nullptr, 0, "%s hwnd = %08lx skt = %d, error = %d\n\n",
                          SocketEventName(event), hwnd, static_cast<int>(msg.wParam), static_cast<int>(error));
        }
        return Record(pszFile, nLine, false, nullptr, 0,
                      "hwnd = %08lx msg = %08x wParam = %08lx lParam = %08lx\n\n", hwnd, msg.message,
                      static_cast<unsigned long>(msg.wParam), static_cast<unsigned long>(msg.lParam));
    });
}
