//===-- tests/reliability/BadInputTest.cpp - What strangers may hand us ---===//
//
// Bad input through tmctl and through the library, one table: overlong
// arguments, binary junk, invalid key paths, registry files that are no
// database, log directories that cannot be written, broken tree files,
// uuencoded files that name a path elsewhere, huge base64. Each must get a
// clear error (or its documented result), never a crash or a sanitizer
// report, and leave nothing where it should not be.
//
// An argument of 1 MB cannot reach a program at all (the kernel refuses
// an argument over 128 KiB with E2BIG), so the 1 MB cases go through
// files, standard input and the library's own functions.
//===----------------------------------------------------------------------===//
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "../../fuzz/support/CodecsReference.h"
#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

// What a case came to: an exit status (or a function's result), what it
// said on standard error and wrote on standard output.
struct Outcome {
    int status = 0;
    std::string err, out;
};

Outcome FromProcess(const ProcessResult& r) { return {r.exitCode, r.err, r.out}; }

// What a library function gave: its result and what it made.
Outcome Result(int status, std::string made = {}) { return {status, {}, std::move(made)}; }

Outcome Tmctl(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
              const std::string& input = {}) {
    return FromProcess(RunProgram(TmctlPath(), args, env, input));
}

// tmctl run from a directory of its own.
Outcome TmctlIn(const std::string& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", "cd \"$1\" && shift && exec \"$@\"", "sh", dir, TmctlPath()});
    return FromProcess(RunProgram("/bin/sh", args));
}

// tmctl as an account that owns nothing here, so that file permissions
// hold even when the tests run as root.
Outcome TmctlUnprivileged(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    if (geteuid() != 0) return Tmctl(args, env);
    chmod(SandboxDir().c_str(), 0755);
    std::vector<std::string> all = {"--reuid=65534", "--regid=65534", "--clear-groups", TmctlPath()};
    all.insert(all.end(), args.begin(), args.end());
    return FromProcess(RunProgram("/usr/bin/setpriv", all, env));
}

std::string Digest(const std::string& path) {
    std::string data = ReadFile(path);
    return std::to_string(data.size()) + ":" + std::to_string(std::hash<std::string>{}(data));
}

std::vector<std::string> DirEntries(const std::string& dir) {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// The lines of the log files of a directory that holds nothing else.
std::vector<std::string> LogLines(const std::string& dir) {
    const std::string all = ReadFiles(dir);
    EXPECT_TRUE(all.empty() || all.ends_with("\r\n")) << "the log ends in a torn line";
    return SplitLines(all);
}

// A key's subtree as the library dumps it.
std::string Dump(const std::string& path) {
    CRegistry reg;
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ) != ERROR_SUCCESS) return "";
    char* text = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&text, &size);
    reg.DumpTree(f);
    fclose(f);
    std::string dump(text, size);
    free(text);
    return dump;
}

// True when the key exists and holds neither subkeys nor values.
bool IsEmptyKey(const std::string& path) {
    CRegistry reg;
    CString name;
    DWORD type = 0;
    return reg.OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ) == ERROR_SUCCESS &&
           reg.EnumKey(0, name) == ERROR_NO_MORE_ITEMS && reg.EnumValue(0, name, type) == ERROR_NO_MORE_ITEMS;
}

// How many levels of subkeys named "k" lie below the key.
int ChainDepth(const std::string& path) {
    CRegistry reg;
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ) != ERROR_SUCCESS) return -1;
    HKEY key = reg.m_hKey;
    int depth = 0;
    for (HKEY next = nullptr; RegOpenKeyExA(key, "k", 0, KEY_READ, &next) == ERROR_SUCCESS; ++depth) {
        if (key != reg.m_hKey) RegCloseKey(key);
        key = next;
    }
    if (key != reg.m_hKey) RegCloseKey(key);
    return depth;
}

// A registry file in the sandbox with a few values, written through tmctl
// and folded into its main file, alone (no -wal or -shm beside it).
std::string MakeRegistryFile(const std::string& name) {
    std::string path = MakeDir("registries") + "/" + name;
    std::vector<std::string> env = {"TAMARAK_REGISTRY=" + path};
    EXPECT_EQ(Tmctl({"reg", "init"}, env).status, 0);
    EXPECT_EQ(Tmctl({"reg", "set", "params", "Text", std::string(20000, 't')}, env).status, 0);
    EXPECT_EQ(Tmctl({"reg", "set", "--type", "dword", "params", "Logging", "63"}, env).status, 0);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode=DELETE;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
    return path;
}

const char kImport[] = "Software\\BadInput\\Import";

// The source tree of the tree-file cases and its file: subkeys, strings,
// numbers, a multi-string.
std::string SourceTree(std::set<size_t>* boundaries) {
    const std::string src = "Software\\BadInput\\Source";
    CRegistry reg, sub, inner;
    EXPECT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, src.c_str(), 0x2001F, 0), 0);
    EXPECT_EQ(sub.CreateKey(reg.m_hKey, "A", 0x2001F, 0), 0);
    EXPECT_EQ(inner.CreateKey(sub.m_hKey, "B", 0x2001F, 0), 0);
    inner.SetValue("s", "hello");
    CStringArray list;
    list.Add("one");
    list.Add("two");
    sub.SetValue("m", list);
    reg.SetValue("d", static_cast<DWORD>(7));
    reg.SetValue("top", "text");
    std::string file = SandboxDir() + "/source.tree";
    FILE* f = fopen(file.c_str(), "wb");
    EXPECT_EQ(reg.WriteTree(f), 0u);
    fclose(f);
    // The file is the key's body: '>A' ... '<' for the subkey, then the
    // values; a cut right after a whole top-level record reads as a
    // complete (shorter) file.
    std::string data = ReadFile(file);
    size_t afterKey = data.find("<D");
    *boundaries = {0, afterKey + 1, afterKey + 1 + 7, data.size()};
    return file;
}

// The values below an imported key are the source's: a dump line of the
// import that the source's dump lacks was made up.
void ExpectPartOfSource(const std::string& importKey, const std::string& source) {
    std::set<std::string> known;
    for (const std::string& line : SplitLines(source)) known.insert(line);
    for (const std::string& line : SplitLines(Dump(importKey))) {
        EXPECT_TRUE(known.count(line)) << importKey << ": " << line;
    }
}

std::string Random(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

struct BadInput {
    const char* what;
    std::function<Outcome()> run;
    int status;                           // exit status, or the library's result
    const char* says = "";                // text the message must hold
    std::function<void(const Outcome&)> check = nullptr;  // what must not have happened
};

TEST(BadInputTest, EveryBadInputGetsAClearAnswerAndChangesNothingElse) {
    const std::string k10(10 * 1024, 'k'), m1(1 << 20, 'm');
    const std::string junk = "\xff\xfe\x01\x02\x7f\x1b[2J\x80";
    const std::string root = MakeDir("root"), logs = MakeDir("logs");
    const std::string uuDir = MakeDir("uu/a/b"), queue = MakeDir("root/queue");
    SetEventLogPath(const_cast<char*>(logs.c_str()));
    {
        CRegistry reg;
        ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
        ASSERT_EQ(reg.SetValue("RootPath", root.c_str()), 0);
    }
    int deepest = 0;
    std::set<size_t> boundaries;
    const std::string treeFile = SourceTree(&boundaries), tree = ReadFile(treeFile);
    const std::string sourceDump = Dump("Software\\BadInput\\Source");
    const std::string registryDump = Dump("Software");
    auto writeFile = [](const std::string& name, const std::string& data) {
        std::string path = SandboxDir() + "/" + name;
        WriteFile(path, data);
        return path;
    };
    auto unchanged = [](const std::string& path) {
        std::string before = Digest(path);
        return [path, before](const Outcome&) {
            EXPECT_EQ(Digest(path), before) << path;
            EXPECT_FALSE(FileExists(path + "-wal")) << path;
            EXPECT_FALSE(FileExists(path + "-shm")) << path;
        };
    };
    auto registryAt = [](const std::string& path) { return std::vector<std::string>{"TAMARAK_REGISTRY=" + path}; };
    const std::string dirRegistry = MakeDir("registry-dir"), randomRegistry = writeFile("random.db", Random(65536, 1));
    const std::string readOnly = MakeRegistryFile("read-only.db"), truncated = MakeRegistryFile("truncated.db");
    truncate(truncated.c_str(), static_cast<off_t>(ReadFile(truncated).size() / 2));
    chmod(readOnly.c_str(), 0444);
    chmod(MakeDir("registries").c_str(), 0555);
    const std::string closedLogs = MakeDir("closed-logs");
    chmod(closedLogs.c_str(), 0555);
    const std::string openDir = MakeDir("open");
    chmod(openDir.c_str(), 0777);
    auto huge = Random(12 << 20, 2), oneLine = Random(12 << 20, 3);

    const BadInput kCases[] = {
        // Overlong arguments.
        {"key path of 10 KB", [&] { return Tmctl({"reg", "query", "HKLM/Software/" + k10, "x"}); }, 1,
         "ERROR_INVALID_PARAMETER"},
        {"value name and data of 10 KB, kept whole",
         [&] {
             Outcome set = Tmctl({"reg", "set", "HKLM/Software/BadInput/Long", k10, k10});
             return set.status ? set : Tmctl({"reg", "query", "HKLM/Software/BadInput/Long", k10});
         },
         0, "", [&](const Outcome& o) { EXPECT_EQ(o.out, k10 + "\n"); }},
        {"date of 10 KB", [&] { return Tmctl({"date", "parse", k10}); }, 1, "gives 0"},
        {"address text of 10 KB", [&] { return Tmctl({"addr", "parse", "<" + k10 + ">"}); }, 0, "",
         [](const Outcome& o) { EXPECT_LE(o.out.size(), 81u); }},
        {"pattern and subject of 10 KB",
         [&] { return Tmctl({"match", std::string(5000, '*') + k10.substr(0, 5000), k10 + "!"}); }, 1, "",
         [](const Outcome& o) { EXPECT_EQ(o.out, "0\n"); }},
        {"log text of 10 KB", [&] { return Tmctl({"log", "--dir", logs, k10}); }, 0, "",
         [&](const Outcome&) {
             std::vector<std::string> lines = LogLines(logs);
             ASSERT_FALSE(lines.empty());
             EXPECT_EQ(lines.back().substr(lines.back().size() - 1024), " " + k10.substr(0, 1023));
         }},
        {"host of 10 KB", [&] { return Tmctl({"id", "msgid", k10}); }, 0},
        // Binary junk.
        {"junk date", [&] { return Tmctl({"date", "parse", junk}); }, 1, "gives 0"},
        {"junk address", [&] { return Tmctl({"addr", "email", junk}); }, 1, "",
         [](const Outcome& o) { EXPECT_TRUE(o.out.starts_with("not valid")) << o.out; }},
        {"junk key", [&] { return Tmctl({"reg", "query", "HKLM/Software/BadInput/" + junk}); }, 1,
         "ERROR_FILE_NOT_FOUND"},
        {"junk base64", [&] { return Tmctl({"mime", "decode"}, {}, Random(1 << 16, 4)); }, 0},
        {"junk instead of uuencoded data", [&] { return Tmctl({"uudecode", "--output", "-"}, {}, Random(1 << 16, 5)); },
         1, "no 'begin' line"},
        {"junk scrambled text", [&] { return Tmctl({"unscramble", "quill", junk}); }, 2},
        // Invalid key paths.
        {"unknown root", [] { return Tmctl({"reg", "query", "HKEY_NOWHERE/Software"}); }, 2},
        // tmctl drops empty names between separators, as documented; the
        // library refuses them.
        {"leading backslash",
         [] {
             CRegistry reg;
             return Result(static_cast<int>(reg.CreateKey(HKEY_LOCAL_MACHINE, "\\Software\\BadInput", 0x2001F, 0)));
         },
         ERROR_BAD_PATHNAME},
        {"empty key name",
         [] {
             CRegistry reg;
             return Result(static_cast<int>(reg.CreateKey(HKEY_LOCAL_MACHINE, "Software\\\\BadInput", 0x2001F, 0)));
         },
         ERROR_BAD_PATHNAME},
        {"key name of 256 characters",
         [] { return Tmctl({"reg", "set", "HKLM/Software/" + std::string(256, 'n'), "n", "v"}); }, 1,
         "ERROR_INVALID_PARAMETER"},
        // Registry files that are no usable database.
        {"registry file that is a directory", [&] { return Tmctl({"reg", "set", "params", "n", "v"}, registryAt(dirRegistry)); },
         1, "ERROR_REGISTRY_IO_FAILED",
         [&](const Outcome&) { EXPECT_TRUE(DirEntries(dirRegistry).empty()); }},
        {"registry file of random bytes", [&] { return Tmctl({"reg", "set", "params", "n", "v"}, registryAt(randomRegistry)); },
         1, "ERROR_BADDB", unchanged(randomRegistry)},
        {"truncated registry file", [&] { return Tmctl({"reg", "query", "params", "Logging"}, registryAt(truncated)); },
         1, "ERROR_BADDB", unchanged(truncated)},
        {"read-only registry file",
         [&] { return TmctlUnprivileged({"reg", "set", "params", "n", "v"}, registryAt(readOnly)); }, 1,
         "ERROR_ACCESS_DENIED", unchanged(readOnly)},
        // Log directories.
        {"missing log directory", [&] { return Tmctl({"log", "--dir", logs + "/missing", "lost"}); }, 1, "does not exist",
         [&](const Outcome&) { EXPECT_FALSE(FileExists(logs + "/missing")); }},
        {"log directory that cannot be written",
         [&] { return TmctlUnprivileged({"log", "--dir", closedLogs, "lost"}, registryAt(openDir + "/logger.db")); },
         1, "", [&](const Outcome&) { EXPECT_TRUE(DirEntries(closedLogs).empty()); }},
        // Tree files.
        {"tree file cut at every byte",
         [&] {
             Outcome worst;
             for (size_t cut = 0; cut <= tree.size(); ++cut) {
                 SCOPED_TRACE("cut at " + std::to_string(cut));
                 std::string key = std::string(kImport) + "\\Cut" + std::to_string(cut);
                 Outcome o = Tmctl({"reg", "import", "HKLM/" + key, writeFile("cut.tree", tree.substr(0, cut))});
                 EXPECT_EQ(o.status, boundaries.count(cut) ? 0 : 1) << "cut at " << cut << ": " << o.err;
                 if (o.status) {
                     EXPECT_NE(o.err.find("the import stopped"), std::string::npos) << cut;
                 }
                 ExpectPartOfSource(key, sourceDump);
                 if (cut == tree.size()) {
                     EXPECT_EQ(Dump(key), sourceDump);
                 }
                 worst.status = std::max(worst.status, o.status == 0 || o.status == 1 ? 0 : o.status);
             }
             return worst;
         },
         0},
        {"tree file nested 100,000 deep",
         [&] {
             std::string deep;
             for (int i = 0; i < 100000; ++i) deep += std::string(">k") + '\0';
             return Tmctl({"reg", "import", std::string("HKLM/") + kImport + "/Deep", writeFile("deep.tree", deep)});
         },
         1, "the import stopped",
         [&](const Outcome&) {
             // Merged down to the registry's or the reader's depth limit,
             // whichever comes first, and no further.
             deepest = ChainDepth(std::string(kImport) + "\\Deep");
             EXPECT_GT(deepest, 100);
             EXPECT_LE(deepest, 512);
         }},
        {"tree file with a key name of 1 MB",
         [&] {
             return Tmctl({"reg", "import", std::string("HKLM/") + kImport + "/BigKey",
                           writeFile("big-key.tree", ">" + m1 + std::string(1, '\0') + "<")});
         },
         1, "the import stopped", [&](const Outcome&) { EXPECT_TRUE(IsEmptyKey(std::string(kImport) + "\\BigKey")); }},
        {"tree file with a value name of 1 MB",
         [&] {
             return Tmctl({"reg", "import", std::string("HKLM/") + kImport + "/BigName",
                           writeFile("big-name.tree", "S" + m1 + std::string(1, '\0') + "v" + std::string(1, '\0'))});
         },
         1, "the import stopped", [&](const Outcome&) { EXPECT_TRUE(IsEmptyKey(std::string(kImport) + "\\BigName")); }},
        // Uuencoded files that name a file elsewhere: only its last part is
        // written, in the current directory.
        {"begin line naming ../../x", [&] { return TmctlIn(uuDir, {"uudecode", writeFile("up.uu", "begin 644 ../../x\n#86)C\n`\nend\n")}); },
         0, "",
         [&](const Outcome&) {
             EXPECT_EQ(ReadFile(uuDir + "/x"), "abc");
             EXPECT_FALSE(FileExists(SandboxDir() + "/uu/x"));
         }},
        {"begin line naming an absolute path",
         [&] {
             return TmctlIn(uuDir, {"uudecode", writeFile("abs.uu", "begin 600 " + SandboxDir() + "/uu/abs\n#86)C\n`\nend\n")});
         },
         0, "",
         [&](const Outcome&) {
             EXPECT_EQ(ReadFile(uuDir + "/abs"), "abc");
             EXPECT_FALSE(FileExists(SandboxDir() + "/uu/abs"));
         }},
        // Huge base64: 16 MB of text in lines, and 16 MB in one line.
        {"16 MB of base64 in lines", [&] { return Tmctl({"mime", "decode"}, {}, tmref::EncodeLines(huge)); }, 0, "",
         [&](const Outcome& o) { EXPECT_TRUE(o.out == huge) << o.out.size(); }},
        {"one base64 line of 16 MB", [&] { return Tmctl({"mime", "decode", writeFile("line.b64", tmref::Encode(oneLine))}); },
         0, "", [&](const Outcome& o) { EXPECT_TRUE(o.out == oneLine) << o.out.size(); }},
        // 1 MB through the library itself.
        {"key path of 1 MB",
         [&] {
             CRegistry reg;
             return Result(static_cast<int>(reg.CreateKey(HKEY_LOCAL_MACHINE, ("Software\\" + m1).c_str(), 0x2001F, 0)));
         },
         ERROR_INVALID_PARAMETER},
        {"value name of 1 MB",
         [&] {
             CRegistry reg;
             reg.CreateKey(HKEY_LOCAL_MACHINE, "Software\\BadInput", 0x2001F, 0);
             return Result(static_cast<int>(reg.SetValue(m1.c_str(), "v")));
         },
         ERROR_INVALID_PARAMETER},
        {"log text of 1 MB",
         [&] {
             CEventLog(0).LogEvent(0x2000, "%s", m1.c_str());
             return Result(0, LogLines(logs).back());
         },
         0, "", [&](const Outcome& o) { EXPECT_TRUE(o.out.ends_with(" " + m1.substr(0, 1023))) << o.out.size(); }},
        {"date of 1 MB", [&] { return Result(static_cast<int>(tm_getdate(m1.c_str()))); }, 0},
        {"address text of 1 MB",
         [&] {
             std::string text = "<" + m1 + ">";
             CString address;
             ParseAddress(text.data(), address);
             std::string a = static_cast<const char*>(address);
             return Result(IsValidEmailAddress(text.data()), a);
         },
         0, "", [](const Outcome& o) { EXPECT_LE(o.out.size(), 80u); }},
        {"subject of 1 MB",
         [&] {
             std::string subject = m1;
             auto start = std::chrono::steady_clock::now();
             int r = WildcardMatch(subject.data(), "*@*.example.com", nullptr);
             EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
             return Result(r);
         },
         0},
        {"host of 1 MB",
         [&] {
             char id[128];
             std::string text = GetMessageId(id, sizeof id, m1.c_str());
             return Result(0, text);
         },
         0, "", [](const Outcome& o) { EXPECT_EQ(o.out.size(), 127u); }},
        {"log directory of 1 MB",
         [&] {
             char before[512], after[512];
             TmGetEventLogPath(before, sizeof before);
             std::string dir = "/" + m1;
             SetEventLogPath(dir.data());
             TmGetEventLogPath(after, sizeof after);
             return Result(strcmp(before, after));
         },
         0},
        {"bounce recipient of 100 KB",
         [&] {
             std::string message = writeFile("failed.msg", "Subject: x\r\n\r\nbody\r\n");
             return Tmctl({"bounce", message, std::string(100 * 1024, 'r') + "@example.com", "a@b.c", "reason"});
         },
         0, "",
         [&](const Outcome&) {
             for (const std::string& name : DirEntries(queue)) {
                 EXPECT_TRUE(name.starts_with("bmr")) << name;
                 if (name.ends_with(".msg")) {
                     EXPECT_TRUE(ReadFile(queue + "/" + name).ends_with("body\r\n\r\n.\r\n"));
                 }
             }
             EXPECT_EQ(DirEntries(queue).size(), 2u);
         }},
    };
    for (const BadInput& c : kCases) {
        SCOPED_TRACE(c.what);
        Outcome o = c.run();
        EXPECT_EQ(o.status, c.status) << o.err.substr(0, 500);
        EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err.substr(0, 500);
        EXPECT_EQ(o.err.find("Sanitizer"), std::string::npos) << o.err.substr(0, 2000);
        EXPECT_EQ(o.err.find("runtime error"), std::string::npos) << o.err.substr(0, 2000);
        if (c.check) c.check(o);
    }
    // Nothing outside the keys the cases name was touched.
    chmod(MakeDir("registries").c_str(), 0755);
    std::string after = Dump("Software");
    for (const std::string& line : SplitLines(registryDump)) {
        EXPECT_NE(after.find(line), std::string::npos) << "lost: " << line;
    }
    // The figure docs/reliability.md quotes, from a run that did not fail.
    if (HasFailure()) return;
    printf("figure: bad input: %zu cases, %zu cuts of a tree file, a tree nested 100,000 deep merged down to %d "
           "levels; every one answered with its documented status\n", std::size(kCases), tree.size() + 1, deepest);
}

}  // namespace
}  // namespace tmtest
