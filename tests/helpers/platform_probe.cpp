//===-- tests/helpers/platform_probe.cpp - Services and loaders elsewhere -===//
//
// Started by the tests as another process of the installation; copied
// into a directory of its own when a test needs the libraries or the
// service path beside it:
//   install NAME DISPLAY        print InstallService's result
//   remove NAME                 print RemoveService's result
//   hold-service NAME FILE      open the service, print "held", close it
//                               once FILE exists, print "closed"
//   brand                       print the COEM of brand.inf beside it:
//                               "loaded [b1] [b2] [b3] number [line]..."
//   ras                         make two CRasDial objects and print what
//                               they see: "available=N dial=R props=R"
//   script                      the same for CTmScript: "available=N
//                               create=0|1 reset=R"
//===----------------------------------------------------------------------===//
#include <unistd.h>

#include <cstdio>
#include <string>

#include <tmcommon/tmcommon.h>

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
    if (cmd == "brand" && argc == 2) {
        COEM brand;
        printf("%d [%s] [%s] [%s] %d", brand.m_bLoaded, static_cast<const char*>(brand.m_cszBrand1),
               static_cast<const char*>(brand.m_cszBrand2), static_cast<const char*>(brand.m_cszBrand3),
               brand.m_nBrandNumber);
        for (int i = 0; i < brand.m_csaBrandLines.GetSize(); ++i) {
            printf(" [%s]", static_cast<const char*>(brand.m_csaBrandLines[i]));
        }
        printf("\n");
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
