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
//   delete:PATH:NAME       open PATH, RegDeleteValueA
//   deletekey:PATH         RegDeleteKeyA(HKLM, PATH)
//   touch:FILE             makes FILE (prints 0), for another process
//   wait:FILE              waits up to a minute for FILE (0, or 1 if not)
//   loop:PATH:STOP         until the file STOP exists, writes the values
//                          V1, V2, ... of PATH, each 1000 bytes that tell
//                          their number (CheckedData); prints
//                          "number code milliseconds" per write
//   check:PATH             prints "name number" for every value of PATH
//                          that holds CheckedData whole, else "name bad"
//   fill:PATH              writes PATH in every root: keys and values of
//                          every kind (see Fill)
//   volatile:PATH          creates the volatile key PATH with a value
//   begin, end             TmRegBeginBatch (prints 0), TmRegEndBatch
//   snapshot               prints the whole registry: every key of every
//                          root with its values in order (type, bytes in
//                          hexadecimal), whether it may be opened for
//                          writing and whether it is volatile
//===----------------------------------------------------------------------===//
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <tmcommon/tmwin32.h>

namespace {

LONG Create(HKEY root, const std::string& path, HKEY* key, DWORD options = 0) {
    return RegCreateKeyExA(root, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, key, nullptr);
}

LONG Put(HKEY key, const char* name, DWORD type, const std::string& data) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()));
}

LONG SetNumber(const std::string& path, const char* name, DWORD number) {
    HKEY key = nullptr;
    LONG rc = Create(HKEY_LOCAL_MACHINE, path, &key);
    if (rc != ERROR_SUCCESS) return rc;
    rc = Put(key, name, REG_DWORD, std::string(reinterpret_cast<const char*>(&number), sizeof number));
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

bool WaitFor(const std::string& path, int tenMs = 6000) {
    for (int i = 0; i < tenMs && !Exists(path); ++i) usleep(10000);
    return Exists(path);
}

int Outlive(const std::string& path, const std::string& dir) {
    if (SetNumber(path, "A", 1) != ERROR_SUCCESS) return 3;
    pid_t pid = fork();
    if (pid != 0) return pid < 0 ? 4 : 0;
    // The child: its own connection must hold its own locks, since the
    // parent is gone by the time it writes B.
    Touch(dir + "/ready", std::to_string(SetNumber(path, "C", 1)));
    WaitFor(dir + "/go", 3000);
    Touch(dir + "/result", std::to_string(SetNumber(path, "B", 2)));
    _exit(0);
}

// 1000 bytes: the number, then its low byte over and over.
std::string CheckedData(DWORD number) {
    std::string data(1000, char(number & 0xFF));
    memcpy(data.data(), &number, sizeof number);
    return data;
}

int Loop(const std::string& path, const std::string& stop) {
    HKEY key = nullptr;
    if (Create(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS) return 3;
    for (DWORD i = 1; !Exists(stop); ++i) {
        auto start = std::chrono::steady_clock::now();
        LONG rc = Put(key, ("V" + std::to_string(i)).c_str(), REG_BINARY, CheckedData(i));
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        printf("%lu %ld %lld\n", static_cast<unsigned long>(i), long(rc), static_cast<long long>(ms));
        fflush(stdout);
        // A failing call comes back at once: no need to spin on it.
        if (rc != ERROR_SUCCESS) usleep(20000);
    }
    RegCloseKey(key);
    return 0;
}

void Check(const std::string& path) {
    HKEY key = nullptr;
    if (LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key)) {
        printf("open %ld\n", long(rc));
        return;
    }
    std::vector<BYTE> data(2000);
    char name[64];
    for (DWORD i = 0;; ++i) {
        DWORD cch = sizeof name, size = DWORD(data.size()), type = 0, number = 0;
        if (RegEnumValueA(key, i, name, &cch, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
        if (size >= 4) memcpy(&number, data.data(), 4);
        if (type == REG_BINARY && std::string(reinterpret_cast<char*>(data.data()), size) == CheckedData(number))
            printf("%s %lu\n", name, static_cast<unsigned long>(number));
        else
            printf("%s bad\n", name);
    }
    RegCloseKey(key);
}

// Keys and values of every kind below PATH of each root: names in mixed
// case and with bytes above 0x7F, values in an order that is not their
// names' order, every type with exact bytes (zeros inside, empty, 200 KiB),
// a key that may only be read, a deep path.
void Fill(const std::string& path) {
    const HKEY roots[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS};
    std::string big(200 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 31 + i / 251);
    int failures = 0;
    for (size_t r = 0; r < std::size(roots); ++r) {
        HKEY key = nullptr, sub = nullptr;
        failures += Create(roots[r], path + "\\Root" + std::to_string(r), &key) != 0;
        if (!key) continue;
        const struct { const char* name; DWORD type; std::string data; } values[] = {
            {"Zeta", REG_SZ, std::string("last name, first made\0", 22)},
            {"alpha", REG_DWORD, "\x78\x56\x34\x12"},
            {"Mixed\xE9" "Case", REG_MULTI_SZ, std::string("one\0two\0\0", 9)},
            {"", REG_SZ, std::string("the default", 12)},
            {"Embedded", REG_BINARY, std::string("a\0b\0\0c", 6)},
            {"Empty", REG_EXPAND_SZ, ""},
            {"Odd", 0x12345, "\x01\x02\x03"},
            {"Big", REG_BINARY, big}};
        for (const auto& v : values) failures += Put(key, v.name, v.type, v.data) != 0;
        // Three bytes: the next one is not zero, so no terminator is counted.
        failures += RegSetValueExA(key, "Unterminated", 0, REG_SZ, reinterpret_cast<const BYTE*>("abcX"), 3) != 0;
        for (const char* name : {"b", "A", "_c", "MIXED", "a1"}) {
            failures += Create(key, name, &sub) != 0;
            failures += Put(sub, name, REG_DWORD, std::string("\x01\0\0\0", 4)) != 0;
            RegCloseKey(sub);
        }
        failures += Create(key, "One\\Two\\Three\\Four\\Five", &sub) != 0;
        failures += Put(sub, "Deep", REG_SZ, std::string("down here", 10)) != 0;
        RegCloseKey(sub);
        failures += Create(key, "Locked\\Inner", &sub) != 0;
        RegCloseKey(sub);
        failures += TmRegSetKeyRestriction(key, "Locked", KEY_READ) != 0;
        RegCloseKey(key);
    }
    printf("%d\n", failures);
}

std::string Hex(const BYTE* data, DWORD size) {
    std::string text;
    char two[3];
    for (DWORD i = 0; i < size; ++i) text += (snprintf(two, sizeof two, "%02x", data[i]), two);
    return text;
}

void SnapshotKey(HKEY key, const std::string& path) {
    HKEY probe = nullptr;
    LONG writable = RegOpenKeyExA(key, "", 0, KEY_WRITE, &probe);
    if (writable == ERROR_SUCCESS) RegCloseKey(probe);
    // A volatile key takes only volatile subkeys; the probe is taken away
    // again where it could be made.
    LONG child = Create(key, "SnapshotProbe", &probe);
    if (child == ERROR_SUCCESS) RegCloseKey(probe), RegDeleteKeyA(key, "SnapshotProbe");
    printf("key %s write=%ld child=%ld\n", path.c_str(), long(writable), long(child));
    std::vector<BYTE> data(512 * 1024);
    char name[300];
    for (DWORD i = 0;; ++i) {
        DWORD cch = sizeof name, size = DWORD(data.size()), type = 0;
        LONG rc = RegEnumValueA(key, i, name, &cch, nullptr, &type, data.data(), &size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) {
            printf("  value %lu: code %ld\n", static_cast<unsigned long>(i), long(rc));
            break;
        }
        printf("  %s type %lu size %lu %s\n", Hex(reinterpret_cast<BYTE*>(name), cch).c_str(),
               static_cast<unsigned long>(type), static_cast<unsigned long>(size), Hex(data.data(), size).c_str());
    }
    std::vector<std::string> subkeys;
    for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; ++i) subkeys.push_back(name);
    for (const std::string& subkey : subkeys) {
        HKEY sub = nullptr;
        if (LONG rc = RegOpenKeyExA(key, subkey.c_str(), 0, KEY_READ, &sub)) {
            printf("key %s\\%s open=%ld\n", path.c_str(), subkey.c_str(), long(rc));
            continue;
        }
        SnapshotKey(sub, path + "\\" + subkey);
        RegCloseKey(sub);
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::vector<std::string> cmd;
        for (size_t start = 0, colon = 0; colon != std::string::npos; start = colon + 1) {
            colon = std::string(argv[i]).find(':', start);
            cmd.push_back(std::string(argv[i]).substr(start, colon - start));
        }
        const std::string& op = cmd[0];
        const size_t n = cmd.size();
        HKEY key = nullptr;
        if (op == "create" && n == 2) {
            LONG rc = Create(HKEY_LOCAL_MACHINE, cmd[1], &key);
            if (rc == ERROR_SUCCESS) RegCloseKey(key);
            printf("%ld\n", long(rc));
        } else if (op == "set" && n == 4) {
            printf("%ld\n", long(SetNumber(cmd[1], cmd[2].c_str(), DWORD(strtoul(cmd[3].c_str(), nullptr, 10)))));
        } else if (op == "get" && n == 3) {
            LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, cmd[1].c_str(), 0, KEY_READ, &key);
            DWORD number = 0, size = sizeof number;
            if (rc == ERROR_SUCCESS) {
                rc = RegQueryValueExA(key, cmd[2].c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&number), &size);
                RegCloseKey(key);
            }
            printf("%ld %lu\n", long(rc), static_cast<unsigned long>(number));
        } else if (op == "init" && n == 1) {
            printf("%ld\n", long(TmRegCreateRegistry(nullptr)));
        } else if (op == "check" && n == 1) {
            char text[512] = "sentinel";
            LONG rc = TmRegCheckRegistry(text, sizeof text);
            printf("%ld %s\n", long(rc), text);
        } else if (op == "mkdir" && n == 2) {
            printf("%d\n", mkdir(cmd[1].c_str(), 0700) == 0 ? 0 : errno);
        } else if (op == "outlive" && n == 3) {
            return Outlive(cmd[1], cmd[2]);
        } else if (op == "delete" && n == 3) {
            LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, cmd[1].c_str(), 0, KEY_ALL_ACCESS, &key);
            if (rc == ERROR_SUCCESS) rc = RegDeleteValueA(key, cmd[2].c_str()), RegCloseKey(key);
            printf("%ld\n", long(rc));
        } else if (op == "deletekey" && n == 2) {
            printf("%ld\n", long(RegDeleteKeyA(HKEY_LOCAL_MACHINE, cmd[1].c_str())));
        } else if (op == "touch" && n == 2) {
            Touch(cmd[1], "");
            printf("0\n");
        } else if (op == "wait" && n == 2) {
            printf("%d\n", WaitFor(cmd[1]) ? 0 : 1);
        } else if (op == "loop" && n == 3) {
            return Loop(cmd[1], cmd[2]);
        } else if (op == "check" && n == 2) {
            Check(cmd[1]);
        } else if (op == "fill" && n == 2) {
            Fill(cmd[1]);
        } else if (op == "volatile" && n == 2) {
            LONG rc = Create(HKEY_LOCAL_MACHINE, cmd[1], &key, REG_OPTION_VOLATILE);
            if (rc == ERROR_SUCCESS) rc = Put(key, "Boot", REG_DWORD, std::string("\x02\0\0\0", 4)), RegCloseKey(key);
            printf("%ld\n", long(rc));
        } else if (op == "begin" && n == 1) {
            TmRegBeginBatch();
            printf("0\n");
        } else if (op == "end" && n == 1) {
            printf("%ld\n", long(TmRegEndBatch()));
        } else if (op == "snapshot" && n == 1) {
            const std::pair<HKEY, const char*> roots[] = {
                {HKEY_LOCAL_MACHINE, "HKLM"}, {HKEY_CURRENT_USER, "HKCU"}, {HKEY_CLASSES_ROOT, "HKCR"}, {HKEY_USERS, "HKU"}};
            for (auto [root, name] : roots) SnapshotKey(root, name);
        } else {
            fprintf(stderr, "registry_worker: bad command '%s'\n", argv[i]);
            return 2;
        }
        fflush(stdout);
    }
    return 0;
}
