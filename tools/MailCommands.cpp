//===-- tools/MailCommands.cpp - tmctl match, addr parse|valid|email|local -===//
//
// The matcher and the address functions as the server uses them, for
// operators who write LocalDomainsEx patterns or wonder why a bounce went
// where it went. "addr local" names the entry that decided.
//===----------------------------------------------------------------------===//
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>

#include "Tmctl.h"

namespace tmctl {
namespace {

// The subject of "match": the argument, or standard input for "-".
bool ReadSubject(const std::string& arg, std::string* subject) {
    if (arg != "-") {
        *subject = arg;
        return true;
    }
    subject->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return !std::cin.bad();
}

int Match(const std::vector<std::string>& args, bool multiline) {
    std::string pattern = args[0];
    if (multiline) {
        // The two modes cannot be combined: after "_" a "!" is an ordinary
        // character, which is not what anyone writing --multiline '!x' means.
        if (!pattern.empty() && pattern[0] == '!')
            return UsageError("match", "--multiline cannot be combined with a negated pattern ('!...')");
        pattern.insert(0, "_");
    }
    std::string subject;
    if (!ReadSubject(args[1], &subject)) {
        fprintf(stderr, "tmctl: cannot read the subject from standard input\n");
        return kFailed;
    }
    if (subject.find('\0') != std::string::npos) {
        fprintf(stderr, "tmctl: the subject holds a zero byte; the matcher sees the text before it\n");
        subject.resize(subject.find('\0'));
    }
    char* end = nullptr;
    const int result = WildcardMatch(subject.data(), pattern.c_str(), &end);
    printf("%d\n", result);
    return result != 0 ? kOk : kFailed;
}

int Parse(const std::vector<std::string>& args) {
    std::string text = args[0];
    CString address;
    ParseAddress(text.data(), address);
    if (address.IsEmpty()) {
        fprintf(stderr, "tmctl: no address in the text\n");
        return kFailed;
    }
    printf("%s\n", static_cast<const char*>(address));
    return kOk;
}

int Valid(const std::vector<std::string>& args) {
    if (IsValidAddress(args[0].c_str())) {
        printf("valid\n");
        return kOk;
    }
    printf("not valid: empty, holds ';', or begins or ends with a quote\n");
    return kFailed;
}

int Email(const std::vector<std::string>& args) {
    std::string address = args[0];
    if (IsValidEmailAddress(address.data())) {
        printf("valid\n");
        return kOk;
    }
    printf("not valid: needs an '@' with a '.' somewhere after it\n");
    return kFailed;
}

bool Matches(const std::string& subject, const char* pattern) {
    std::string copy = subject;
    char* end = nullptr;
    return WildcardMatch(copy.data(), pattern, &end) != 0;
}

// The decision of IsLocalAddress, told in words; the verdict itself comes
// from the library.
std::string ExplainLocal(const std::string& address, int* verdictSeen) {
    const size_t at = address.find('@');
    if (at == std::string::npos) {
        *verdictSeen = 1;
        return "no domain (no '@'): local without reading the registry";
    }
    const std::string domain = address.substr(at + 1);
    CRegistry reg;
    LONG rc = reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, TM_KEY_READ_WRITE);
    *verdictSeen = 0;
    if (rc != ERROR_SUCCESS) {
        return "the parameters key cannot be opened for reading and writing (error " + std::to_string(rc) +
               ", " + DescribeWin32Error(static_cast<DWORD>(rc)) + ")";
    }
    CStringArray entries;
    DWORD type = 0;
    rc = reg.QueryValue("LocalDomainsEx", entries, &type);
    if (rc == ERROR_FILE_NOT_FOUND) return "LocalDomainsEx is not set";
    if (rc != ERROR_SUCCESS) {
        return "LocalDomainsEx cannot be read (error " + std::to_string(rc) + ", " +
               DescribeWin32Error(static_cast<DWORD>(rc)) + ")";
    }
    if (entries.GetSize() == 0) return "LocalDomainsEx holds no entry";
    std::string plain;
    for (int i = 0; i < entries.GetSize(); ++i) {
        const char* entry = entries[i];
        const bool exclusion = entry[0] == '!';
        const char* pattern = exclusion ? entry + 1 : entry;
        std::string what;
        if (Matches(domain, pattern)) what = "the domain '" + domain + "'";
        else if (Matches(address, pattern)) what = "the address";
        else continue;
        const std::string said = "entry " + std::to_string(i + 1) + " '" + entry + "' matches " + what;
        if (exclusion) {
            *verdictSeen = 0;
            return "exclusion " + said;
        }
        if (plain.empty()) plain = said;
        *verdictSeen = 1;
    }
    if (!plain.empty()) return plain + "; no exclusion matches";
    return "none of the " + std::to_string(entries.GetSize()) + " entries of LocalDomainsEx matches";
}

int Local(const std::vector<std::string>& args) {
    std::string address = args[0];
    const int local = IsLocalAddress(address.data());
    int seen = local;
    const std::string why = ExplainLocal(args[0], &seen);
    printf("%s: %s\n", local ? "local" : "not local", why.c_str());
    if (seen != local) fprintf(stderr, "tmctl: LocalDomainsEx changed while it was read; ask again\n");
    return local ? kOk : kFailed;
}

const char kPatternHelp[] =
    "Patterns: '*' any run of characters, '?' one character but CR or LF,\n"
    "'[a-z]' and '[^a-z]' classes (case counts), '^' the start or a CR LF,\n"
    "a backslash takes the next character literally; other characters match\n"
    "without regard to case. A leading '!' inverts the match. The value\n"
    "printed is 1 plus the characters the first inner '*' absorbed.\n\n"
    "--multiline matches each CR LF line of the subject on its own (as a\n"
    "leading '_' does). SUBJECT '-' reads the subject from standard input;\n"
    "in the shell, $'a\\r\\nb' writes CR LF. Exit status 0 on a match, 1 otherwise.";

const char kLocalHelp[] =
    "An address is local when it has no '@', or when a plain entry of the\n"
    "multi-string value LocalDomainsEx (parameters key) matches its domain or\n"
    "the whole address and no '!' exclusion entry does. Entries are patterns\n"
    "as for 'tmctl match'. Exit status 0 when local, 1 otherwise.";

class MatchCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_flag("--multiline", m_multiline, "match each CR LF line of SUBJECT on its own");
        app.add_option("PATTERN", m_args[0], "the wildcard pattern")->required();
        app.add_option("SUBJECT", m_args[1], "the text, or - for the standard input")->required();
    }
    int Run() override { return Match(m_args, m_multiline); }

private:
    bool m_multiline = false;
    std::vector<std::string> m_args = std::vector<std::string>(2);
};

// An address command: one ADDRESS.
template <int (*Run_)(const std::vector<std::string>&)>
class AddressCommand final : public Command {
public:
    void Define(CLI::App& app) override { app.add_option("ADDRESS", m_args[0], "the address")->required(); }
    int Run() override { return Run_(m_args); }

private:
    std::vector<std::string> m_args = std::vector<std::string>(1);
};

class ParseCommand final : public Command {
public:
    void Define(CLI::App& app) override { app.add_option("TEXT", m_args[0], "a header's value")->required(); }
    int Run() override { return Parse(m_args); }

private:
    std::vector<std::string> m_args = std::vector<std::string>(1);
};

}  // namespace

TMCTL_COMMAND(MatchCommand, "match", "[--multiline] PATTERN SUBJECT", "match a subject against a wildcard pattern",
              kPatternHelp);
TMCTL_COMMAND(ParseCommand, "addr parse", "TEXT", "print the address of a header value (after '<', else the first word)",
              "At most 80 characters, from the first logical line (folded lines go on).");
TMCTL_COMMAND(AddressCommand<Valid>, "addr valid", "ADDRESS", "tell whether an address is acceptable (not empty, no ';', not quoted)",
              "");
TMCTL_COMMAND(AddressCommand<Email>, "addr email", "ADDRESS", "tell whether an address has an '@' with a '.' after it", "");
TMCTL_COMMAND(AddressCommand<Local>, "addr local", "ADDRESS", "tell whether an address is local, and which LocalDomainsEx entry decided",
              kLocalHelp);

}  // namespace tmctl
