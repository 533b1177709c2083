//===-- tests/package/consumer/consumer.cpp - A program of the installation ===//
//
// Built against an installed library, the way a program outside this
// project uses it (find_package or pkg-config):
//   consumer init             makes the registry file (TmRegCreateRegistry)
//   consumer set NAME VALUE   stores a REG_SZ value under the parameters key
//   consumer get NAME         prints the value
//   consumer log TEXT         writes TEXT to the event log and prints the
//                             log directory
// Exit status 0 on success, else the Win32 code (or 1).
//===----------------------------------------------------------------------===//
#include <tmcommon/tmcommon.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "init") == 0) {
        return static_cast<int>(TmRegCreateRegistry(nullptr));
    }
    if (argc == 4 && std::strcmp(argv[1], "set") == 0) {
        CRegistry reg;
        LONG rc = reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_ALL_ACCESS, 0);
        if (rc == ERROR_SUCCESS) rc = reg.SetValue(argv[2], argv[3]);
        return static_cast<int>(rc);
    }
    if (argc == 3 && std::strcmp(argv[1], "get") == 0) {
        CRegistry reg;
        CString value;
        LONG rc = reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_READ);
        if (rc == ERROR_SUCCESS) rc = reg.QueryValue(argv[2], value);
        if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
        std::printf("%s\n", static_cast<const char*>(value));
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "log") == 0) {
        CEventLog log;
        log.LogEvent(TM_EVENT_ERROR, "%s", argv[2]);
        if (TmGetLastLogResult() != ERROR_SUCCESS) return static_cast<int>(TmGetLastLogResult());
        char dir[1024];
        TmGetEventLogPath(dir, sizeof dir);
        std::printf("%s\n", dir);
        return 0;
    }
    std::fprintf(stderr, "usage: consumer init | set NAME VALUE | get NAME | log TEXT\n");
    return 1;
}
