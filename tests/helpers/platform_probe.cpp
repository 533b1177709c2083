//===-- tests/helpers/platform_probe.cpp - Services and loaders elsewhere -===//
//
// Started by the tests as another process of the installation; copied
// into a directory of its own when a test needs the libraries or the
// service path beside it:
//   install NAME DISPLAY        print InstallService's result
//   remove NAME                 print RemoveService's result
//   hold-service NAME FILE      open the service, print "held", close it
//                               once FILE exists, print "closed"
//   load NAME                   print LoadLibraryA's module path or error
//   ras                         make two CRasDial objects and print what
//                               they see: "available=N dial=R props=R"
//   script                      the same for CTmScript: "available=N
//                               create=0|1 reset=R"
//===----------------------------------------------------------------------===//
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tmcommon.h"

namespace {

int HoldService(const char* name, const char* releaseFile) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, name, SERVICE_QUERY_CONFIG) : nullptr;
    if (!service) {
        printf("error %u\n", static_cast<unsigned>(GetLastError()));
        return 1;
    }
    CloseServiceHandle(manager);
    printf("held\n");
    fflush(stdout);
    while (access(releaseFile, F_OK) != 0) usleep(10000);
    CloseServiceHandle(service);
    printf("closed\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::string cmd = argv[1];
    if (cmd == "install" && argc == 4) {
        printf("%u\n", static_cast<unsigned>(InstallService(argv[2], argv[3])));
        return 0;
    }
    if (cmd == "remove" && argc == 3) {
        printf("%u\n", static_cast<unsigned>(RemoveService(argv[2])));
        return 0;
    }
    if (cmd == "hold-service" && argc == 4) return HoldService(argv[2], argv[3]);
    if (cmd == "load" && argc == 3) {
        HMODULE h = LoadLibraryA(argv[2]);
        char path[4096] = "";
        if (!h || !GetModuleFileNameA(h, path, sizeof path)) {
            printf("error %u\n", static_cast<unsigned>(GetLastError()));
            return 0;
        }
        printf("%s\n", path);
        return 0;
    }
    if (cmd == "ras" && argc == 2) {
        CRasDial first;
        CRasDial second;
        RASENTRYA entry = {};
        DWORD size = sizeof entry;
        char book[] = "book";
        char name[] = "Office";
        printf("available=%d dial=%u props=%u\n", second.IsAvailable(),
               static_cast<unsigned>(first.RasDialA(nullptr, nullptr, nullptr, 1, nullptr, nullptr)),
               static_cast<unsigned>(second.RasGetEntryPropertiesA(book, name, &entry, &size, nullptr, nullptr)));
        return 0;
    }
    if (cmd == "script" && argc == 2) {
        CTmScript engine;
        void* script = engine.CreateScript();
        printf("available=%d create=%d reset=%d\n", engine.IsAvailable(), script != nullptr,
               engine.ResetScript(script));
        return 0;
    }
    fprintf(stderr, "platform_probe: bad arguments\n");
    return 2;
}
