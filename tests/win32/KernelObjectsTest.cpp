//===-- tests/win32/KernelObjectsTest.cpp - Mutexes, events and waits -----===//
//
// Windows behaviour of the layer's mutexes and events, within a process
// (threads) and across processes (the kobj_peer helper and fork). Every
// test ends by checking that none of its objects' files is left in
// /dev/shm.
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "Win32Internal.h"
#include "tmcommon.h"
#include "win32/SharedSegment.h"
#include "win32/SysCalls.h"

namespace {

using Clock = std::chrono::steady_clock;
using Files = std::vector<std::string>;
constexpr DWORD kSentinel = 0xDEADBEEF;
// Bound of every wait that should end well before it: a fault shows as a
// failed expectation instead of a hung test.
constexpr DWORD kLongWait = 20000;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void SleepMs(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

// The object files of this installation but the library's own (the event
// log's mutexes, the installation mutex), which live as long as the process.
Files NamespaceFiles() {
    Files files;
    const std::string prefix = w32::SegmentFilePrefix();
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        const std::string path = entry.path().string();
        if (path.compare(0, prefix.size(), prefix) == 0 && path.compare(prefix.size(), 7, "D02369B") != 0) {
            files.push_back(path);
        }
    }
    return files;
}

// Waiters counted inside a named event, read from its file: once a waiter
// is counted, a SetEvent can no longer pass it by.
uint32_t CountedWaiters(const char* name) {
    DWORD error = 0;
    int fd = open(w32::SegmentFilePath(name, &error).c_str(), O_RDONLY);
    if (fd < 0) return 0;
    void* p = mmap(nullptr, w32::kSegmentSize, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return 0;
    // EventState: signalled, seq, waiters.
    uint32_t waiters = reinterpret_cast<const std::atomic<uint32_t>*>(static_cast<const char*>(p) + w32::kStateOffset)[2];
    munmap(p, w32::kSegmentSize);
    return waiters;
}

bool WaitUntil(const std::function<bool()>& condition, int milliseconds = kLongWait) {
    for (Clock::time_point start = Clock::now(); !condition(); SleepMs(2)) {
        if (MillisecondsSince(start) > milliseconds) return false;
    }
    return true;
}

// A kobj_peer process whose output lines the test can wait for; with
// asNobody it runs as user and group 65534. One still running at the end
// of a test is killed.
class Peer {
public:
    explicit Peer(std::vector<std::string> args, bool asNobody = false) {
        static int serial = 0;
        m_out = tmtest::SandboxDir() + "/peer" + std::to_string(++serial) + ".out";
        std::string program = tmtest::HelperPath("kobj_peer");
        if (asNobody) {
            args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", program});
            program = "/usr/bin/setpriv";
        }
        m_pid = tmtest::StartProgram(program, args, {}, m_out);
    }
    ~Peer() {
        if (m_pid > 0) Kill();
    }
    // The first output line starting with prefix, waiting for it; "" if none came.
    std::string Line(const std::string& prefix, int milliseconds = kLongWait) {
        std::string found;
        WaitUntil([&] {
            for (const std::string& line : tmtest::SplitLines(tmtest::ReadFile(m_out))) {
                if (line.compare(0, prefix.size(), prefix) == 0) return found = line, true;
            }
            return false;
        }, milliseconds);
        return found;
    }
    int Wait() { return tmtest::WaitProgram(std::exchange(m_pid, -1)); }
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
        EXPECT_EQ(NamespaceFiles(), Files()) << "object files left behind";
    }
};

// Runs call with a sentinel last error; gives the last error it left.
template <class Call>
DWORD ErrorAfter(Call&& call) {
    SetLastError(kSentinel);
    call();
    return GetLastError();
}

void InThread(const std::function<void()>& body) { std::thread(body).join(); }

//===-- Mutexes -----------------------------------------------------------===//

// Named and unnamed mutexes must behave the same.
TEST_F(KernelObjects, MutexIsRecursiveAndOnlyItsOwnerReleasesIt) {
    for (const char* name : {static_cast<const char*>(nullptr), "Recursive"}) {
        HANDLE h = CreateMutexA(nullptr, TRUE, name);  // taken once by creation, 31 times by waits
        for (int i = 0; i < 31; ++i) ASSERT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
        for (int i = 0; i < 32; ++i) {
            InThread([&] {
                EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT) << i;
                EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(ReleaseMutex(h)); }), DWORD(ERROR_NOT_OWNER));
            });
            ASSERT_TRUE(ReleaseMutex(h)) << i;
        }
        EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(ReleaseMutex(h)); }), DWORD(ERROR_NOT_OWNER));
        InThread([&] { EXPECT_TRUE(WaitForSingleObject(h, 0) == WAIT_OBJECT_0 && ReleaseMutex(h)); });
        EXPECT_TRUE(CloseHandle(h));
    }
}

// Creating an existing name opens the object: the initial owner and state
// count only for a new one. Names are case-sensitive.
TEST_F(KernelObjects, CreatingAnExistingNameOpensTheSameObject) {
    HANDLE m1 = CreateMutexA(nullptr, FALSE, "Shared"), m2, m3, e1 = CreateEventA(nullptr, TRUE, FALSE, "SharedEvent"), e2;
    EXPECT_EQ(ErrorAfter([&] { m2 = CreateMutexA(nullptr, TRUE, "Shared"); }), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ErrorAfter([&] { m3 = CreateMutexA(nullptr, FALSE, "SHARED"); }), 0u);
    EXPECT_EQ(ErrorAfter([&] { e2 = CreateEventA(nullptr, FALSE, TRUE, "SharedEvent"); }), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_NE(m1, m2);
    ASSERT_EQ(WaitForSingleObject(m1, 0), WAIT_OBJECT_0);
    InThread([&] {
        EXPECT_EQ(WaitForSingleObject(m2, 0), WAIT_TIMEOUT);
        EXPECT_TRUE(WaitForSingleObject(m3, 0) == WAIT_OBJECT_0 && ReleaseMutex(m3));
    });
    EXPECT_TRUE(ReleaseMutex(m2));  // through the other handle
    EXPECT_EQ(WaitForSingleObject(e2, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(e1));
    EXPECT_EQ(WaitForSingleObject(e2, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e2, 0), WAIT_OBJECT_0) << "not manual-reset any more";
    for (HANDLE h : {m1, m2, m3, e1, e2}) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(KernelObjects, NamesAreCheckedAsWindowsChecksThem) {
    const std::string longest(MAX_PATH, 'n'), tooLong(MAX_PATH + 1, 'n');
    struct Case { const char* name; DWORD openError, createError; };  // open: OpenMutexA before creation
    const Case kCases[] = {
        {nullptr, ERROR_INVALID_PARAMETER, 0}, {"", ERROR_FILE_NOT_FOUND, 0},  // Create: unnamed
        {"a\\b", ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND}, {"Global\\", ERROR_INVALID_NAME, ERROR_INVALID_NAME},
        {tooLong.c_str(), ERROR_FILENAME_EXCED_RANGE, ERROR_FILENAME_EXCED_RANGE},
        {longest.c_str(), ERROR_FILE_NOT_FOUND, 0}, {"../escape/../x", ERROR_FILE_NOT_FOUND, 0},
        {"with space%2F\xe9\x01", ERROR_FILE_NOT_FOUND, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name ? std::string(c.name).substr(0, 20) : "(null)");
        HANDLE h;
        EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, c.name)); }), c.openError);
        EXPECT_EQ(ErrorAfter([&] { h = CreateMutexA(nullptr, FALSE, c.name); }), c.createError);
        EXPECT_EQ(h != nullptr, c.createError == 0);
        if (h && c.name && *c.name) {
            EXPECT_TRUE(CloseHandle(OpenMutexA(SYNCHRONIZE, FALSE, c.name)));
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
    HANDLE plain = CreateEventA(nullptr, TRUE, FALSE, "Prefixed"), global;
    EXPECT_EQ(ErrorAfter([&] { global = CreateEventA(nullptr, TRUE, FALSE, "Global\\Prefixed"); }), DWORD(ERROR_ALREADY_EXISTS));
    HANDLE local = OpenEventA(EVENT_ALL_ACCESS, FALSE, "Local\\Prefixed");
    SetEvent(global);
    EXPECT_EQ(WaitForSingleObject(local, 0), WAIT_OBJECT_0);
    for (HANDLE h : {plain, global, local}) CloseHandle(h);
}

// An object goes with its last handle, also when the only holder was
// killed: OpenEvent and OpenMutex then fail, and the dead file does not
// stand in the way of a new object with its own initial state.
TEST_F(KernelObjects, ObjectGoesWithItsLastHandle) {
    for (bool mutex : {true, false}) {
        SCOPED_TRACE(mutex ? "mutex" : "event");
        auto create = [&] { return mutex ? CreateMutexA(nullptr, FALSE, "Temp") : CreateEventA(nullptr, TRUE, TRUE, "Temp"); };
        auto open = [&] { return mutex ? OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "Temp") : OpenEventA(EVENT_ALL_ACCESS, FALSE, "Temp"); };
        HANDLE first = create(), second = open();
        EXPECT_TRUE(CloseHandle(first));
        HANDLE third = open();
        EXPECT_NE(third, nullptr) << "gone while a handle remained";
        if (!mutex) ResetEvent(third);
        CloseHandle(second);
        CloseHandle(third);
        EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(open(), nullptr); }), DWORD(ERROR_FILE_NOT_FOUND));
        Peer holder(mutex ? std::vector<std::string>{"mutex-hold", "Temp"} : std::vector<std::string>{"event-hold", "Temp", "1"});
        ASSERT_EQ(holder.Line(mutex ? "held" : "ready"), mutex ? "held 0" : "ready 0");
        EXPECT_TRUE(CloseHandle(open()));
        holder.Kill();
        ASSERT_EQ(NamespaceFiles().size(), 1u) << "the dead holder's file stays until looked up";
        if (mutex) {
            EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(open(), nullptr); }), DWORD(ERROR_FILE_NOT_FOUND));
            EXPECT_EQ(NamespaceFiles(), Files());
        } else {  // taken over: a new object, in the state it asks for
            HANDLE fresh;
            EXPECT_EQ(ErrorAfter([&] { fresh = create(); }), 0u);
            EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_OBJECT_0) << "the dead object's state came back";
            CloseHandle(fresh);
        }
    }
}

TEST_F(KernelObjects, HandlesAndNamesAreCheckedForKindAndAccess) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "Guarded"), event = CreateEventA(nullptr, TRUE, FALSE, "GuardedEvent");
    HANDLE closed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(closed);
    for (HANDLE h : {HANDLE(nullptr), INVALID_HANDLE_VALUE, closed, HANDLE(uintptr_t(0x12344))}) {
        EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED); }), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(CloseHandle(h)); }), DWORD(ERROR_INVALID_HANDLE));
    }
    // A handle or a name of the other kind, also in a process that has not
    // got the object open yet.
    const std::function<bool()> kOtherKind[] = {
        [&] { return ReleaseMutex(event); }, [&] { return SetEvent(mutex); }, [&] { return ResetEvent(mutex); },
        [] { return CreateEventA(nullptr, FALSE, FALSE, "Guarded"); },
        [] { return OpenEventA(EVENT_ALL_ACCESS, FALSE, "Guarded"); },
        [] { return CreateMutexA(nullptr, FALSE, "GuardedEvent"); },
        [] { return OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "GuardedEvent"); },
    };
    for (const auto& call : kOtherKind) {
        EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(call()); }), DWORD(ERROR_INVALID_HANDLE)) << (&call - kOtherKind);
    }
    EXPECT_EQ(Peer({"event-wait", "Guarded", "0"}).Line("open"), "open 6");
    // Waits need SYNCHRONIZE, Set and Reset EVENT_MODIFY_STATE.
    struct Case { DWORD access; bool canWait, canSet; };
    const Case kCases[] = {
        {EVENT_MODIFY_STATE, false, true}, {SYNCHRONIZE, true, false}, {EVENT_ALL_ACCESS, true, true},
        {GENERIC_READ, false, false}, {GENERIC_WRITE, false, true}, {0x20000000u /* GENERIC_EXECUTE */, true, false},
        {MAXIMUM_ALLOWED, true, true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.access);
        HANDLE h = OpenEventA(c.access, FALSE, "GuardedEvent");
        EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(SetEvent(h), c.canSet); }), c.canSet ? kSentinel : DWORD(ERROR_ACCESS_DENIED));
        EXPECT_EQ(ResetEvent(h), c.canSet);
        EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(WaitForSingleObject(h, 0), c.canWait ? WAIT_TIMEOUT : WAIT_FAILED); }),
                  c.canWait ? kSentinel : DWORD(ERROR_ACCESS_DENIED));
        CloseHandle(h);
    }
    EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(OpenEventA(0, FALSE, "GuardedEvent")); }), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(OpenMutexA(0, FALSE, "Guarded")); }), DWORD(ERROR_ACCESS_DENIED));
    // Waiting is enough to own and release a mutex.
    HANDLE waitOnly = OpenMutexA(SYNCHRONIZE, FALSE, "Guarded");
    EXPECT_TRUE(WaitForSingleObject(waitOnly, 0) == WAIT_OBJECT_0 && ReleaseMutex(waitOnly));
    for (HANDLE h : {event, mutex, waitOnly}) CloseHandle(h);
}

// A thread that ends owning a mutex (here twice) abandons it, once: to a
// waiter already blocked, or else to the next wait. Closing another mutex
// it owns on the way must not hide the first from its end.
TEST_F(KernelObjects, OwnerThreadExitAbandonsTheMutex) {
    for (const char* name : {static_cast<const char*>(nullptr), "Orphaned"}) {
        HANDLE h = CreateMutexA(nullptr, FALSE, name);
        std::atomic<bool> taken{false};
        std::thread owner([&] {
            WaitForSingleObject(h, INFINITE);
            taken = WaitForSingleObject(h, INFINITE) == WAIT_OBJECT_0;
            SleepMs(100);
        });
        ASSERT_TRUE(WaitUntil([&] { return taken.load(); }));
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
        InThread([&] {
            ASSERT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
            // Taken last, so first on the thread's list of robust mutexes.
            EXPECT_TRUE(CloseHandle(CreateMutexA(nullptr, TRUE, name ? "ClosedWhileOwned" : nullptr)));
        });
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_ABANDONED);
        EXPECT_TRUE(ReleaseMutex(h));
        CloseHandle(h);
    }
}

//===-- Mutexes across processes -----------------------------------------===//

// Another process times out on the mutex, then gets it when this one lets
// go. (Killed holders: the crash tests.)
TEST_F(KernelObjects, AnotherProcessSharesTheNamedMutex) {
    HANDLE h = CreateMutexA(nullptr, TRUE, "CrossProcess");
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Peer({"mutex-wait", "CrossProcess", "300", "0"}).Line("wait"), "wait 102");
    EXPECT_GE(MillisecondsSince(start), 300);
    Peer peer({"mutex-wait", "CrossProcess", std::to_string(kLongWait), "300"});
    SleepMs(100);
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(peer.Line("wait"), "wait 0");
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    EXPECT_EQ(peer.Line("released"), "released 1");
    EXPECT_EQ(WaitForSingleObject(h, kLongWait), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(peer.Wait(), 0);
    CloseHandle(h);
}

// GetOpenSa's NULL DACL opens an object to every account, whatever the
// creator's umask; without attributes the umask decides. Run as root, an
// account of its own (nobody) tries the objects; it may also create again
// an object whose file it cannot remove, having let go of it last.
TEST_F(KernelObjects, NullDaclOpensTheObjectToEveryAccount) {
    const bool root = geteuid() == 0;
    struct Case { bool open; mode_t umask, mode; const char* opened; };
    const Case kCases[] = {
        {true, 022, 0666, "opened 0"}, {true, 077, 0666, "opened 0"},
        {false, 022, 0644, "opened 5"}, {false, 077, 0600, "opened 5"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.open ? "open" : "default") + " umask " + std::to_string(c.umask));
        const mode_t saved = umask(c.umask);
        HANDLE mutex = CreateMutexA(c.open ? GetOpenSa() : nullptr, FALSE, "Shared");
        HANDLE go = CreateEventA(c.open ? GetOpenSa() : nullptr, TRUE, FALSE, "Go");
        umask(saved);
        ASSERT_TRUE(mutex && go);
        DWORD error = 0;
        struct stat st;
        ASSERT_EQ(stat(w32::SegmentFilePath("Shared", &error).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, c.mode);
        if (root) {
            Peer peer({"account", "Shared", "Go"}, true);
            EXPECT_EQ(peer.Line("opened"), c.opened);
            if (c.open) {
                CloseHandle(std::exchange(mutex, nullptr));
                SetEvent(go);
                EXPECT_EQ(peer.Line("created"), "created 0") << "a new object, as on Windows";
                EXPECT_EQ(peer.Line("wait"), "wait 0");
                EXPECT_EQ(peer.Wait(), 0);
                EXPECT_EQ(ErrorAfter([] { EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "Shared"), nullptr); }),
                          DWORD(ERROR_FILE_NOT_FOUND));
            } else {
                EXPECT_EQ(peer.Wait(), 1);
            }
        }
        if (mutex) CloseHandle(mutex);
        CloseHandle(go);
    }
}

//===-- Events ------------------------------------------------------------===//

TEST_F(KernelObjects, EventKeepsItsStateAsWindowsDoes) {
    for (const char* name : {static_cast<const char*>(nullptr), "State"}) {
        for (BOOL manual : {TRUE, FALSE}) {
            for (BOOL initial : {TRUE, FALSE}) {
                SCOPED_TRACE(testing::Message() << (name != nullptr) << manual << initial);
                HANDLE h = CreateEventA(nullptr, manual, initial, name);
                EXPECT_EQ(WaitForSingleObject(h, 0), initial ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
                EXPECT_EQ(WaitForSingleObject(h, 0), initial && manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
                // Set before anyone waits: kept until a waiter comes (auto) or
                // until reset (manual); setting twice is setting once.
                EXPECT_TRUE(SetEvent(h) && SetEvent(h));
                EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
                EXPECT_EQ(WaitForSingleObject(h, 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
                EXPECT_TRUE(ResetEvent(h));
                EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
                CloseHandle(h);
            }
        }
    }
}

// Three threads of this process and a peer, all counted inside the event
// before it is set. Manual reset releases every one of them, even when
// reset at once; auto reset one per SetEvent.
TEST_F(KernelObjects, SetEventReleasesTheWaitersItShould) {
    for (BOOL manual : {TRUE, FALSE}) {
        SCOPED_TRACE(manual ? "manual" : "auto");
        HANDLE h = CreateEventA(nullptr, manual, FALSE, "Waited");
        std::atomic<int> released{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 3; ++i) {
            threads.emplace_back([&] { released += WaitForSingleObject(h, kLongWait) == WAIT_OBJECT_0; });
        }
        Peer peer({"event-wait", "Waited", std::to_string(kLongWait)});
        EXPECT_TRUE(WaitUntil([&] { return CountedWaiters("Waited") == 4; }));
        auto count = [&] { return released + (peer.Line("wait", 0) == "wait 0"); };
        for (int set = 1; set <= (manual ? 1 : 4); ++set) {
            EXPECT_TRUE(SetEvent(h));
            EXPECT_TRUE(!manual || ResetEvent(h));
            EXPECT_TRUE(WaitUntil([&] { return count() >= (manual ? 4 : set); }, kLongWait / 2)) << set;
            SleepMs(manual ? 0 : 100);  // time for a wrongly released second waiter to show
            EXPECT_EQ(count(), manual ? 4 : set);
        }
        for (std::thread& t : threads) t.join();
        EXPECT_EQ(peer.Wait(), 0);
        EXPECT_EQ(WaitForSingleObject(h, 50), WAIT_TIMEOUT) << "a SetEvent was left over";
        CloseHandle(h);
    }
}

//===-- fork --------------------------------------------------------------===//

TEST_F(KernelObjects, ForkedChildSharesHandlesAndKeepsObjectsAlive) {
    HANDLE named = CreateMutexA(nullptr, TRUE, "Inherited"), unnamed = CreateMutexA(nullptr, TRUE, nullptr);
    HANDLE toChild = CreateEventA(nullptr, FALSE, FALSE, nullptr), toParent = CreateEventA(nullptr, FALSE, FALSE, "FromChild");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Failures as bits of the exit status; no gtest in the child. The
        // parent's thread owns both mutexes; this process does not.
        int failed = 0;
        if (WaitForSingleObject(named, 0) != WAIT_TIMEOUT) failed |= 1;
        if (WaitForSingleObject(unnamed, 0) != WAIT_TIMEOUT) failed |= 2;
        if (ReleaseMutex(named) || GetLastError() != ERROR_NOT_OWNER) failed |= 4;
        if (!SetEvent(toParent)) failed |= 8;
        // Unnamed objects are shared with the parent too.
        if (WaitForSingleObject(toChild, kLongWait) != WAIT_OBJECT_0) failed |= 16;
        if (WaitForSingleObject(named, 0) != WAIT_OBJECT_0 || WaitForSingleObject(unnamed, 0) != WAIT_OBJECT_0) failed |= 32;
        if (!ReleaseMutex(named) || !ReleaseMutex(unnamed)) failed |= 64;
        for (HANDLE h : {named, unnamed, toChild, toParent}) CloseHandle(h);
        _exit(failed);
    }
    EXPECT_EQ(WaitForSingleObject(toParent, kLongWait), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(named) && ReleaseMutex(unnamed) && SetEvent(toChild));
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
    struct Case { void (*inject)(); bool named; DWORD error; };
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
            DWORD error = ErrorAfter([&] { h = mutex ? CreateMutexA(nullptr, TRUE, name) : CreateEventA(nullptr, TRUE, FALSE, name); });
            w32::ResetSysCalls();
            EXPECT_EQ(h, nullptr);
            EXPECT_EQ(error, c.error);
            EXPECT_EQ(NamespaceFiles(), Files());
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
        SleepMs(50);
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, kLongWait), WAIT_OBJECT_0);
    setter.join();
    // A futex that cannot be used is a failed wait, not a spin or a success.
    g_injectedErrno = ENOSYS;
    g_failuresLeft = -1;
    EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_FAILED); }), DWORD(ERROR_GEN_FAILURE));
    w32::ResetSysCalls();
    CloseHandle(event);
}

//===-- MFC ---------------------------------------------------------------===//

TEST_F(KernelObjects, CMutexAndCSingleLock) {
    CMutex first(FALSE, "Mfc"), second(FALSE, "Mfc");  // one mutex
    {
        CSingleLock lock(&first, TRUE);
        EXPECT_TRUE(lock.IsLocked());
        EXPECT_TRUE(lock.Lock());  // takes nothing more: one Unlock balances it
        InThread([&] { EXPECT_FALSE(CSingleLock(&second).Lock(0)); });
    }
    InThread([&] {
        CSingleLock other(&second);
        EXPECT_TRUE(other.Lock(0)) << "the CSingleLock did not let go";
        EXPECT_TRUE(other.Unlock());
        EXPECT_FALSE(other.IsLocked());
    });
    // An initially owned CMutex whose owner ended: abandoned counts as locked.
    std::unique_ptr<CMutex> owned;
    InThread([&] { owned = std::make_unique<CMutex>(TRUE, "MfcOwned"); });
    EXPECT_TRUE(CSingleLock(owned.get()).Lock(kLongWait));
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
