//===-- tests/tools/TmctlTest.cpp - The operators' command-line tool ------===//

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
        {{"--bogus"}, 2, "", "unknown option '--bogus'"},
        {{"reg", "query", "--bogus=1", "params"}, 2, "", "unknown option '--bogus'\nusage:\n  tmctl reg query"},
        {{"reg", "query", "params", "x", "y"}, 2, "", "unexpected argument 'y'"},
        {{"reg", "set", "params", "x"}, 2, "", "VALUE is required"},
        // "--" ends the options: what follows is an argument however it looks.
        {{"match", "--", "--multiline", "--MULTILINE"}, 0, "1\n"},
        {{"match", "--multiline", "--", "-x", "-X"}, 0, "1\n"},
        {{"match", "--", "-a", "-b", "-c"}, 2, "", "unexpected argument '-c'"},
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
        std::vector<std::string> words, helpOf = {"help"};
        std::istringstream in(name);
        for (std::string w; in >> w;) words.push_back(w), helpOf.push_back(w);
        auto with = [&](const char* option) { auto args = words; args.push_back(option); return args; };
        ProcessResult help = Tmctl(with("--help"));
        EXPECT_EQ(help.exitCode, 0) << name;
        EXPECT_EQ(help.out.rfind("usage: tmctl " + name, 0), 0u) << name << "\n" << help.out;
        EXPECT_NE(help.out.find("-h, --help"), std::string::npos) << name;
        EXPECT_EQ(Tmctl(with("-h")).out, help.out) << name;
        // "help log" shows the whole family, "log --help" the one command.
        if (name != "log") {
            EXPECT_EQ(Tmctl(helpOf).out, help.out) << name;
        }
        ExpectWithin80Columns(help.out, name);
        ProcessResult refused = Tmctl(with("--no-such-option"));
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

    const std::pair<std::string, std::string> kCases[] = {
        {"tmctl re", "reg"},
        {"tmctl reg set --t", "--type"},
        {"tmctl reg set --type REG_D", "REG_DWORD"},
        {"tmctl log tail --fo", "--follow"},
        {"tmctl --vers", "--version"},
    };
    const std::string script = "source '" + completion + "'; compopt() { :; }; read -ra COMP_WORDS <<< \"$1\"; "
                               "[[ $1 == *' ' ]] && COMP_WORDS+=(''); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                               "_tmctl; echo \"${COMPREPLY[*]}\"";
    for (const auto& [words, expected] : kCases) {
        ProcessResult r = RunProgram("/bin/bash", {"-c", script, "bash", words});
        EXPECT_EQ(r.out, expected + "\n") << words << "\n" << r.err;
    }
}

// One key through set, query, list, delete and the list commands: a key
// written one way is the same key written any other way, a value keeps its
// type unless --type names another, and a key goes only when asked for.
TEST(TmctlTest, ValueCommands) {
    const std::string key = "HKLM/Software/Paths", all = "A\tREG_SZ\t1\nN\tREG_DWORD\t0x10\nE\tREG_EXPAND_SZ\t%ROOT%/x\n"
                                                          "M\tREG_MULTI_SZ\tone | two\nB\tREG_BINARY\t00 ff 10\n";
    const Call kCalls[] = {
        {{"reg", "set", "HKEY_LOCAL_MACHINE\\Software\\Paths", "A", "1"}, 0, ""},
        {{"reg", "query", "hklm\\software\\paths", "A"}, 0, "1\n"},
        {{"reg", "query", "/HKLM//Software/Paths/", "A"}, 0, "1\n"},
        {{"reg", "query", "Software/Paths", "A"}, 0, "1\n"},
        {{"reg", "set", "--type", "REG_DWORD", key, "N", "0x10"}, 0, ""},
        {{"reg", "set", "--type", "reg_expand_sz", key, "E", "%ROOT%/x"}, 0, ""},
        {{"reg", "set", "--type", "MULTI_SZ", key, "M", "one", "two"}, 0, ""},
        {{"reg", "set", "--type", "binary", key, "B", "00 ff:10"}, 0, ""},
        {{"reg", "query", key, "M"}, 0, "one\ntwo\n"},
        {{"reg", "list", key}, 0, all},
        {{"reg", "query", key}, 0, all},
        {{"reg", "list", "HKEY_LOCAL_MACHINE\\Software"}, 0, std::nullopt, "", "Paths\\\n"},
        {{"reg", "set", key, "N", "17"}, 0, ""},
        {{"reg", "set", key, "N", "x17"}, 2, "", "not a 32-bit number: x17"},
        {{"reg", "set", key, "M", "three", "four"}, 0, ""},
        {{"reg", "set", key, "A", "two", "words"}, 2, "", "a REG_SZ value takes one VALUE"},
        {{"reg", "set", key, "M", "a", ""}, 2, "", "item 2 is empty"},
        {{"reg", "set", key, "B", "ff"}, 0, ""},
        {{"reg", "list", key}, 0, "A\tREG_SZ\t1\nN\tREG_DWORD\t0x11\nE\tREG_EXPAND_SZ\t%ROOT%/x\n"
                                  "M\tREG_MULTI_SZ\tthree | four\nB\tREG_BINARY\tff\n"},
        {{"reg", "set", "--type", "sz", key, "N", "text"}, 0, ""},
        {{"reg", "query", key, "N"}, 0, "text\n"},
        {{"reg", "set", "--type", "REG_LINK", key, "L", "x"}, 2, "", "unknown type 'REG_LINK'"},
        {{"reg", "list-set", key, "Domains", " spaced out ", "*.d.e"}, 0, ""},
        {{"reg", "list-get", key, "Domains"}, 0, " spaced out \n*.d.e\n"},
        {{"reg", "list-set", key, "Domains", "one", "", "three"}, 2, "", "item 2 is empty"},
        {{"reg", "list-get", key, "A"}, 0, "1\n", "not a multi-string value"},
        {{"reg", "list-get", key, "Missing"}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "list-get", "HKLM\\Software\\Nowhere", "Kept"}, 1, "", "key HKLM\\Software\\Nowhere: error 2"},
        {{"reg", "delete", key, "A"}, 0},
        {{"reg", "query", key, "A"}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "delete", key}, 2, "", "needs --key"},
        {{"reg", "delete", "--key", key, "N"}, 2, "", "takes no NAME"},
        {{"reg", "delete", "--key", "HKLM\\Software"}, 1, "", "error 5 (ERROR_ACCESS_DENIED"},
        {{"reg", "delete", "-f", key}, 0, "deleted key " + key + " and its 5 values\n"},
        {{"reg", "delete", "--key", key}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
    };
    for (const Call& call : kCalls) Check(call);
}

// Numbers and bytes read the same in query, list and dump; list and dump
// escape what would break their lines, query prints a string as it is; a
// type reg set cannot write is shown, and not silently replaced.
TEST(TmctlTest, QueryListAndDumpAgree) {
    struct Case { DWORD type; std::string data; std::string query; std::string shown; };
    const Case kCases[] = {
        {REG_DWORD, std::string("\xff\0\0\0", 4), "0xff", "0xff"},
        {REG_DWORD, std::string("\x2a\x01", 2), "0x12a", "0x12a"},
        {REG_SZ, std::string("a\tb\xe9\0", 5), "a\tb\xe9", "a\\x09b\\xe9"},
        {REG_QWORD, std::string("\1\0\0\0\0\0\0\0", 8), "01 00 00 00 00 00 00 00", "01 00 00 00 00 00 00 00"},
    };
    const std::string key = "HKLM/Software/Agree";
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, "Software\\Agree", KEY_READ | KEY_WRITE, 0), 0);
    for (const Case& c : kCases) {
        ASSERT_EQ(RegSetValueExA(reg.m_hKey, "V", 0, c.type, reinterpret_cast<const BYTE*>(c.data.data()),
                                 static_cast<DWORD>(c.data.size())), 0);
        Check({{"reg", "query", key, "V"}, 0, c.query + "\n"});
        Check({{"reg", "list", key}, 0, std::nullopt, "", "\t" + c.shown + "\n"});
        Check({{"reg", "dump", key}, 0, std::nullopt, "", ") : " + c.shown + "\n"});
    }
    Check({{"reg", "set", key, "V", "2"}, 2, "", "value 'V' is REG_QWORD, which reg set does not write"});
}

}  // namespace
}  // namespace tmtest
