//===-- fuzz/socket_trace.cpp - Socket trace records from arbitrary calls -===//
//
// With "DebugIt" on, one call of the socket trace per input: the input's
// first 42 bytes choose the function and its arguments (socket, count or
// error, peer address and port, window message; a null data pointer or
// peer), then comes a short source file name, then the data. The record
// that appears at the end of debugit.log must be whole and as the trace
// writes it: the header line with the base name of the file name and the
// line, the record line with the arguments, an empty line, and for data
// the hex dump of exactly those bytes (rows of 16, "%02x " or three
// blanks, a blank, the bytes 0x21-0x7E as they are, 0x20 as a blank, "."
// for the rest), then "\n\n". The file is a text stream: "\r\n" on disk.
//
//   build/fuzz/fuzz/fuzz_socket_trace fuzz/corpus/socket_trace
//===----------------------------------------------------------------------===//
#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/support/FuzzSupport.h"
#include "tmcommon.h"

namespace {

constexpr size_t kHead = 42;

template <class T>
T Take(const uint8_t* head, size_t at) {
    T value;
    memcpy(&value, head + at, sizeof value);
    return value;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string PlainDump(const unsigned char* bytes, size_t count) {
    std::string dump;
    for (size_t row = 0; row < count; row += 16) {
        const size_t inRow = std::min<size_t>(16, count - row);
        for (size_t i = 0; i < 16; ++i) dump += i < inRow ? Format("%02x ", bytes[row + i]) : "   ";
        dump += ' ';
        for (size_t i = 0; i < inRow; ++i) {
            const unsigned char c = bytes[row + i];
            dump += c >= 0x21 && c <= 0x7E ? static_cast<char>(c) : c == 0x20 ? ' ' : '.';
        }
        dump += '\n';
    }
    return dump + "\n\n";
}

const char* EventName(unsigned event) {
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

std::string ToDisk(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

const std::string& TracePath() {
    static const std::string path = tmfuzz::SandboxDir() + "/debugit.log";
    return path;
}

void TraceOn() {
    CRegistry reg;
    if (reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0) != ERROR_SUCCESS ||
        reg.SetValue("DebugIt", DWORD(1)) != ERROR_SUCCESS) {
        tmfuzz::Fail("cannot switch the socket trace on");
    }
    tmfuzz::StartTraces();
}

long long FileSize() {
    struct stat st;
    return stat(TracePath().c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string ReadFrom(long long offset) {
    FILE* fp = fopen(TracePath().c_str(), "rb");
    if (!fp) tmfuzz::Fail("cannot read debugit.log");
    fseek(fp, static_cast<long>(offset), SEEK_SET);
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, fp)) > 0;) text.append(buffer, n);
    fclose(fp);
    return text;
}

}  // namespace

void tmfuzz::FuzzOne(const uint8_t* data, size_t size) {
    // DebugInit starts debugit.log afresh: at the start and whenever it has
    // grown large.
    static bool on = false;
    if (!on || FileSize() > (8 << 20)) {
        TraceOn();
        on = true;
    }
    uint8_t head[kHead] = {};
    memcpy(head, data, std::min(size, kHead));
    const uint8_t* rest = data + std::min(size, kHead);
    size_t restSize = size - std::min(size, kHead);
    const size_t nameLength = std::min<size_t>(head[41] % 48, restSize);
    std::string file = UpToZero(rest, nameLength);
    // A source file name: no control characters, which would break the
    // record's lines.
    for (char& c : file) c = static_cast<unsigned char>(c) < 0x20 ? '_' : c;
    rest += nameLength;
    restSize -= nameLength;

    const unsigned selector = head[0] % 10;
    const bool nullData = (head[0] / 16) & 1, nullPeer = (head[0] / 32) & 1;
    const SOCKET s = Take<int32_t>(head, 1);
    const int n = Take<int32_t>(head, 5);
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    memcpy(&peer.sin_addr.s_addr, head + 9, 4);
    memcpy(&peer.sin_port, head + 13, 2);
    MSG msg = {};
    msg.hwnd = reinterpret_cast<HWND>(Take<uintptr_t>(head, 15));
    msg.lParam = static_cast<LPARAM>(Take<uint64_t>(head, 23));
    msg.wParam = static_cast<WPARAM>(Take<uint64_t>(head, 31));
    msg.message = selector == 9 && (head[0] & 64) ? 0x464 : static_cast<UINT>(n);
    const int line = Take<uint16_t>(head, 39);

    const std::unique_ptr<char[]> bytes(new char[restSize]);
    if (restSize) memcpy(bytes.get(), rest, restSize);
    const char* pData = nullData ? nullptr : bytes.get();
    const DWORD length = static_cast<DWORD>(restSize);
    const sockaddr_in* pPeer = nullPeer ? nullptr : &peer;
    const unsigned char* address = reinterpret_cast<const unsigned char*>(&peer.sin_addr.s_addr);
    const std::string to = nullPeer ? "0.0.0.0:0"
                                    : Format("%u.%u.%u.%u:%u", address[0], address[1], address[2], address[3],
                                             ntohs(peer.sin_port));

    const long long before = std::max(FileSize(), 0LL);
    const Text name(file);
    std::string expected;
    bool dump = false;
    switch (selector) {
        case 0:
            DebugTx(name.get(), line, s, pData, length);
            expected = Format("%u byte write to socket %d\n\n", length, s), dump = true;
            break;
        case 1:
            DebugRx(name.get(), line, s, pData, length);
            expected = Format("%u byte read from socket %d\n\n", length, s), dump = true;
            break;
        case 2:
            DebugTxTo(name.get(), line, s, pData, length, pPeer);
            expected = Format("%u byte datagram sent through socket %d to %s\n\n", length, s, to.c_str()), dump = true;
            break;
        case 3:
            DebugRxFrom(name.get(), line, s, pData, length, pPeer);
            expected = Format("%u byte datagram read through socket %d from %s\n\n", length, s, to.c_str()), dump = true;
            break;
        case 4:
            DebugTxReq(name.get(), line, s, n);
            expected = Format("socket %d, send request for %d bytes\n\n", s, n);
            break;
        case 5:
            DebugTxErr(name.get(), line, s, n);
            expected = Format("socket %d, write error %d\n\n", s, n);
            break;
        case 6:
            DebugRxErr(name.get(), line, s, n);
            expected = n == 0 ? Format("socket %d, remote socket closed\n\n", s) : Format("socket %d, read error %d\n\n", s, n);
            break;
        case 7:
            DebugClose(name.get(), line, s, n);
            expected = n == 0 ? Format("socket %d closed\n\n", s) : Format("socket %d closed, error %d\n\n", s, n);
            break;
        default: {
            DebugMsg(name.get(), line, &msg);
            const unsigned long hwnd = reinterpret_cast<uintptr_t>(msg.hwnd);
            if (msg.message == 0x464) {
                const unsigned low = static_cast<unsigned>(msg.lParam);
                expected = Format("%s hwnd = %08lx skt = %d, error = %d\n\n", EventName(low & 0xFFFF), hwnd,
                                  static_cast<int>(msg.wParam), static_cast<int>(low >> 16));
            } else {
                expected = Format("hwnd = %08lx msg = %08x wParam = %08lx lParam = %08lx\n\n", hwnd, msg.message,
                                  static_cast<unsigned long>(msg.wParam), static_cast<unsigned long>(msg.lParam));
            }
        }
    }
    if (dump) expected += pData ? PlainDump(reinterpret_cast<const unsigned char*>(pData), length) : "\n\n";

    const std::string record = ReadFrom(before);
    char thread[16];
    snprintf(thread, sizeof thread, "%08x", GetCurrentThreadId());
    const size_t slash = file.find_last_of("/\\");
    const std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
    const std::string header = ToDisk(base + "(" + std::to_string(line) + ") thread " + thread + "\n");
    Check(record.compare(0, header.size(), header) == 0, "the record's header line is not as written");
    const std::string clock = record.substr(header.size(), 9);
    Check(clock.size() == 9 && isdigit(clock[0]) && isdigit(clock[1]) && clock[2] == ':' && isdigit(clock[3]) &&
              isdigit(clock[4]) && clock[5] == ':' && isdigit(clock[6]) && isdigit(clock[7]) && clock[8] == ' ',
          "the record line does not start with the time");
    Check(record.substr(header.size() + 9) == ToDisk(expected), "the record is not as the trace writes it");
}
