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
//                               create=0|1 reset=R load=0|1", load what
//                               loading once more answers when available
//===----------------------------------------------------------------------===//
#include <unistd.h>

#include <cstdio>
#include <string>

#include <tmcommon/tmcommon.h>

namespace {

// Reaches the loader's own answer, which the constructor does not pass on.
struct ScriptLoader : CTmScript {
    int LoadAgain() { return Load(); }
};

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "install" && argc == 4) return printf("%u\n", static_cast<unsigned>(InstallService(argv[2], argv[3]))), 0;
    if (cmd == "remove" && argc == 3) return printf("%u\n", static_cast<unsigned>(RemoveService(argv[2]))), 0;
    if (cmd == "hold-service" && argc == 4) {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = manager ? OpenServiceA(manager, argv[2], SERVICE_QUERY_CONFIG) : nullptr;
        if (!service) return printf("error %u\n", static_cast<unsigned>(GetLastError())), 1;
        CloseServiceHandle(manager);
        printf("held\n"), fflush(stdout);
        while (access(argv[3], F_OK) != 0) usleep(10000);
        CloseServiceHandle(service);
        return printf("closed\n"), 0;
    }
    if (cmd == "brand" && argc == 2) {
        COEM brand;
        printf("%d [%s] [%s] [%s] %d", brand.m_bLoaded, static_cast<const char*>(brand.m_cszBrand1),
               static_cast<const char*>(brand.m_cszBrand2), static_cast<const char*>(brand.m_cszBrand3), brand.m_nBrandNumber);
        for (int i = 0; i < brand.m_csaBrandLines.GetSize(); ++i) printf(" [%s]", static_cast<const char*>(brand.m_csaBrandLines[i]));
        return printf("\n"), 0;
    }
    if (cmd == "ras" && argc == 2) {
        CRasDial first, second;
        RASENTRYA entry = {};
        DWORD size = sizeof entry;
        char book[] = "book", name[] = "Office";
        printf("available=%d dial=%u props=%u\n", second.IsAvailable(),
               static_cast<unsigned>(first.RasDialA(nullptr, nullptr, nullptr, 1, nullptr, nullptr)),
               static_cast<unsigned>(second.RasGetEntryPropertiesA(book, name, &entry, &size, nullptr, nullptr)));
        return 0;
    }
    if (cmd == "script" && argc == 2) {
        ScriptLoader engine;
        void* script = engine.CreateScript();
        return printf("available=%d create=%d reset=%d load=%d\n", engine.IsAvailable(), script != nullptr,
                      engine.ResetScript(script), engine.IsAvailable() ? engine.LoadAgain() : 0), 0;
    }
    fprintf(stderr, "platform_probe: bad arguments\n");
    return 2;
}
