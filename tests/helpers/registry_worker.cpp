//===-- tests/helpers/registry_worker.cpp - Registry calls in a process ---===//
//
// Runs registry commands given as arguments, in order, and prints one line
// per command: the Win32 code, then what it read. The registry is the one
// $TAMARAK_REGISTRY names, so a test can point a process at a database of
// its own (missing, corrupt, shared with a dying process...).
//
//   create:PATH            RegCreateKeyExA(HKLM, PATH)
//   set:PATH:NAME:NUMBER   create PATH, RegSetValueExA REG_DWORD
//   get:PATH:NAME          open PATH, RegQueryValueExA; prints "code number"
//   mkdir:DIR              makes a directory (prints 0 or errno)
//   init                   TmRegCreateRegistry(NULL)
//   check                  TmRegCheckRegistry; prints "code text"
//   outlive:PATH:DIR       forks; the parent exits at once after writing
//                          A=1, the child writes C=1, creates DIR/ready,
//                          waits for DIR/go, writes B=2 and puts the code
//                          in DIR/result
//===----------------------------------------------------------------------===//
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <tmcommon/tmwin32.h>

namespace {

std::vector<std::string> Split(const std::string& s) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t colon = s.find(':', start);
        parts.push_back(s.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return parts;
}

LONG SetNumber(const std::string& path, const char* name, DWORD number) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                        sizeof number);
    RegCloseKey(key);
    return rc;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void Touch(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (!f) return;
    fputs(text.c_str(), f);
    fclose(f);
    rename(tmp.c_str(), path.c_str());
}

int Outlive(const std::string& path, const std::string& dir) {
    if (SetNumber(path, "A", 1) != ERROR_SUCCESS) return 3;
    pid_t pid = fork();
    if (pid < 0) return 4;
    if (pid > 0) return 0;
    // The child: its own connection must hold its own locks, since the
    // parent is gone by the time it writes B.
    LONG rc = SetNumber(path, "C", 1);
    Touch(dir + "/ready", std::to_string(rc));
    for (int i = 0; i < 3000 && !Exists(dir + "/go"); ++i) usleep(10000);
    rc = SetNumber(path, "B", 2);
    Touch(dir + "/result", std::to_string(rc));
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::vector<std::string> cmd = Split(argv[i]);
        const std::string& op = cmd[0];
        if (op == "create" && cmd.size() == 2) {
            HKEY key = nullptr;
            LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, cmd[1].c_str(), 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, &key, nullptr);
            if (rc == ERROR_SUCCESS) RegCloseKey(key);
            printf("%ld\n", long(rc));
        } else if (op == "set" && cmd.size() == 4) {
            printf("%ld\n", long(SetNumber(cmd[1], cmd[2].c_str(), DWORD(strtoul(cmd[3].c_str(), nullptr, 10)))));
        } else if (op == "get" && cmd.size() == 3) {
            HKEY key = nullptr;
            LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, cmd[1].c_str(), 0, KEY_READ, &key);
            DWORD number = 0, size = sizeof number;
            if (rc == ERROR_SUCCESS) {
                rc = RegQueryValueExA(key, cmd[2].c_str(), nullptr, nullptr,
                                      reinterpret_cast<BYTE*>(&number), &size);
                RegCloseKey(key);
            }
            printf("%ld %lu\n", long(rc), static_cast<unsigned long>(number));
        } else if (op == "init" && cmd.size() == 1) {
            printf("%ld\n", long(TmRegCreateRegistry(nullptr)));
        } else if (op == "check" && cmd.size() == 1) {
            char text[512] = "sentinel";
            LONG rc = TmRegCheckRegistry(text, sizeof text);
            printf("%ld %s\n", long(rc), text);
        } else if (op == "mkdir" && cmd.size() == 2) {
            printf("%d\n", mkdir(cmd[1].c_str(), 0700) == 0 ? 0 : errno);
        } else if (op == "outlive" && cmd.size() == 3) {
            return Outlive(cmd[1], cmd[2]);
        } else {
            fprintf(stderr, "registry_worker: bad command '%s'\n", argv[i]);
            return 2;
        }
        fflush(stdout);
    }
    return 0;
}
