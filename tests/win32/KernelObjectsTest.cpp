//===-- tests/win32/KernelObjectsTest.cpp - Mutexes, events and waits -----===//
//
// Windows behaviour of the layer's mutexes and events, within a process
// (threads) and across processes (the kobj_peer helper and fork). Every
// test ends by checking that none of its objects' files is left in
// /dev/shm.
//===----------------------------------------------------------------------===//
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "tmcommon.h"
#include "win32/SharedSegment.h"
#include "win32/SysCalls.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kSentinel = 0xDEADBEEF;
// Bound of every wait that should end well before it: a fault shows as a
// failed expectation instead of a hung test.
constexpr DWORD kLongWait = 20000;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<std::string> NamespaceFiles() {
    std::vector<std::string> files;
    const std::string prefix = w32::SegmentFilePrefix().substr(strlen("/dev/shm/"));
    if (DIR* dir = opendir("/dev/shm")) {
        while (dirent* entry = readdir(dir)) {
            // The library's own objects (the event log's mutexes, the
            // installation mutex) live as long as the process.
            if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0 &&
                strncmp(entry->d_name + prefix.size(), "D02369B", 7) != 0) {
                files.push_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    return files;
}

// Waiters counted inside a named event, read from its file: once a waiter
// is counted, a SetEvent can no longer pass it by.
uint32_t CountedWaiters(const char* name) {
    DWORD error = 0;
    std::string path = w32::SegmentFilePath(name, &error);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    void* p = mmap(nullptr, w32::kSegmentSize, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return 0;
    // EventState: signalled, seq, waiters.
    uint32_t waiters = reinterpret_cast<const std::atomic<uint32_t>*>(
                           static_cast<const char*>(p) + w32::kStateOffset)[2]
                           .load();
    munmap(p, w32::kSegmentSize);
    return waiters;
}

bool WaitUntil(const std::function<bool()>& condition, int milliseconds = kLongWait) {
    Clock::time_point start = Clock::now();
    while (!condition()) {
        if (MillisecondsSince(start) > milliseconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A kobj_peer process whose output lines the test can wait for.
class Peer {
public:
    explicit Peer(const std::vector<std::string>& args) {
        static int serial = 0;
        m_out = tmtest::SandboxDir() + "/peer" + std::to_string(++serial) + ".out";
        m_pid = tmtest::StartProgram(tmtest::HelperPath("kobj_peer"), args, {}, m_out);
    }
    // A peer still running at the end of a test is killed; one that ends
    // by itself is waited for before the test closes what it shares.
    ~Peer() {
        if (m_pid > 0) Kill();
    }
    // The first output line starting with prefix, waiting for it; "" if
    // none came.
    std::string Line(const std::string& prefix, int milliseconds = kLongWait) {
        std::string found;
        WaitUntil(
            [&] {
                for (const std::string& line : tmtest::SplitLines(tmtest::ReadFile(m_out))) {
                    if (line.compare(0, prefix.size(), prefix) == 0) {
                        found = line;
                        return true;
                    }
                }
                return false;
            },
            milliseconds);
        return found;
    }
    int Wait() {
        int status = tmtest::WaitProgram(m_pid);
        m_pid = -1;
        return status;
    }
    void Kill() {
        kill(m_pid, SIGKILL);
        Wait();
    }

private:
    pid_t m_pid = -1;
    std::string m_out;
};

class KernelObjects : public testing::Test {
protected:
    void TearDown() override {
        w32::ResetSysCalls();
        EXPECT_EQ(NamespaceFiles(), std::vector<std::string>()) << "object files left behind";
    }
};

// A mutex by name or without one: both must behave the same.
HANDLE MakeMutex(bool named, const char* name, BOOL owned = FALSE) {
    return CreateMutexA(nullptr, owned, named ? name : nullptr);
}

// Runs call with a sentinel last error; gives the last error it left.
template <class Call>
DWORD ErrorAfter(Call&& call) {
    SetLastError(kSentinel);
    call();
    return GetLastError();
}

void InThread(const std::function<void()>& body) { std::thread(body).join(); }

//===-- Mutexes -----------------------------------------------------------===//

TEST_F(KernelObjects, MutexIsRecursiveAndOnlyItsOwnerReleasesIt) {
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named" : "unnamed");
        // Taken once by creation, 31 times by waits.
        HANDLE h = MakeMutex(named, "Recursive", TRUE);
        ASSERT_NE(h, nullptr);
        for (int i = 0; i < 31; ++i) ASSERT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
        InThread([&] {
            EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
            EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(ReleaseMutex(h)); }), DWORD(ERROR_NOT_OWNER));
        });
        for (int i = 0; i < 31; ++i) ASSERT_TRUE(ReleaseMutex(h)) << i;
        InThread([&] { EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT); });
        EXPECT_TRUE(ReleaseMutex(h));
        EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(ReleaseMutex(h)); }), DWORD(ERROR_NOT_OWNER));
        InThread([&] {
            EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
            EXPECT_TRUE(ReleaseMutex(h));
        });
        EXPECT_TRUE(CloseHandle(h));
    }
}

TEST_F(KernelObjects, CreatingAnExistingNameOpensTheSameObject) {
    HANDLE m1, m2, m3, e1, e2, e3;
    EXPECT_EQ(ErrorAfter([&] { m1 = CreateMutexA(nullptr, FALSE, "Shared"); }), 0u);
    // bInitialOwner counts only for a new object.
    EXPECT_EQ(ErrorAfter([&] { m2 = CreateMutexA(nullptr, TRUE, "Shared"); }),
              DWORD(ERROR_ALREADY_EXISTS));
    // Names are case-sensitive: another object.
    EXPECT_EQ(ErrorAfter([&] { m3 = CreateMutexA(nullptr, FALSE, "SHARED"); }), 0u);
    ASSERT_TRUE(m1 && m2 && m3);
    EXPECT_NE(m1, m2);
    EXPECT_FALSE(ReleaseMutex(m2));
    ASSERT_EQ(WaitForSingleObject(m1, 0), WAIT_OBJECT_0);
    InThread([&] {
        EXPECT_EQ(WaitForSingleObject(m2, 0), WAIT_TIMEOUT);
        EXPECT_EQ(WaitForSingleObject(m3, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(m3));
    });
    EXPECT_TRUE(ReleaseMutex(m2));  // through the other handle

    EXPECT_EQ(ErrorAfter([&] { e1 = CreateEventA(nullptr, TRUE, FALSE, "SharedEvent"); }), 0u);
    // Neither kind nor initial state of an existing event changes.
    EXPECT_EQ(ErrorAfter([&] { e2 = CreateEventA(nullptr, FALSE, TRUE, "SharedEvent"); }),
              DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ErrorAfter([&] { e3 = CreateEventA(nullptr, TRUE, FALSE, "sharedevent"); }), 0u);
    EXPECT_EQ(WaitForSingleObject(e2, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(e1));
    EXPECT_EQ(WaitForSingleObject(e2, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e2, 0), WAIT_OBJECT_0) << "not manual-reset any more";
    EXPECT_EQ(WaitForSingleObject(e3, 0), WAIT_TIMEOUT);
    for (HANDLE h : {m1, m2, m3, e1, e2, e3}) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(KernelObjects, NamesAreCheckedAsWindowsChecksThem) {
    const std::string longest(MAX_PATH, 'n'), tooLong(MAX_PATH + 1, 'n');
    struct Case {
        const char* name;
        DWORD openError;  // OpenMutexA before creation
        DWORD createError;
    };
    const Case kCases[] = {
        {nullptr, ERROR_INVALID_PARAMETER, 0},  // Create: unnamed
        {"", ERROR_FILE_NOT_FOUND, 0},          // Create: unnamed
        {"a\\b", ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        {"Global\\", ERROR_INVALID_NAME, ERROR_INVALID_NAME},
        {tooLong.c_str(), ERROR_FILENAME_EXCED_RANGE, ERROR_FILENAME_EXCED_RANGE},
        {longest.c_str(), ERROR_FILE_NOT_FOUND, 0},
        {"../escape/../x", ERROR_FILE_NOT_FOUND, 0},
        {"with space%2F\xe9\x01", ERROR_FILE_NOT_FOUND, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name ? std::string(c.name).substr(0, 20) : "(null)");
        HANDLE h;
        EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, c.name)); }),
                  c.openError);
        EXPECT_EQ(ErrorAfter([&] { h = CreateMutexA(nullptr, FALSE, c.name); }), c.createError);
        EXPECT_EQ(h != nullptr, c.createError == 0);
        if (h && c.name && *c.name) {
            HANDLE opened = OpenMutexA(SYNCHRONIZE, FALSE, c.name);
            EXPECT_NE(opened, nullptr) << GetLastError();
            CloseHandle(opened);
        }
        CloseHandle(h);
    }
    EXPECT_FALSE(tmtest::FileExists("/dev/shm/x")) << "a name reached outside its namespace";

    // Names that encode alike or differ only at the end stay apart.
    std::string almost = longest;
    almost.back() = 'm';
    std::vector<HANDLE> handles;
    for (const char* name : {"a/b", "a%2Fb", "a_b", longest.c_str(), almost.c_str()}) {
        EXPECT_EQ(ErrorAfter([&] { handles.push_back(CreateMutexA(nullptr, FALSE, name)); }), 0u);
    }
    for (HANDLE h : handles) CloseHandle(h);

    // "Global\" and "Local\" lead to the one namespace of the installation.
    HANDLE plain = CreateEventA(nullptr, TRUE, FALSE, "Prefixed");
    HANDLE global = CreateEventA(nullptr, TRUE, FALSE, "Global\\Prefixed");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    HANDLE local = OpenEventA(EVENT_ALL_ACCESS, FALSE, "Local\\Prefixed");
    SetEvent(global);
    EXPECT_EQ(WaitForSingleObject(local, 0), WAIT_OBJECT_0);
    for (HANDLE h : {plain, global, local}) CloseHandle(h);
}

TEST_F(KernelObjects, NameOfTheOtherKindGivesInvalidHandle) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "Taken");
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "TakenToo");
    const std::function<HANDLE()> kCalls[] = {
        [] { return CreateEventA(nullptr, FALSE, FALSE, "Taken"); },
        [] { return OpenEventA(EVENT_ALL_ACCESS, FALSE, "Taken"); },
        [] { return CreateMutexA(nullptr, FALSE, "TakenToo"); },
        [] { return OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "TakenToo"); },
    };
    for (const auto& call : kCalls) {
        EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(call(), nullptr); }), DWORD(ERROR_INVALID_HANDLE));
    }
    // The same for a process that has not got the object open yet.
    Peer peer({"event-wait", "Taken", "0"});
    EXPECT_EQ(peer.Line("open"), "open 6");
    peer.Wait();
    CloseHandle(mutex);
    CloseHandle(event);
}

TEST_F(KernelObjects, ObjectGoesWithItsLastHandle) {
    for (bool mutex : {true, false}) {
        SCOPED_TRACE(mutex ? "mutex" : "event");
        auto create = [&] {
            return mutex ? CreateMutexA(nullptr, FALSE, "Temporary")
                         : CreateEventA(nullptr, TRUE, TRUE, "Temporary");
        };
        auto open = [&] {
            return mutex ? OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "Temporary")
                         : OpenEventA(EVENT_ALL_ACCESS, FALSE, "Temporary");
        };
        HANDLE first = create(), second = open();
        ASSERT_TRUE(first && second);
        EXPECT_TRUE(CloseHandle(first));
        HANDLE third = open();
        EXPECT_NE(third, nullptr) << "gone while a handle remained";
        if (!mutex) ResetEvent(third);
        CloseHandle(second);
        CloseHandle(third);
        EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(open(), nullptr); }), DWORD(ERROR_FILE_NOT_FOUND));
        // A new object, with its own initial state.
        HANDLE fresh;
        EXPECT_EQ(ErrorAfter([&] { fresh = create(); }), 0u);
        if (!mutex) {
            EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_OBJECT_0);
        }
        CloseHandle(fresh);
        EXPECT_EQ(NamespaceFiles(), std::vector<std::string>());
    }
    // A process that ends without closing its handles lets go of them too,
    // here the last one.
    HANDLE mine = CreateEventA(nullptr, TRUE, FALSE, "Forgotten");
    const std::string gate = tmtest::SandboxDir() + "/leave";
    Peer peer({"event-leave", "Forgotten", gate});
    EXPECT_EQ(peer.Line("created"), "created 183");
    CloseHandle(mine);
    tmtest::WriteFile(gate, "");
    EXPECT_EQ(peer.Wait(), 0);
    EXPECT_EQ(NamespaceFiles(), std::vector<std::string>());
}

TEST_F(KernelObjects, HandlesAreCheckedForKindAndAccess) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "Guarded");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "GuardedEvent");
    HANDLE closed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(closed);
    for (HANDLE h : {HANDLE(nullptr), INVALID_HANDLE_VALUE, closed, HANDLE(uintptr_t(0x12344))}) {
        EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED); }),
                  DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(CloseHandle(h)); }), DWORD(ERROR_INVALID_HANDLE));
    }
    // A handle of the other kind.
    EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(ReleaseMutex(event)); }), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(SetEvent(mutex)); }), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(ResetEvent(mutex)); }), DWORD(ERROR_INVALID_HANDLE));

    // Access as Windows checks it: waits need SYNCHRONIZE, Set and Reset
    // EVENT_MODIFY_STATE.
    struct Case {
        DWORD access;
        bool canWait;
        bool canSet;
    };
    const Case kCases[] = {
        {EVENT_MODIFY_STATE, false, true}, {SYNCHRONIZE, true, false},
        {EVENT_ALL_ACCESS, true, true},    {GENERIC_READ, false, false},
        {GENERIC_WRITE, false, true},      {0x20000000u /* GENERIC_EXECUTE */, true, false},
        {MAXIMUM_ALLOWED, true, true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.access);
        HANDLE h = OpenEventA(c.access, FALSE, "GuardedEvent");
        EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(SetEvent(h), c.canSet); }),
                  c.canSet ? kSentinel : DWORD(ERROR_ACCESS_DENIED));
        EXPECT_EQ(ResetEvent(h), c.canSet);
        EXPECT_EQ(ErrorAfter([&] {
                      EXPECT_EQ(WaitForSingleObject(h, 0), c.canWait ? WAIT_TIMEOUT : WAIT_FAILED);
                  }),
                  c.canWait ? kSentinel : DWORD(ERROR_ACCESS_DENIED));
        CloseHandle(h);
    }
    EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(OpenEventA(0, FALSE, "GuardedEvent")); }),
              DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(OpenMutexA(0, FALSE, "Guarded")); }),
              DWORD(ERROR_ACCESS_DENIED));
    // Waiting is enough to own and release a mutex.
    HANDLE waitOnly = OpenMutexA(SYNCHRONIZE, FALSE, "Guarded");
    EXPECT_EQ(WaitForSingleObject(waitOnly, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(waitOnly));
    for (HANDLE h : {event, mutex, waitOnly}) CloseHandle(h);
}

TEST_F(KernelObjects, WaitsTimeOut) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, "Busy");
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (DWORD ms : {0u, 30u, 250u}) {
        for (HANDLE h : {mutex, event}) {
            SCOPED_TRACE(testing::Message() << ms << (h == mutex ? " mutex" : " event"));
            InThread([&] {
                Clock::time_point start = Clock::now();
                EXPECT_EQ(WaitForSingleObject(h, ms), WAIT_TIMEOUT);
                EXPECT_GE(MillisecondsSince(start), ms);
                EXPECT_LT(MillisecondsSince(start), ms + 2000);
            });
        }
    }
    // A finite wait that the owner ends in time succeeds.
    std::thread waiter([&] {
        EXPECT_EQ(WaitForSingleObject(mutex, kLongWait), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(mutex));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ReleaseMutex(mutex);
    waiter.join();
    CloseHandle(mutex);
    CloseHandle(event);
}

TEST_F(KernelObjects, OwnerThreadExitAbandonsTheMutex) {
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named" : "unnamed");
        HANDLE h = MakeMutex(named, "Orphaned");
        std::atomic<bool> taken{false};
        std::thread owner([&] {
            WaitForSingleObject(h, INFINITE);
            WaitForSingleObject(h, INFINITE);
            taken = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            // Ends holding it twice.
        });
        ASSERT_TRUE(WaitUntil([&] { return taken.load(); }));
        // Already waiting when the owner ends.
        std::thread waiter([&] {
            EXPECT_EQ(WaitForSingleObject(h, kLongWait), WAIT_ABANDONED);
            InThread([&] { EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT); });
            EXPECT_TRUE(ReleaseMutex(h));
            EXPECT_FALSE(ReleaseMutex(h)) << "owned once, not twice";
        });
        owner.join();
        waiter.join();
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0) << "abandoned only once";
        ReleaseMutex(h);
        // Nobody waiting when the owner ends: the next wait learns of it.
        InThread([&] { WaitForSingleObject(h, INFINITE); });
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_ABANDONED);
        EXPECT_TRUE(ReleaseMutex(h));
        CloseHandle(h);
    }
}

TEST_F(KernelObjects, ClosingAnOwnedMutexKeepsTheOwnersOtherMutexesSound) {
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named" : "unnamed");
        HANDLE kept = MakeMutex(named, "Kept");
        InThread([&] {
            ASSERT_EQ(WaitForSingleObject(kept, INFINITE), WAIT_OBJECT_0);
            // Taken last, so first on the thread's list of robust mutexes.
            EXPECT_TRUE(CloseHandle(MakeMutex(named, "ClosedWhileOwned", TRUE)));
        });
        // The owner's end must still reach the mutex it took before.
        EXPECT_EQ(WaitForSingleObject(kept, kLongWait), WAIT_ABANDONED);
        EXPECT_TRUE(ReleaseMutex(kept));
        CloseHandle(kept);
        EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "ClosedWhileOwned"), nullptr);
    }

    // Another process keeps the object alive: the owner may open it again
    // and release it.
    HANDLE h = CreateMutexA(nullptr, TRUE, "Reopened");
    Peer keeper({"mutex-open", "Reopened"});
    ASSERT_EQ(keeper.Line("opened"), "opened 0");
    EXPECT_TRUE(CloseHandle(h));
    HANDLE again = OpenMutexA(SYNCHRONIZE, FALSE, "Reopened");
    InThread([&] { EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_TIMEOUT); });
    EXPECT_TRUE(ReleaseMutex(again));
    InThread([&] {
        EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(again));
    });
    keeper.Kill();
    CloseHandle(again);
}

//===-- Mutexes across processes -----------------------------------------===//

TEST_F(KernelObjects, AnotherProcessSharesTheNamedMutex) {
    HANDLE h = CreateMutexA(nullptr, TRUE, "CrossProcess");
    {
        Clock::time_point start = Clock::now();
        Peer peer({"mutex-wait", "CrossProcess", "300", "0"});
        EXPECT_EQ(peer.Line("wait"), "wait 102");
        EXPECT_GE(MillisecondsSince(start), 300);
    }
    // The peer waits, gets it when this process lets go, and holds it.
    Peer peer({"mutex-wait", "CrossProcess", std::to_string(kLongWait), "300"});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(peer.Line("wait"), "wait 0");
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    EXPECT_EQ(peer.Line("released"), "released 1");
    EXPECT_EQ(WaitForSingleObject(h, kLongWait), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(peer.Wait(), 0);
    CloseHandle(h);
}

TEST_F(KernelObjects, KilledHolderProcessAbandonsTheMutex) {
    Peer holder({"mutex-hold", "Doomed"});
    ASSERT_EQ(holder.Line("held"), "held 0");
    HANDLE h = OpenMutexA(SYNCHRONIZE, FALSE, "Doomed");
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    // Waiters in this process and in another, blocked when it dies.
    std::vector<DWORD> results(3, 0);
    std::vector<std::thread> threads;
    for (DWORD& result : results) {
        threads.emplace_back([&result, h] {
            result = WaitForSingleObject(h, kLongWait);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ReleaseMutex(h);
        });
    }
    Peer other({"mutex-wait", "Doomed", std::to_string(kLongWait), "20"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Clock::time_point killed = Clock::now();
    holder.Kill();
    for (std::thread& t : threads) t.join();
    std::string otherLine = other.Line("wait");
    EXPECT_EQ(other.Wait(), 0);
    EXPECT_LT(MillisecondsSince(killed), kLongWait / 2) << "a waiter stayed blocked";
    int abandoned = otherLine == "wait 80", normal = otherLine == "wait 0";
    for (DWORD r : results) {
        abandoned += r == WAIT_ABANDONED;
        normal += r == WAIT_OBJECT_0;
    }
    EXPECT_EQ(abandoned, 1) << otherLine;
    EXPECT_EQ(normal, 3) << otherLine;
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    ReleaseMutex(h);
    CloseHandle(h);
}

TEST_F(KernelObjects, RacingCreatorsMakeOneObject) {
    static int round = 0;
    const std::string gate = tmtest::SandboxDir() + "/gate" + std::to_string(++round);
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 4; ++i) {
        peers.push_back(
            std::make_unique<Peer>(std::vector<std::string>{"create-race", "Race", gate}));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    tmtest::WriteFile(gate, "");
    int created = 0, existed = 0;
    for (auto& peer : peers) {
        std::string line = peer->Line("created");
        created += line == "created 0";
        existed += line == "created 183";
    }
    tmtest::WriteFile(gate + ".done", "");
    for (auto& peer : peers) EXPECT_EQ(peer->Wait(), 0);
    EXPECT_EQ(created, 1);
    EXPECT_EQ(existed, 3);
}

TEST_F(KernelObjects, FourProcessesLoseNoUpdate) {
    const std::string counter = tmtest::SandboxDir() + "/counter";
    tmtest::WriteFile(counter, std::string(8, '\0'));
    const int kThreads = 4, kIterations = 1500;
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 4; ++i) {
        peers.push_back(std::make_unique<Peer>(std::vector<std::string>{
            "hammer", "Counter", counter, std::to_string(kThreads), std::to_string(kIterations)}));
    }
    for (auto& peer : peers) {
        EXPECT_EQ(peer->Line("done", 240000), "done 0");
        EXPECT_EQ(peer->Wait(), 0);
    }
    std::string bytes = tmtest::ReadFile(counter);
    uint64_t total = 0;
    ASSERT_EQ(bytes.size(), sizeof total);
    memcpy(&total, bytes.data(), sizeof total);
    EXPECT_EQ(total, uint64_t(4) * kThreads * kIterations);
}

//===-- Events ------------------------------------------------------------===//

TEST_F(KernelObjects, EventKeepsItsStateAsWindowsDoes) {
    struct Case {
        BOOL manual, initial;
        DWORD results[3];  // Wait(0) three times
    };
    const Case kCases[] = {
        {TRUE, TRUE, {WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0}},
        {TRUE, FALSE, {WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_TIMEOUT}},
        {FALSE, TRUE, {WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_TIMEOUT}},
        {FALSE, FALSE, {WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_TIMEOUT}},
    };
    for (bool named : {false, true}) {
        for (const Case& c : kCases) {
            SCOPED_TRACE(testing::Message() << named << c.manual << c.initial);
            HANDLE h = CreateEventA(nullptr, c.manual, c.initial, named ? "State" : nullptr);
            for (DWORD expected : c.results) EXPECT_EQ(WaitForSingleObject(h, 0), expected);
            // Set before anyone waits: kept until a waiter comes (auto) or
            // until reset (manual); setting twice is setting once.
            EXPECT_TRUE(SetEvent(h));
            EXPECT_TRUE(SetEvent(h));
            EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
            EXPECT_EQ(WaitForSingleObject(h, 0), c.manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
            EXPECT_TRUE(ResetEvent(h));
            EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
            CloseHandle(h);
        }
    }
}

TEST_F(KernelObjects, ManualResetReleasesEveryWaiter) {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, "Manual");
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] { released += WaitForSingleObject(h, kLongWait) == 0; });
    }
    Peer peer1({"event-wait", "Manual", std::to_string(kLongWait)});
    Peer peer2({"event-wait", "Manual", std::to_string(kLongWait)});
    ASSERT_TRUE(WaitUntil([] { return CountedWaiters("Manual") == 6; }));
    // Reset at once: whoever waited at the SetEvent is released all the same,
    // and at once.
    Clock::time_point set = Clock::now();
    EXPECT_TRUE(SetEvent(h));
    EXPECT_TRUE(ResetEvent(h));
    for (std::thread& t : threads) t.join();
    const long long threadsDone = MillisecondsSince(set);
    EXPECT_EQ(released.load(), 4);
    EXPECT_EQ(peer1.Line("wait"), "wait 0");
    const long long peer1Done = MillisecondsSince(set);
    EXPECT_EQ(peer2.Line("wait"), "wait 0");
    EXPECT_LT(MillisecondsSince(set), kLongWait / 2)
        << "waiters left asleep; threads done after " << threadsDone << " ms, first peer after "
        << peer1Done << " ms";
    // Reset: a new waiter waits; set: later waiters pass too.
    EXPECT_EQ(WaitForSingleObject(h, 50), WAIT_TIMEOUT);
    SetEvent(h);
    InThread([&] { EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0); });
    Peer late({"event-wait", "Manual", "0"});
    EXPECT_EQ(late.Line("wait"), "wait 0");
    for (Peer* peer : {&peer1, &peer2, &late}) EXPECT_EQ(peer->Wait(), 0);
    CloseHandle(h);
}

TEST_F(KernelObjects, AutoResetReleasesOneWaiterPerSet) {
    HANDLE h = CreateEventA(nullptr, FALSE, FALSE, "Auto");
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] { released += WaitForSingleObject(h, kLongWait) == 0; });
    }
    Peer peer1({"event-wait", "Auto", std::to_string(kLongWait)});
    Peer peer2({"event-wait", "Auto", std::to_string(kLongWait)});
    auto releasedAll = [&] {
        return released.load() + (peer1.Line("wait", 0) == "wait 0") +
               (peer2.Line("wait", 0) == "wait 0");
    };
    ASSERT_TRUE(WaitUntil([] { return CountedWaiters("Auto") == 5; }));
    for (int set = 1; set <= 5; ++set) {
        SCOPED_TRACE(set);
        EXPECT_TRUE(SetEvent(h));
        ASSERT_TRUE(WaitUntil([&] { return releasedAll() >= set; }));
        // Give a wrongly released second waiter time to show.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(releasedAll(), set);
        EXPECT_EQ(CountedWaiters("Auto"), static_cast<uint32_t>(5 - set));
    }
    for (std::thread& t : threads) t.join();
    for (Peer* peer : {&peer1, &peer2}) EXPECT_EQ(peer->Wait(), 0);
    // Each SetEvent was taken: nothing is left set.
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    CloseHandle(h);
}

TEST_F(KernelObjects, OpenEventNeedsALiveHolder) {
    for (bool event : {true, false}) {
        SCOPED_TRACE(event ? "event" : "mutex");
        auto open = [&] {
            return event ? OpenEventA(EVENT_ALL_ACCESS, FALSE, "Held")
                         : OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "Held");
        };
        Peer holder(event ? std::vector<std::string>{"event-hold", "Held", "1"}
                          : std::vector<std::string>{"mutex-hold", "Held"});
        ASSERT_FALSE(holder.Line(event ? "ready" : "held").empty());
        EXPECT_TRUE(CloseHandle(open()));
        // Its only holder dies without closing anything.
        holder.Kill();
        ASSERT_EQ(NamespaceFiles().size(), 1u) << "the dead holder's file stays until looked up";
        EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(open(), nullptr); }), DWORD(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(NamespaceFiles(), std::vector<std::string>());
    }
    // Nor does a dead holder's file stand in the way of a new object.
    {
        Peer holder({"event-hold", "Held", "1"});
        ASSERT_EQ(holder.Line("ready"), "ready 0");
    }
    HANDLE fresh;
    EXPECT_EQ(ErrorAfter([&] { fresh = CreateEventA(nullptr, FALSE, FALSE, "Held"); }), 0u);
    EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_TIMEOUT) << "the dead object's state came back";
    CloseHandle(fresh);
}

//===-- fork --------------------------------------------------------------===//

TEST_F(KernelObjects, ForkedChildSharesHandlesAndKeepsObjectsAlive) {
    HANDLE named = CreateMutexA(nullptr, TRUE, "Inherited");
    HANDLE unnamed = CreateMutexA(nullptr, TRUE, nullptr);
    HANDLE toChild = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE toParent = CreateEventA(nullptr, FALSE, FALSE, "FromChild");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Failures as bits of the exit status; no gtest in the child.
        int failed = 0;
        // The parent's thread owns both; this process does not.
        if (WaitForSingleObject(named, 0) != WAIT_TIMEOUT) failed |= 1;
        if (WaitForSingleObject(unnamed, 0) != WAIT_TIMEOUT) failed |= 2;
        if (ReleaseMutex(named) || GetLastError() != ERROR_NOT_OWNER) failed |= 4;
        if (!SetEvent(toParent)) failed |= 8;
        // Unnamed objects are shared with the parent too.
        if (WaitForSingleObject(toChild, kLongWait) != WAIT_OBJECT_0) failed |= 16;
        if (WaitForSingleObject(named, 0) != WAIT_OBJECT_0) failed |= 32;
        if (WaitForSingleObject(unnamed, 0) != WAIT_OBJECT_0) failed |= 32;
        if (!ReleaseMutex(named) || !ReleaseMutex(unnamed)) failed |= 64;
        for (HANDLE h : {named, unnamed, toChild, toParent}) CloseHandle(h);
        _exit(failed);
    }
    EXPECT_EQ(WaitForSingleObject(toParent, kLongWait), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(named));
    EXPECT_TRUE(ReleaseMutex(unnamed));
    EXPECT_TRUE(SetEvent(toChild));
    EXPECT_EQ(tmtest::WaitProgram(pid), 0);
    // The child closed its copies: the object must still be there for a
    // process that looks it up by name, and still be the same.
    EXPECT_EQ(WaitForSingleObject(named, 0), WAIT_OBJECT_0);
    Peer peer({"mutex-wait", "Inherited", "0", "0"});
    EXPECT_EQ(peer.Line(""), "wait 102") << "the child's close removed the parent's object";
    EXPECT_EQ(peer.Wait(), 0);
    EXPECT_TRUE(ReleaseMutex(named));
    for (HANDLE h : {named, unnamed, toChild, toParent}) CloseHandle(h);
}

//===-- Failing system calls -----------------------------------------------===//

void* FailMmap(void*, size_t, int, int, int, off_t) { return errno = ENOMEM, MAP_FAILED; }
int FailOpen(const char*, int, mode_t) { return errno = EMFILE, -1; }
ssize_t FailWrite(int, const void*, size_t) { return errno = ENOSPC, -1; }
int FailLinkat(int, const char*, int, const char*, int) { return errno = EACCES, -1; }

// Waits fail with g_injectedErrno while g_failuresLeft is not 0 (-1: for
// ever); wake-ups pass.
std::atomic<int> g_failuresLeft, g_injectedErrno;
long (*g_realFutex)(uint32_t*, int, uint32_t, const struct timespec*);

long FailingFutex(uint32_t* uaddr, int op, uint32_t val, const struct timespec* timeout) {
    if (op == FUTEX_WAIT && g_failuresLeft.load() != 0) {
        if (g_failuresLeft.load() > 0) --g_failuresLeft;
        return errno = g_injectedErrno.load(), -1;
    }
    return g_realFutex(uaddr, op, val, timeout);
}

TEST_F(KernelObjects, FailingSystemCallsAreReportedAndLeaveNothing) {
    struct Case {
        void (*inject)();
        bool named;
        DWORD error;
    };
    const Case kCases[] = {
        {[] { w32::Sys().mmap = FailMmap; }, true, ERROR_NOT_ENOUGH_MEMORY},
        {[] { w32::Sys().mmap = FailMmap; }, false, ERROR_NOT_ENOUGH_MEMORY},
        {[] { w32::Sys().open = FailOpen; }, true, ERROR_TOO_MANY_OPEN_FILES},
        {[] { w32::Sys().write = FailWrite; }, true, ERROR_DISK_FULL},
        {[] { w32::Sys().linkat = FailLinkat; }, true, ERROR_ACCESS_DENIED},
    };
    for (const Case& c : kCases) {
        for (bool mutex : {true, false}) {
            SCOPED_TRACE(testing::Message() << (&c - kCases) << (mutex ? " mutex" : " event"));
            const char* name = c.named ? "Failing" : nullptr;
            HANDLE h = nullptr;
            c.inject();
            DWORD error = ErrorAfter([&] {
                h = mutex ? CreateMutexA(nullptr, TRUE, name)
                          : CreateEventA(nullptr, TRUE, FALSE, name);
            });
            w32::ResetSysCalls();
            EXPECT_EQ(h, nullptr);
            EXPECT_EQ(error, c.error);
            EXPECT_EQ(NamespaceFiles(), std::vector<std::string>());
        }
    }

    // Interrupted waits go on waiting for the rest of their time.
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_realFutex = w32::Sys().futex;
    w32::Sys().futex = FailingFutex;
    g_injectedErrno = EINTR;
    g_failuresLeft = 50;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 200), WAIT_TIMEOUT);
    EXPECT_GE(MillisecondsSince(start), 200);
    g_failuresLeft = 3;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, kLongWait), WAIT_OBJECT_0);
    setter.join();
    // A futex that cannot be used is a failed wait, not a spin or a success.
    g_injectedErrno = ENOSYS;
    g_failuresLeft = -1;
    EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_FAILED); }),
              DWORD(ERROR_GEN_FAILURE));
    w32::ResetSysCalls();
    CloseHandle(event);
}

//===-- MFC ---------------------------------------------------------------===//

TEST_F(KernelObjects, CMutexAndCSingleLock) {
    CMutex first(FALSE, "Mfc"), second(FALSE, "Mfc");  // one mutex
    {
        CSingleLock lock(&first, TRUE);
        EXPECT_TRUE(lock.IsLocked());
        // Locking again takes nothing more: one Unlock balances it.
        EXPECT_TRUE(lock.Lock());
        InThread([&] { EXPECT_FALSE(CSingleLock(&second).Lock(0)); });
    }
    InThread([&] {
        CSingleLock other(&second);
        EXPECT_TRUE(other.Lock(0)) << "the CSingleLock did not let go";
        EXPECT_TRUE(other.Unlock());
        EXPECT_FALSE(other.IsLocked());
    });
    // An initially owned CMutex whose owner ended: abandoned counts as
    // locked.
    std::unique_ptr<CMutex> owned;
    InThread([&] { owned = std::make_unique<CMutex>(TRUE, "MfcOwned"); });
    EXPECT_TRUE(CSingleLock(owned.get()).Lock(kLongWait));

    CSingleLock nothing(nullptr, TRUE);
    EXPECT_FALSE(nothing.IsLocked());
    EXPECT_TRUE(nothing.Unlock());

    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "MfcEvent");
    try {
        CMutex clash(FALSE, "MfcEvent");
        ADD_FAILURE() << "no exception for a name of the other kind";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ERROR_INVALID_HANDLE);
    }
    CloseHandle(event);
}

}  // namespace
