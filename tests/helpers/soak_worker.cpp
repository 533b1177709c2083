//===-- tests/helpers/soak_worker.cpp - One process of the soak load -------===//
//
// Started eight at a time by the soak test, as processes of one
// installation (root path from "RootPath"):
//
//   soak_worker INDEX SECONDS LOGDIR WORKDIR MESSAGE
//
// Once WORKDIR/go exists, works in rounds until SECONDS have passed. Each
// round writes main-log line "PINDEX ROUND ..." and takes a number with
// GetNextId; writes a string and a number under HKLM\Software\Soak\PINDEX
// and reads them back, and reads the string another process wrote last;
// every 16th round exports that key to a registry tree file and imports the
// file under HKLM\Software\SoakCopy\PINDEX; every 8th round bounces MESSAGE
// with the reason "soak PINDEX BN", to a local recipient for even N and an
// external one for odd N.
//
// At the end it writes the numbers to WORKDIR/PINDEX.ids, one a line, and
// prints "rounds R", "lines L", "bounces B", "errors E" (each error is
// described on stderr), and "rss WARM END SANITIZED": the resident size in
// KiB once a quarter of the time has passed and at the end, and 1 when a
// sanitizer's own memory makes the figures meaningless.
//===----------------------------------------------------------------------===//
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../reliability/Payload.h"
#include <tmcommon/tmcommon.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TM_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TM_SANITIZED 1
#endif
#endif
#ifndef TM_SANITIZED
#define TM_SANITIZED 0
#endif

namespace {

namespace payload = tmtest::payload;

constexpr int kProcesses = 8;
constexpr int kSlots = 16;

long ResidentKiB() {
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f) return -1;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    fclose(f);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

class Worker {
public:
    Worker(int index, std::string work, std::string message)
        : m_index(index), m_work(std::move(work)), m_message(std::move(message)),
          m_tag("P" + std::to_string(index)),
          m_key("Software\\Soak\\" + m_tag), m_copy("Software\\SoakCopy\\" + m_tag) {}

    void Round(uint64_t r) {
        CEventLog(0).LogEvent(0x2000, "%s", payload::LogText(m_tag, r).c_str());
        ++m_lines;
        DWORD id = GetNextId();
        if (id == 0) Error("GetNextId gave 0");
        m_ids.push_back(id);
        Registry(r);
        if (r % 16 == 15) ExportImport();
        if (r % 8 == 7) Bounce();
    }

    void Finish(long warm, long end) {
        std::string ids;
        for (DWORD id : m_ids) ids += std::to_string(id) + "\n";
        FILE* f = fopen((m_work + "/" + m_tag + ".ids").c_str(), "w");
        if (!f || fwrite(ids.data(), 1, ids.size(), f) != ids.size() || fclose(f) != 0) Error("cannot write ids");
        printf("lines %llu\nbounces %llu\nerrors %d\nrss %ld %ld %d\n", static_cast<unsigned long long>(m_lines),
               static_cast<unsigned long long>(m_bounces), m_errors, warm, end, TM_SANITIZED);
    }

private:
    void Error(const std::string& what) {
        ++m_errors;
        if (m_errors <= 20) fprintf(stderr, "%s: %s\n", m_tag.c_str(), what.c_str());
    }

    void Registry(uint64_t r) {
        const int slot = static_cast<int>(r % kSlots);
        const std::string name = "s" + std::to_string(slot);
        const std::string text = payload::LogText(m_tag + "v" + std::to_string(slot), r);
        CRegistry reg;
        LONG rc = reg.CreateKey(HKEY_LOCAL_MACHINE, m_key.c_str(), 0x2001F, 0);
        if (rc != ERROR_SUCCESS) return Error("CreateKey " + std::to_string(rc));
        if ((rc = reg.SetValue(name.c_str(), text.c_str())) != ERROR_SUCCESS) Error("SetValue " + std::to_string(rc));
        if ((rc = reg.SetValue(("d" + std::to_string(slot)).c_str(), static_cast<DWORD>(r))) != ERROR_SUCCESS) {
            Error("SetValue number " + std::to_string(rc));
        }
        CString back;
        DWORD number = 0;
        if (reg.QueryValue(name.c_str(), back) != ERROR_SUCCESS || text != static_cast<const char*>(back)) {
            Error("value " + name + " does not read back");
        }
        if (reg.QueryValue(("d" + std::to_string(slot)).c_str(), number) != ERROR_SUCCESS || number != r) {
            Error("number d" + std::to_string(slot) + " does not read back");
        }
        // Another process's value is its last whole write, or none yet.
        const std::string other = "P" + std::to_string((m_index + 1) % kProcesses);
        CRegistry peer;
        if (peer.OpenKey(HKEY_LOCAL_MACHINE, ("Software\\Soak\\" + other).c_str(), KEY_READ) == ERROR_SUCCESS) {
            std::string tag;
            uint64_t n;
            if (peer.QueryValue(name.c_str(), back) == ERROR_SUCCESS &&
                !payload::ParseLogText(static_cast<const char*>(back), &tag, &n)) {
                Error("value " + other + "\\" + name + " is not whole");
            }
        }
    }

    // The key to a tree file and back under another key; every string
    // value of the copy must be whole.
    void ExportImport() {
        const std::string file = m_work + "/" + m_tag + ".tree";
        CRegistry source;
        if (source.OpenKey(HKEY_LOCAL_MACHINE, m_key.c_str(), KEY_READ) != ERROR_SUCCESS) return Error("open for export");
        FILE* out = fopen(file.c_str(), "wb");
        if (!out) return Error("cannot create the tree file");
        DWORD rc = source.WriteTree(out);
        if (fclose(out) != 0 || rc != ERROR_SUCCESS) return Error("WriteTree " + std::to_string(rc));
        CRegistry copy;
        if (copy.CreateKey(HKEY_LOCAL_MACHINE, m_copy.c_str(), 0x2001F, 0) != ERROR_SUCCESS) return Error("copy key");
        FILE* in = fopen(file.c_str(), "rb");
        if (!in) return Error("cannot open the tree file");
        rc = copy.ReadTree(in);
        fclose(in);
        if (rc != ERROR_SUCCESS && rc != ERROR_HANDLE_EOF) return Error("ReadTree " + std::to_string(rc));
        for (int slot = 0; slot < kSlots; ++slot) {
            CString back;
            std::string tag;
            uint64_t n;
            if (copy.QueryValue(("s" + std::to_string(slot)).c_str(), back) == ERROR_SUCCESS &&
                !payload::ParseLogText(static_cast<const char*>(back), &tag, &n)) {
                Error("imported value s" + std::to_string(slot) + " is not whole");
            }
        }
    }

    void Bounce() {
        const bool local = m_bounces % 2 == 0;
        std::string recipient = local ? "postmaster" : "someone@remote.example";
        if (!BounceEmail(m_message.c_str(), recipient.data(), "mailer@example.com", nullptr, "soak %s B%d",
                         m_tag.c_str(), static_cast<int>(m_bounces))) {
            Error("BounceEmail failed");
        }
        ++m_bounces;
    }

    const int m_index;
    const std::string m_work, m_message, m_tag, m_key, m_copy;
    std::vector<DWORD> m_ids;
    uint64_t m_lines = 0, m_bounces = 0;
    int m_errors = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: soak_worker INDEX SECONDS LOGDIR WORKDIR MESSAGE\n");
        return 2;
    }
    const int index = atoi(argv[1]);
    const double seconds = atof(argv[2]);
    SetEventLogPath(argv[3]);
    const std::string work = argv[4];
    Worker worker(index, work, argv[5]);
    for (int i = 0; i < 3000 && access((work + "/go").c_str(), F_OK) != 0; ++i) usleep(10000);

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Clock::time_point warmed = start + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(seconds / 4));
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(seconds));
    long warm = -1;
    uint64_t rounds = 0;
    for (Clock::time_point now = start; now < end; now = Clock::now()) {
        worker.Round(rounds++);
        if (warm < 0 && now >= warmed) warm = ResidentKiB();
    }
    printf("rounds %llu\n", static_cast<unsigned long long>(rounds));
    worker.Finish(warm, ResidentKiB());
    return 0;
}
