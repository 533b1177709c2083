//===-- bench/stress/helpers/soak_worker.cpp - One process of the soak ----===//
//
// Started eight at a time by the soak test, as processes of one
// installation (root path from "RootPath"):
//
//   soak_worker INDEX SECONDS LOGDIR WORKDIR MESSAGE
//
// Once WORKDIR/go exists, works in rounds until SECONDS have passed. Each
// round writes main-log line "PINDEX ROUND ..." and takes a number with
// GetNextId; writes a string under HKLM\Software\Soak\PINDEX, reads it
// back and reads the one the next process wrote last (whole, or none);
// every 16th round exports that key to a registry tree file and imports the
// file under HKLM\Software\SoakCopy\PINDEX; every 8th round bounces MESSAGE
// with the reason "soak PINDEX BN", to a local recipient for even N and an
// external one for odd N.
//
// At the end it writes the numbers to WORKDIR/PINDEX.ids, one a line, and
// prints "rounds R bounces B errors E" (each error is described on stderr)
// and "rss WARM END": the resident size in KiB once a quarter of the time
// has passed and at the end.
//===----------------------------------------------------------------------===//
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "../Payload.h"
#include <tmcommon/tmcommon.h>

namespace {

namespace payload = tmtest::payload;

int g_errors = 0;
std::string g_tag, g_work;

void Error(const std::string& what) {
    if (++g_errors <= 20) fprintf(stderr, "%s: %s\n", g_tag.c_str(), what.c_str());
}

long ResidentKiB() {
    long pages = 0, resident = -1;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// True when the key's value is a whole text of a worker, or absent.
bool WholeOrAbsent(CRegistry& key, const std::string& name) {
    CString back;
    std::string tag;
    uint64_t n;
    return key.QueryValue(name.c_str(), back) != ERROR_SUCCESS || payload::ParseLogText(static_cast<const char*>(back), &tag, &n);
}

void Registry(int index, uint64_t r) {
    const std::string name = "s" + std::to_string(r % 16), text = payload::LogText(g_tag + "v", r);
    CRegistry reg, peer;
    CString back;
    LONG rc = reg.CreateKey(HKEY_LOCAL_MACHINE, ("Software\\Soak\\" + g_tag).c_str(), 0x2001F, 0);
    if (rc == ERROR_SUCCESS) rc = reg.SetValue(name.c_str(), text.c_str());
    if (rc != ERROR_SUCCESS) return Error("registry write " + std::to_string(rc));
    if (reg.QueryValue(name.c_str(), back) != ERROR_SUCCESS || text != static_cast<const char*>(back)) {
        Error("value " + name + " does not read back");
    }
    const std::string other = "Software\\Soak\\P" + std::to_string((index + 1) % 8);
    if (peer.OpenKey(HKEY_LOCAL_MACHINE, other.c_str(), KEY_READ) == ERROR_SUCCESS && !WholeOrAbsent(peer, name)) {
        Error(other + "\\" + name + " is not whole");
    }
    if (r % 16 != 15) return;
    // The key to a tree file and back under another key.
    const std::string file = g_work + "/" + g_tag + ".tree";
    CRegistry copy;
    FILE* out = fopen(file.c_str(), "wb");
    DWORD written = out ? reg.WriteTree(out) : ERROR_WRITE_FAULT;
    if (!out || fclose(out) != 0 || written != ERROR_SUCCESS) return Error("WriteTree " + std::to_string(written));
    FILE* in = fopen(file.c_str(), "rb");
    DWORD read = copy.CreateKey(HKEY_LOCAL_MACHINE, ("Software\\SoakCopy\\" + g_tag).c_str(), 0x2001F, 0);
    if (in && read == ERROR_SUCCESS) read = copy.ReadTree(in);
    if (in) fclose(in);
    if (!in || (read != ERROR_SUCCESS && read != ERROR_HANDLE_EOF)) return Error("ReadTree " + std::to_string(read));
    for (int slot = 0; slot < 16; ++slot) {
        if (!WholeOrAbsent(copy, "s" + std::to_string(slot))) Error("imported value s" + std::to_string(slot) + " is not whole");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: soak_worker INDEX SECONDS LOGDIR WORKDIR MESSAGE\n");
        return 2;
    }
    const int index = atoi(argv[1]);
    const std::string work = g_work = argv[4];
    g_tag = "P" + std::to_string(index);
    SetEventLogPath(argv[3]);
    for (int i = 0; i < 3000 && access((work + "/go").c_str(), F_OK) != 0; ++i) usleep(10000);
    using Clock = std::chrono::steady_clock;
    const auto seconds = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(atof(argv[2])));
    const Clock::time_point start = Clock::now();
    long warm = -1;
    uint64_t rounds = 0, bounces = 0;
    std::ofstream ids(work + "/" + g_tag + ".ids");
    for (Clock::time_point now = start; now < start + seconds; now = Clock::now(), ++rounds) {
        CEventLog(0).LogEvent(0x2000, "%s", payload::LogText(g_tag, rounds).c_str());
        DWORD id = GetNextId();
        if (id == 0) Error("GetNextId gave 0");
        ids << id << "\n";
        Registry(index, rounds);
        if (rounds % 8 == 7) {
            std::string recipient = bounces % 2 == 0 ? "postmaster" : "someone@remote.example";
            if (!BounceEmail(argv[5], recipient.data(), "mailer@example.com", nullptr, "soak %s B%d", g_tag.c_str(),
                             static_cast<int>(bounces++))) {
                Error("BounceEmail failed");
            }
        }
        if (warm < 0 && now >= start + seconds / 4) warm = ResidentKiB();
    }
    if (!ids.flush()) Error("cannot write the numbers");
    printf("rounds %llu bounces %llu errors %d\nrss %ld %ld\n", static_cast<unsigned long long>(rounds),
           static_cast<unsigned long long>(bounces), g_errors, warm, ResidentKiB());
    return 0;
}
