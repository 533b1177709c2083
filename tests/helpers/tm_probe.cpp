//===-- tests/helpers/tm_probe.cpp - A process of the installation --------===//
//
// Started by the tests as a separate process that loads the library:
//   env                         print the process environment
//   log-types DIR TYPE...       write one main-log line per event type
//   hold-log-lock DIR           hold the main log's shared mutex, then sleep
//   wait-mutex NAME MS          print the result of a wait on a named mutex
//   trace-lines TAG N GO        DebugInit, print "ready", wait for the file
//                               GO, write N DebugPrint records "TAG i"
//   log-when DIR GO             print "ready", wait for the file GO, write a
//                               main-log line, print GetModuleFileNameA
//   put NAME VALUE              set a string value of the parameters key
//   query NAME                  print the parameters key's string value,
//                               or "error N"
// A leading "--registry LOCATION" (or "--registry ''") chooses the
// registry with TmSetRegistryPath before anything else runs and prints
// "set=" and its result.
// "locked" is printed once a lock is held.
//===----------------------------------------------------------------------===//
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <tmcommon/tmcommon.h>

namespace {

void Ready() { printf("ready\n"), fflush(stdout); }

void WaitForFile(const char* path) {
    while (access(path, F_OK) != 0) usleep(5000);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "--registry") == 0) {
        printf("set=%ld\n", static_cast<long>(TmSetRegistryPath(argv[2])));
        argc -= 2;
        argv += 2;
    }
    if (argc < 2) return 2;
    std::string cmd = argv[1];
    if (cmd == "put" && argc == 4) {
        CRegistry reg;
        LONG rc = reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0);
        if (rc == ERROR_SUCCESS) rc = reg.SetValue(argv[2], argv[3]);
        return rc == ERROR_SUCCESS ? 0 : 1;
    }
    if (cmd == "query" && argc == 3) {
        CRegistry reg;
        CString value;
        LONG rc = reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F);
        if (rc == ERROR_SUCCESS) rc = reg.QueryValue(argv[2], value, nullptr);
        if (rc == ERROR_SUCCESS) printf("%s\n", static_cast<const char*>(value));
        else printf("error %ld\n", static_cast<long>(rc));
        return 0;
    }
    if (cmd == "env") {
        char root[256], logDir[1024];
        GetRootPath(root, sizeof root);
        TmGetEventLogPath(logDir, sizeof logDir);
        printf("root=%s\nversion=%s\nnt=%d\ncsd=%d\nopensa=%d\nlogdir=%s\n", root, GetOSVersionString(),
               IsWindowsNT(), GetCSDLevel(), GetOpenSa() != nullptr, logDir);
        return 0;
    }
    if (cmd == "log-types" && argc >= 3) {
        SetEventLogPath(argv[2]);
        CEventLog log(0);
        for (int i = 3; i < argc; ++i) {
            const unsigned type = strtoul(argv[i], nullptr, 0);
            log.LogEvent(static_cast<WORD>(type), "type 0x%x", type);
        }
        return 0;
    }
    if (cmd == "hold-log-lock" && argc == 3) {
        SetEventLogPath(argv[2]);
        CEventLog log(0);
        log.Lock(0);
        log.LogEvent(0x2000, "holding");
        printf("locked\n"), fflush(stdout);
        for (;;) pause();
    }
    if (cmd == "wait-mutex" && argc == 4) {
        DWORD r = WaitForSingleObject(CreateMutexA(nullptr, FALSE, argv[2]), static_cast<DWORD>(atoi(argv[3])));
        printf("0x%x\n", static_cast<unsigned>(r));
        return 0;
    }
    if (cmd == "trace-lines" && argc == 5) {
        DebugInit();
        Ready();
        WaitForFile(argv[4]);
        for (int i = 0; i < atoi(argv[3]); ++i) DebugPrint("probe.cpp", i, (std::string(argv[2]) + " " + std::to_string(i)).c_str());
        DebugExit();
        return 0;
    }
    if (cmd == "log-when" && argc == 4) {
        Ready();
        WaitForFile(argv[3]);
        SetEventLogPath(argv[2]);
        CEventLog(0).LogEvent(0x2000, "a line");
        char path[4096];
        if (GetModuleFileNameA(nullptr, path, sizeof path) == 0) return 1;
        printf("%s\n", path);
        return 0;
    }
    fprintf(stderr, "tm_probe: bad arguments\n");
    return 2;
}
