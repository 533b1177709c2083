//===-- tests/tools/TmctlTest.cpp - The operators' command-line tool ------===//
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>

#include "tmcommon.h"
#include "tools/ToolSupport.h"

namespace tmtest {
namespace {

TEST(TmctlTest, UsageAndExitStatus) {
    const Call kCalls[] = {
        {{}, 2, "", "usage: tmctl COMMAND"},
        {{"nonsense"}, 2, "", "unknown command"},
        {{"reg"}, 2, "", "tmctl reg list"},
        {{"reg", "frobnicate"}, 2, "", "unknown command 'reg frobnicate'"},
        {{"reg", "set", "--type", "qword", "params", "x", "1"}, 2, "", "unknown type 'qword'"},
        {{"reg", "set", "--type", "dword", "params", "x", "12z"}, 2, "", "not a 32-bit number"},
        {{"reg", "query", "HKEY_NOWHERE\\x"}, 2, "", "unknown root"},
        {{"log", "--type", "0x10000", "x"}, 2, "", "not a 16-bit event type"},
        {{"help"}, 0, std::nullopt, "", "reg query"},
        {{"help", "reg"}, 0, std::nullopt, "", "usage: tmctl reg set"},
        {{"env", "--help"}, 0, std::nullopt, "", "usage: tmctl env"},
        {{"--bogus"}, 2, "", "unknown option '--bogus'"},
        {{"reg", "query", "--bogus=1", "params"}, 2, "", "unknown option '--bogus'\nusage:\n  tmctl reg query"},
        {{"reg", "query", "params", "x", "y"}, 2, "", "unexpected argument 'y'"},
        {{"reg", "set", "params", "x"}, 2, "", "VALUE is required"},
        {{"reg", "set", "--type"}, 2, "", "--type"},
        // "--" ends the options: what follows is an argument however it looks.
        {{"match", "--", "--multiline", "--MULTILINE"}, 0, "1\n"},
        {{"match", "--multiline", "--", "-x", "-X"}, 0, "1\n"},
        {{"match", "--", "-a", "-b", "-c"}, 2, "", "unexpected argument '-c'"},
        {{"match", "a", "b", "--", "-c"}, 2, "", "unexpected argument '-c'"},
        {{"match", "-x", "--", "a", "b"}, 2, "", "unknown option '-x'"},
        // An unknown option is named even when an argument is missing too.
        {{"match", "--nope"}, 2, "", "unknown option '--nope'"},
        // A word that names another command is an argument, not a second command.
        {{"match", "env", "ENV"}, 0, "1\n"},
        {{"help", "reg", "set"}, 0, std::nullopt, "", "usage: tmctl reg set"},
        {{"help", "nothing"}, 2, "", "no command 'nothing'"},
    };
    for (const Call& call : kCalls) Check(call);
    ProcessResult version = Tmctl({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("tmctl [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.out;
}

// A registry is made by `reg init` alone: before it, env names the file
// and the reason and exits 1, and every registry command fails; after it,
// env is content and a second init leaves the registry as it is.
TEST(TmctlTest, RegInitMakesTheRegistryThatEnvChecks) {
    const std::string dir = MakeDir("tmctl-init"), missing = dir + "/reg.db", corrupt = dir + "/corrupt.db";
    const std::string nested = dir + "/a/b/reg.db";
    WriteFile(corrupt, std::string(8192, 'Z'));
    const std::vector<std::string> env = {"TAMARAK_REGISTRY=" + missing};
    const Call kSteps[] = {
        {{"env"}, 1, std::nullopt, "",
         "registry:       " + missing + " (cannot be used: ERROR_CANTOPEN: the registry file does not exist "
         "(create it with 'tmctl reg init'))\n"},
        {{"reg", "set", "params", "Greeting", "hello"}, 1, std::nullopt, "error 1011 (ERROR_CANTOPEN"},
        {{"reg", "init"}, 0, "made the registry " + missing + "\n"},
        {{"reg", "init"}, 0, missing + " is a registry already: left as it is\n"},
        {{"reg", "init", missing}, 0, missing + " is a registry already: left as it is\n"},
        {{"env"}, 0, std::nullopt, "", "registry:       " + missing + "\n"},
        {{"reg", "set", "params", "Greeting", "hello"}, 0, ""},
        {{"reg", "query", "params", "Greeting"}, 0, "hello\n"},
        {{"reg", "init", nested}, 0, "made the registry " + nested + "\n"},
        {{"reg", "init", corrupt}, 1, "", "reg init " + corrupt + ": error 1009 (ERROR_BADDB"},
    };
    for (const Call& step : kSteps) Check(step, {}, env);
    EXPECT_EQ(std::string(8192, 'Z'), ReadFile(corrupt)) << "a file that is not a registry was changed";
    Check({{"env"}, 1, std::nullopt, "",
           "registry:       " + corrupt + " (cannot be used: ERROR_BADDB: the registry database is corrupt): "},
          {}, {"TAMARAK_REGISTRY=" + corrupt});
}

// The commands that "tmctl help" lists.
std::vector<std::string> ListedCommands() {
    ProcessResult overview = Tmctl({"help"});
    std::vector<std::string> names;
    bool inList = false;
    for (const std::string& line : SplitLines(overview.out)) {
        if (line == "commands:") inList = true;
        else if (line.empty()) inList = false;
        else if (inList && line.compare(0, 2, "  ") == 0 && line[2] != ' ') names.push_back(line.substr(2, line.find("  ", 2) - 2));
    }
    return names;
}

std::vector<std::string> Words(const std::string& name) {
    std::vector<std::string> words;
    std::istringstream in(name);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

void ExpectWithin80Columns(const std::string& text, const std::string& label) {
    for (const std::string& line : SplitLines(text)) {
        // The registry path in use is data, not usage text.
        if (line.find(SandboxDir()) != std::string::npos) continue;
        EXPECT_LE(line.size(), 80u) << label << ": " << line;
    }
}

// Every command answers --help, -h and "help NAME" alike, within 80
// columns, and refuses an unknown option with its usage.
TEST(TmctlTest, EveryCommandHasHelpAndUsage) {
    const std::vector<std::string> names = ListedCommands();
    ASSERT_GE(names.size(), 40u);
    for (const char* expected : {"log tail", "queue list", "reg query", "reg set", "help"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    }
    ExpectWithin80Columns(Tmctl({"help"}).out, "help");
    for (const std::string& name : names) {
        std::vector<std::string> words = Words(name);
        std::vector<std::string> longHelp = words, shortHelp = words, helpOf = {"help"}, bogus = words;
        longHelp.push_back("--help");
        shortHelp.push_back("-h");
        helpOf.insert(helpOf.end(), words.begin(), words.end());
        bogus.push_back("--no-such-option");
        ProcessResult help = Tmctl(longHelp);
        EXPECT_EQ(help.exitCode, 0) << name;
        EXPECT_EQ(help.out.rfind("usage: tmctl " + name, 0), 0u) << name << "\n" << help.out;
        EXPECT_NE(help.out.find("-h, --help"), std::string::npos) << name;
        EXPECT_EQ(Tmctl(shortHelp).out, help.out) << name;
        // "help log" shows the whole family, "log --help" the one command.
        if (name != "log") {
            EXPECT_EQ(Tmctl(helpOf).out, help.out) << name;
        }
        ExpectWithin80Columns(help.out, name);
        ProcessResult refused = Tmctl(bogus);
        EXPECT_EQ(refused.exitCode, 2) << name;
        EXPECT_NE(refused.err.find("unknown option '--no-such-option'\nusage:\n  tmctl " + name), std::string::npos)
            << refused.err;
        ExpectWithin80Columns(refused.err, name);
    }
}

// The manual page and the completion that the build wrote come from the
// same text as the help: tmctl writes them again identically, the manual
// has a section for every command and no line that roff would take for an
// unknown request, and the completion completes.
TEST(TmctlTest, ManualAndCompletion) {
    const std::string manual = std::string(TM_TOOLS_DIR) + "/tmctl.1", completion = std::string(TM_TOOLS_DIR) + "/tmctl.bash";
    const std::string dir = MakeDir("generated");
    Check({{"--generate-man", dir + "/tmctl.1", "--generate-completion", dir + "/tmctl.bash"}, 0, ""});
    EXPECT_EQ(ReadFile(dir + "/tmctl.1"), ReadFile(manual));
    EXPECT_EQ(ReadFile(dir + "/tmctl.bash"), ReadFile(completion));
    const std::string page = ReadFile(manual);
    for (const std::string& name : ListedCommands()) {
        // roff writes a hyphen as "\-".
        const std::string roffName = std::regex_replace(name, std::regex("-"), "\\-");
        EXPECT_NE(page.find(".SS \"tmctl " + roffName), std::string::npos) << name;
    }
    const std::regex request("\\.(\\\\\"|TH|SH|SS|TP|PP|br|B|I|RI|BR)( .*)?");
    for (const std::string& line : SplitLines(page)) {
        if (!line.empty() && (line[0] == '.' || line[0] == '\'')) {
            EXPECT_TRUE(std::regex_match(line, request)) << line;
        }
    }
    EXPECT_NE(page.find("\\-\\-type \\fITYPE\\fR"), std::string::npos);

    struct Case { std::string words; std::string expected; };
    const Case kCases[] = {
        {"tmctl re", "reg"},
        {"tmctl reg se", "set"},
        {"tmctl reg set --t", "--type"},
        {"tmctl reg set --type REG_D", "REG_DWORD"},
        {"tmctl log ", "tail"},
        {"tmctl log tail --fo", "--follow"},
        {"tmctl signal p", "priority"},
        {"tmctl help que", "queue"},
        {"tmctl --vers", "--version"},
    };
    for (const Case& c : kCases) {
        const std::string script = "source '" + completion + "'; compopt() { :; }; read -ra COMP_WORDS <<< \"$1\"; "
                                   "[[ $1 == *' ' ]] && COMP_WORDS+=(''); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                                   "_tmctl; echo \"${COMPREPLY[*]}\"";
        ProcessResult r = RunProgram("/bin/bash", {"-c", script, "bash", c.words});
        EXPECT_EQ(r.out, c.expected + "\n") << c.words << "\n" << r.err;
    }
}

TEST(TmctlTest, ValuesRoundTrip) {
    const std::string key = "HKLM/Software/Kelt/Tamarak/Parameters";
    const Call kCalls[] = {
        {{"reg", "set", "--type", "sz", key, "Greeting", "hello world"}, 0, ""},
        {{"reg", "set", "--type", "dword", key, "Logging", "0x3f"}, 0, ""},
        {{"reg", "set", "--type", "binary", key, "Blob", "00 ff:10"}, 0, ""},
        {{"reg", "list", "HKEY_LOCAL_MACHINE\\Software\\Kelt\\Tamarak"}, 0, "Parameters\\\n"},
        {{"reg", "list", "params"}, 0, "Greeting\tREG_SZ\thello world\nLogging\tREG_DWORD\t0x3f\nBlob\tREG_BINARY\t00 ff 10\n"},
        {{"reg", "delete", "params", "Greeting"}, 0},
        {{"reg", "query", "params", "Greeting"}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
        // A key goes only when asked for by name, and tmctl says what went.
        {{"reg", "delete", "params"}, 2, "", "needs --key"},
        {{"reg", "list", "params"}, 0, "Logging\tREG_DWORD\t0x3f\nBlob\tREG_BINARY\t00 ff 10\n"},
        {{"reg", "delete", "--key", "params", "Logging"}, 2, "", "takes no NAME"},
        {{"reg", "delete", "--key", "HKLM\\Software\\Kelt"}, 1, "", "error 5 (ERROR_ACCESS_DENIED"},
        {{"reg", "delete", "--key", "params"}, 0, "deleted key params and its 2 values\n"},
        {{"reg", "list", "params"}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "set", "HKCU/Empty", "x", "1"}, 0, ""},
        {{"reg", "delete", "HKCU/Empty", "x"}, 0, ""},
        {{"reg", "delete", "-f", "HKCU/Empty"}, 0, "deleted key HKCU/Empty and its 0 values\n"},
        {{"reg", "delete", "-f", "HKCU/Empty"}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
    };
    for (const Call& call : kCalls) Check(call);
}

// A key written one way is the same key written any other way.
TEST(TmctlTest, KeyPathsAndTypeNames) {
    const Call kCalls[] = {
        {{"reg", "set", "HKEY_LOCAL_MACHINE\\Software\\Paths", "A", "1"}, 0, ""},
        {{"reg", "query", "HKLM/Software/Paths", "A"}, 0, "1\n"},
        {{"reg", "query", "hklm\\software\\paths", "A"}, 0, "1\n"},
        {{"reg", "query", "/HKLM//Software/Paths/", "A"}, 0, "1\n"},
        {{"reg", "query", "Software/Paths", "A"}, 0, "1\n"},
        {{"reg", "set", "--type", "REG_DWORD", "HKLM/Software/Paths", "N", "0x10"}, 0, ""},
        {{"reg", "set", "--type", "reg_expand_sz", "HKLM/Software/Paths", "E", "%ROOT%/x"}, 0, ""},
        {{"reg", "set", "--type", "MULTI_SZ", "HKLM/Software/Paths", "M", "one", "two"}, 0, ""},
        {{"reg", "set", "--type", "REG_BINARY", "HKLM/Software/Paths", "B", "0a0b"}, 0, ""},
        {{"reg", "query", "HKLM/Software/Paths", "M"}, 0, "one\ntwo\n"},
        {{"reg", "list", "HKLM/Software/Paths"}, 0,
         "A\tREG_SZ\t1\nN\tREG_DWORD\t0x10\nE\tREG_EXPAND_SZ\t%ROOT%/x\nM\tREG_MULTI_SZ\tone | two\nB\tREG_BINARY\t0a 0b\n"},
        // Without NAME, query lists the key.
        {{"reg", "query", "HKLM/Software/Paths"}, 0,
         "A\tREG_SZ\t1\nN\tREG_DWORD\t0x10\nE\tREG_EXPAND_SZ\t%ROOT%/x\nM\tREG_MULTI_SZ\tone | two\nB\tREG_BINARY\t0a 0b\n"},
        // An existing value keeps its type unless --type names another.
        {{"reg", "set", "HKLM/Software/Paths", "N", "17"}, 0, ""},
        {{"reg", "set", "HKLM/Software/Paths", "N", "x17"}, 2, "", "not a 32-bit number: x17"},
        {{"reg", "set", "HKLM/Software/Paths", "B", "ff"}, 0, ""},
        {{"reg", "set", "HKLM/Software/Paths", "M", "three", "four", "five"}, 0, ""},
        {{"reg", "set", "HKLM/Software/Paths", "E", "%OTHER%"}, 0, ""},
        {{"reg", "set", "HKLM/Software/Paths", "A", "two", "words"}, 2, "", "a REG_SZ value takes one VALUE"},
        {{"reg", "set", "HKLM/Software/Paths", "M", "a", ""}, 2, "", "item 2 is empty"},
        {{"reg", "list", "HKLM/Software/Paths"}, 0,
         "A\tREG_SZ\t1\nN\tREG_DWORD\t0x11\nE\tREG_EXPAND_SZ\t%OTHER%\nM\tREG_MULTI_SZ\tthree | four | five\n"
         "B\tREG_BINARY\tff\n"},
        {{"reg", "set", "--type", "sz", "HKLM/Software/Paths", "N", "text"}, 0, ""},
        {{"reg", "query", "HKLM/Software/Paths", "N"}, 0, "text\n"},
        {{"reg", "set", "--type", "REG_LINK", "HKLM/Software/Paths", "L", "x"}, 2, "", "unknown type 'REG_LINK'"},
        {{"reg", "query", "HKEY_SOMEWHERE/x"}, 2, "", "unknown root"},
    };
    for (const Call& call : kCalls) Check(call);
    // A type reg set cannot write is not silently replaced.
    CRegistry reg;
    ASSERT_EQ(reg.OpenKey(HKEY_LOCAL_MACHINE, "Software\\Paths", KEY_READ | KEY_WRITE), 0);
    const BYTE eight[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(RegSetValueExA(reg.m_hKey, "Q", 0, REG_QWORD, eight, 8), 0);
    Check({{"reg", "set", "HKLM/Software/Paths", "Q", "2"}, 2, "", "value 'Q' is REG_QWORD, which reg set does not write"});
    Check({{"reg", "query", "HKLM/Software/Paths", "Q"}, 0, "01 00 00 00 00 00 00 00\n"});
}

// Numbers and bytes read the same in query, list and dump; list and dump
// escape what would break their lines, query prints a string as it is.
TEST(TmctlTest, QueryListAndDumpAgree) {
    struct Case { DWORD type; std::string data; std::string query; std::string shown; };
    const Case kCases[] = {
        {REG_DWORD, std::string("\xff\0\0\0", 4), "0xff", "0xff"},
        {REG_DWORD, std::string("\x2a\x01", 2), "0x12a", "0x12a"},
        {REG_BINARY, std::string("\0\xff\x10", 3), "00 ff 10", "00 ff 10"},
        {REG_SZ, std::string("a\tb\xe9\0", 5), "a\tb\xe9", "a\\x09b\\xe9"},
    };
    for (const Case& c : kCases) {
        const std::string key = "HKLM/Software/Agree";
        CRegistry reg;
        ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, "Software\\Agree", KEY_READ | KEY_WRITE, 0), 0);
        ASSERT_EQ(RegSetValueExA(reg.m_hKey, "V", 0, c.type, reinterpret_cast<const BYTE*>(c.data.data()),
                                 static_cast<DWORD>(c.data.size())), 0);
        Check({{"reg", "query", key, "V"}, 0, c.query + "\n"});
        ProcessResult list = Tmctl({"reg", "list", key});
        EXPECT_EQ(list.out.substr(list.out.rfind('\t') + 1), c.shown + "\n") << c.query;
        ProcessResult dump = Tmctl({"reg", "dump", key});
        EXPECT_NE(dump.out.find(") : " + c.shown + "\n"), std::string::npos) << dump.out;
        ASSERT_EQ(reg.DeleteValue("V"), 0);
    }
}

const std::string kListKey = "HKLM/Software/ListTest";

// Items are stored as a multi-string and read back one per line; another
// type is read as a list, with a note.
TEST(TmctlTest, Lists) {
    const Call kCalls[] = {
        {{"reg", "list-set", kListKey, "Domains", " spaced out ", "*.d.e"}, 0, ""},
        {{"reg", "list-get", kListKey, "Domains"}, 0, " spaced out \n*.d.e\n"},
        {{"reg", "list-set", kListKey, "Domains", "x"}, 0, ""},
        {{"reg", "list-get", kListKey, "Domains"}, 0, "x\n"},
        {{"reg", "list-set", kListKey, "Domains", "one", "", "three"}, 2, "", "item 2 is empty"},
        {{"reg", "list-get", kListKey, "Domains"}, 0, "x\n"},
        {{"reg", "list-get", kListKey, "Missing"}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "list-get", "HKLM\\Software\\Nowhere", "Kept"}, 1, "", "key HKLM\\Software\\Nowhere: error 2"},
        {{"reg", "list-get", kListKey}, 2, "", "tmctl reg list-get KEY NAME"},
        {{"reg", "set", kListKey, "Text", "abc"}, 0, ""},
        {{"reg", "list-get", kListKey, "Text"}, 0, "abc\n", "not a multi-string value"},
    };
    for (const Call& call : kCalls) Check(call);
}

TEST(TmctlTest, LogAndEnv) {
    std::string dir = MakeDir("tmctl-log");
    Check({{"log", "--dir", dir, "an operator's line"}, 0});
    std::string all;
    for (auto& e : std::filesystem::directory_iterator(dir)) all += ReadFile(e.path());
    EXPECT_NE(all.find("tmctl    ~ "), std::string::npos) << all;
    EXPECT_NE(all.find(" an operator's line\r\n"), std::string::npos) << all;
    // A line that was not written is a failure that says why.
    char today[32];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(today, sizeof today, "/TM%y%m%d.log", &local);
    std::string blocked = MakeDir("tmctl-blocked"), tooLong = "/" + std::string(300, 'd');
    ASSERT_EQ(mkdir((blocked + today).c_str(), 0755), 0);  // a directory with the day file's name
    const Call kFailures[] = {
        {{"log", "--dir", dir + "/missing", "x"}, 1, std::nullopt, "log directory " + dir + "/missing/ does not exist"},
        {{"log", "--dir", blocked, "x"}, 1, std::nullopt, "not written to the log in " + blocked + "/: error 5 (ERROR_ACCESS_DENIED"},
        {{"log", "--dir", tooLong, "x"}, 1, std::nullopt, "the log directory " + tooLong + " was refused"},
        {{"log", "--dir", dir, "--type", "0x400", "x"}, 1, std::nullopt, "event type 0x400 is not in the main log's mask"},
        {{"log", "--dir", "", "x"}, 2, std::nullopt, "the log directory is empty"},
    };
    for (const Call& call : kFailures) Check(call);
    if (geteuid() != 0) {  // permissions do not stop root
        std::string readOnly = MakeDir("tmctl-read-only");
        WriteFile(readOnly + today, "");
        ASSERT_EQ(chmod((readOnly + today).c_str(), 0444), 0);
        Check({{"log", "--dir", readOnly, "x"}, 1, std::nullopt, "error 5 (ERROR_ACCESS_DENIED"});
        ASSERT_EQ(chmod(readOnly.c_str(), 0555), 0);
        Check({{"log", "--web", "--dir", readOnly, "x"}, 1, std::nullopt, "error 5 (ERROR_ACCESS_DENIED"});
        chmod(readOnly.c_str(), 0755);
    }
    ProcessResult env = Tmctl({"env"});
    EXPECT_EQ(env.exitCode, 0);
    EXPECT_NE(env.out.find("registry:       " + SandboxDir() + "/registry.db"), std::string::npos) << env.out;
}

}  // namespace
}  // namespace tmtest
