//===-- tests/logging/SocketTraceTest.cpp - Socket records in debugit.log -===//
#include <arpa/inet.h>
#include <sys/mman.h>
#include <unistd.h>

#include <thread>

#include "logging/LogFixture.h"

namespace tmtest {
namespace {

class SocketTraceTest : public LogTest {
protected:
    void TraceOn(DWORD debugX = 0) {
        SetParameter("DebugIt", 1);
        SetParameter("DebugX", debugX);
        DebugInit();
    }
    std::string Trace() const { return ReadFile(root_ + "/debugit.log"); }
    static std::string Header(const std::string& base, int line) {
        return base + "(" + std::to_string(line) + ") thread " + Thread() + "\r\n";
    }
};

MSG Message(uintptr_t hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return MSG{reinterpret_cast<HWND>(hwnd), message, wParam, lParam, 0, {}};
}

LPARAM SelectParam(unsigned event, unsigned error) { return static_cast<LPARAM>((error << 16) | event); }

// Two pages: the first readable, the second not, for data that ends in a
// fault part of the way through.
struct FencedPages {
    size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    char* base = static_cast<char*>(mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    FencedPages() {
        memset(base, 'r', size);
        mprotect(base + size, size, PROT_NONE);
    }
    ~FencedPages() { munmap(base, 2 * size); }
    char* Unreadable() const { return base + size; }
};

TEST_F(SocketTraceTest, RecordsMatchTheGoldenFile) {
    TraceOn(1);
    const unsigned char d17[] = {0x41, 0x20, 0x0D, 0x80, 0x00, 0x1F, 0x21, 0x7E, 0x7F,
                                 0xFF, 0x30, 0x31, 0x32, 0x61, 0x62, 0x63, 0x7A};
    DebugTx("C:\\tamarak\\src\\Smtp.cpp", 120, 7, reinterpret_cast<const char*>(d17), sizeof d17);
    DebugRx("/src/Pop3.cpp", 45, 8, "not read", 0);
    sockaddr_in to = {AF_INET, htons(53), {inet_addr("192.168.1.200")}, {}};
    sockaddr_in from = {AF_INET, htons(25), {inet_addr("10.0.0.1")}, {}};
    DebugTxTo("Dns.cpp", 300, 9, "query", 5, &to);
    DebugRxFrom("Dns.cpp", 310, 9, "0123456789abcdef", 16, &from);
    DebugTxReq("Smtp.cpp", 130, 7, 4096);
    DebugTxErr("Smtp.cpp", 131, 7, 10054);
    DebugRxErr("Smtp.cpp", 132, 7, 0);
    DebugRxErr("Smtp.cpp", 133, 7, 10060);
    DebugClose("Smtp.cpp", 134, 7, 0);
    DebugClose("Smtp.cpp", 135, 7, 10053);
    for (unsigned event : {1u, 2u, 4u, 8u, 16u, 32u}) {
        MSG msg = Message(0x1234abcd, 0x464, 7, SelectParam(event, 0));
        DebugMsg("Wnd.cpp", 200 + static_cast<int>(event), &msg);
    }
    MSG unnamed = Message(0x1234abcd, 0x464, 12, SelectParam(3, 10061));
    DebugMsg("Wnd.cpp", 240, &unnamed);
    MSG other = Message(0xbeef, WM_USER + 1, 0x10, 0x20000);
    DebugMsg("Wnd.cpp", 250, &other);
    // At the edges: byte counts are unsigned, null data writes no rows, a
    // null peer is 0.0.0.0:0, a handle beyond 32 bits is not cut, a null
    // message writes nothing, and a record head exactly as long as the
    // first formatting buffer.
    DebugTx("a", 3, 1, nullptr, 3000000000u);
    DebugTxTo("a", 6, -1, "z", 1, nullptr);
    MSG wide = Message(static_cast<uintptr_t>(0x123456789aULL), 0x464, static_cast<WPARAM>(-1), SelectParam(32, 0xFFFF));
    DebugMsg("a", 7, &wide);
    MSG negative = Message(0, 0x10, 0, -1);
    DebugMsg("a", 8, &negative);
    DebugMsg("a", 9, nullptr);
    DebugTx(std::string(227, 'f').c_str(), 6, 1, nullptr, 2);
    // 2100 readable bytes, then a page that cannot be read: the first 2048
    // bytes (128 rows) are dumped, the record is closed, the fault trapped
    // once the lock is left, and records go on.
    FencedPages pages;
    DebugTx("Smtp.cpp", 10, 5, pages.Unreadable() - 2100, 4000);
    DebugRx("Smtp.cpp", 11, 5, pages.Unreadable(), 1);
    DebugClose("Smtp.cpp", 12, 5, 0);
    std::vector<std::string> trap = SplitLines(ReadFile(root_ + "/debugx.log"));
    ASSERT_EQ(trap.size(), 4u);
    EXPECT_EQ(trap[0], "EventLog thread " + Thread());
    EXPECT_NE(trap[1].find(" EventLog("), std::string::npos) << trap[1];

    std::string golden = ReadFile(std::string(TM_TEST_SOURCE_DIR) + "/logging/golden/socket_trace.txt");
    ASSERT_FALSE(golden.empty());
    for (size_t at; (at = golden.find("{thread}")) != std::string::npos;) golden.replace(at, 8, Thread());
    EXPECT_EQ(Trace(), golden);
}

TEST_F(SocketTraceTest, OffTouchesNothing) {
    FencedPages pages;
    char* bad = pages.Unreadable();
    auto everyCall = [bad] {
        DebugTx(bad, 1, 1, bad, 100);
        DebugRx(bad, 2, 1, bad, 100);
        DebugTxTo(bad, 3, 1, bad, 100, reinterpret_cast<sockaddr_in*>(bad));
        DebugRxFrom(bad, 4, 1, bad, 100, reinterpret_cast<sockaddr_in*>(bad));
        DebugTxReq(bad, 5, 1, 100);
        DebugTxErr(bad, 6, 1, 1);
        DebugRxErr(bad, 7, 1, 0);
        DebugClose(bad, 8, 1, 0);
        DebugMsg(bad, 9, reinterpret_cast<const MSG*>(bad));
    };
    // With "DebugIt" 0: no file, nothing read.
    SetParameter("DebugIt", 0);
    SetParameter("DebugX", 1);
    DebugInit();
    everyCall();
    EXPECT_FALSE(FileExists(root_ + "/debugit.log"));
    // After DebugExit the file stays as it was.
    TraceOn();
    DebugClose("a", 1, 2, 0);
    std::string written = Trace();
    DebugExit();
    everyCall();
    EXPECT_EQ(Trace(), written);
    EXPECT_EQ(ReadFile(root_ + "/debugx.log"), "");
}

TEST_F(SocketTraceTest, RecordsOfThreadsNeverMix) {
    TraceOn();
    constexpr int kThreads = 4, kRecords = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::string data(40, static_cast<char>('a' + t));
            for (int i = 0; i < kRecords; ++i) DebugTx("T.cpp", t, t, data.data(), 40);
        });
    }
    for (std::thread& th : threads) th.join();
    // Each record is 8 lines: header, record line, empty, three rows of
    // its own thread's letter, two empty.
    std::vector<std::string> lines = SplitLines(Trace());
    ASSERT_EQ(lines.size(), 8u * kThreads * kRecords);
    for (size_t at = 0; at < lines.size(); at += 8) {
        int t = lines[at][6] - '0';
        std::string chars(16, static_cast<char>('a' + t));
        ASSERT_EQ(lines[at + 1], "09:08:07 40 byte write to socket " + std::to_string(t)) << at;
        ASSERT_EQ(lines[at + 3].substr(49) + lines[at + 4].substr(49) + lines[at + 5].substr(49), chars + chars + chars.substr(0, 8)) << at;
        ASSERT_EQ(lines[at + 2] + lines[at + 6] + lines[at + 7], "") << at;
    }
}

}  // namespace
}  // namespace tmtest
