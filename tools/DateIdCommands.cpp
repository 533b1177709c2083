//===-- tools/DateIdCommands.cpp - tmctl date parse|now, tmctl id ... -----===//
//
// Header dates as the library reads them and the Date header it writes;
// the installation's counter, identifiers, Message-Ids and host name.
//===----------------------------------------------------------------------===//
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "Tmctl.h"

namespace tmctl {
namespace {


std::string JoinWords(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : " ") + w;
    return text;
}

int DateParse(const std::vector<std::string>& args) {
    // An unquoted date arrives as several words.
    std::string text = JoinWords(args);
    time_t value = tm_getdate(text.c_str());
    if (value == 0) {
        printf("0\n");
        fprintf(stderr,
                "tmctl: '%s' gives 0: not a date the library can read (too short, or no month "
                "name), or one outside 1970-01-01 .. 2038-01-19 03:14:07 UTC\n",
                text.c_str());
        return kFailed;
    }
    struct tm utc;
    char when[64] = "";
    if (gmtime_r(&value, &utc)) strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
    printf("%lld\t%s\n", static_cast<long long>(value), when);
    return kOk;
}

int DateNow() {
    char buffer[64];
    const char* text = GetInternetTimeString(buffer, sizeof buffer);
    if (text != buffer) {
        fprintf(stderr, "tmctl: the current time cannot be formatted (%s)\n", text);
        return kFailed;
    }
    printf("%s\n", text);
    return kOk;
}

// LastId as stored, for telling a wrapped counter's 0 from a failure.
LONG ReadLastId(DWORD* value) {
    CRegistry reg;
    LONG rc = reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_READ);
    if (rc != ERROR_SUCCESS) return rc;
    DWORD size = sizeof *value, type = 0;
    rc = reg.QueryValue("LastId", value, &size, &type);
    if (rc == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof *value)) rc = ERROR_INVALID_DATA;
    return rc;
}

int IdNext() {
    // The library gives 0 for a key it cannot open; an operator is told why.
    {
        CRegistry reg;
        LONG rc = reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, TM_KEY_READ_WRITE, 0);
        if (rc != ERROR_SUCCESS) return Win32Failure("parameters key", rc);
    }
    DWORD number = GetNextId();
    DWORD stored = 0xFFFFFFFF;
    if (number == 0 && (ReadLastId(&stored) != ERROR_SUCCESS || stored != 0)) {
        fprintf(stderr, "tmctl: no number was handed out: the counter LastId could not be read "
                        "or stored under the installation mutex\n");
        return kFailed;
    }
    printf("%u\n", static_cast<unsigned>(number));
    return kOk;
}

int IdGuid(bool fields) {
    GUID guid;
    memset(&guid, 0, sizeof guid);
    CreateGuid(&guid);
    const BYTE* d = guid.Data4;
    printf("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}\n", static_cast<unsigned>(guid.Data1),
           guid.Data2, guid.Data3, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
    if (fields) {
        printf("number:  %u\n", static_cast<unsigned>(guid.Data1));
        printf("tick:    %u\n", static_cast<unsigned>(guid.Data2 | (DWORD(guid.Data3) << 16)));
        printf("local:   %02u-%02u-%02u %02u:%02u:%02u (yy-mm-dd)\n", d[2], d[1], d[0], d[3], d[4], d[5]);
        printf("random:  %02x %02x\n", d[6], d[7]);
    }
    return kOk;
}

int IdMessageId(const std::vector<std::string>& args) {
    CString host;
    if (args.empty()) {
        GetHostName(host);
    } else {
        host = args[0].c_str();
    }
    // Room for the whole host: the library cuts what does not fit.
    std::vector<char> buffer(34 + static_cast<size_t>(host.GetLength()) + 1);
    printf("%s\n", GetMessageId(buffer.data(), static_cast<int>(buffer.size()), host));
    return kOk;
}

int IdHost() {
    CString name;
    GetHostName(name);
    printf("%s\n", static_cast<const char*>(name));
    return kOk;
}

class DateParseCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_option("TEXT", m_words, "the Date header's value, quoted or as several words")->required();
    }
    int Run() override { return DateParse(m_words); }

private:
    std::vector<std::string> m_words;
};

// A command without arguments.
template <int (*Run_)()>
class PlainCommand final : public Command {
public:
    void Define(CLI::App&) override {}
    int Run() override { return Run_(); }
};

class IdGuidCommand final : public Command {
public:
    void Define(CLI::App& app) override { app.add_flag("--fields", m_fields, "show what the identifier holds"); }
    int Run() override { return IdGuid(m_fields); }

private:
    bool m_fields = false;
};

class IdMessageIdCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        m_hostOption = app.add_option("HOST", m_host, "the host text (default: the host name)");
    }
    int Run() override {
        return IdMessageId(m_hostOption->count() ? std::vector<std::string>{m_host} : std::vector<std::string>{});
    }

private:
    std::string m_host;
    CLI::Option* m_hostOption = nullptr;
};

}  // namespace

TMCTL_COMMAND(DateParseCommand, "date parse", "TEXT", "read a Date header's value: the time value and its instant in UTC",
              "TEXT is the value of a Date header, e.g. 'Tue, 14 Mar 2000 10:20:30 +0100'\n"
              "(quoted, or as several words). The wall-clock time is read as this\n"
              "machine's local standard time and moved by the header's zone, so the\n"
              "value is the true instant only where standard time is UTC. Fails (with\n"
              "the value 0) for a text that does not reach the minutes or has no month\n"
              "name (logged as \"Invalid format date\"), and for a date outside\n"
              "1970-01-01 .. 2038-01-19 03:14:07 UTC.");
TMCTL_COMMAND(PlainCommand<DateNow>, "date now", "", "print the current local time as a Date header writes it",
              "As in 'Fri, 4 Dec 2026 09:32:16 +0100': the day without a leading zero, the\n"
              "offset from UTC of the local time zone (TZ, else the machine's).");
TMCTL_COMMAND(PlainCommand<IdNext>, "id next", "", "take the next number of the installation's counter (LastId)",
              "The counter runs 1 .. 1048575 (0xFFFFF), then 0, and is shared by every\n"
              "process of the installation through the installation mutex.");
TMCTL_COMMAND(IdGuidCommand, "id guid", "[--fields]", "make a unique identifier (takes a number of the counter)",
              "Printed as {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}. Its 16 bytes hold the\n"
              "counter's number, the millisecond tick count, the local date and time and\n"
              "two random bytes; --fields shows them one by one.");
TMCTL_COMMAND(IdMessageIdCommand, "id msgid", "[HOST]", "make a Message-Id text (takes a number of the counter)",
              "32 hexadecimal digits, '@', then HOST with every '@' written as '.'.\n"
              "Without HOST, the host name of 'tmctl id host'.");
TMCTL_COMMAND(PlainCommand<IdHost>, "id host", "", "print the host name the server presents itself under",
              "The value \"hostname\" of the parameters key when there is one, else this\n"
              "machine's name, else 'localhost'.");

}  // namespace tmctl
