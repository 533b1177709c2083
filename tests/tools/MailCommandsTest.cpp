//===-- tests/tools/MailCommandsTest.cpp - match, addr, date and id --------===//
#include <regex>

#include "tmcommon.h"
#include "tools/ToolSupport.h"

namespace tmtest {
namespace {

TEST(MailCommandsTest, MatchAndAddressCommands) {
    const Call kCalls[] = {
        {{"match", "*.example.com", "mail.example.com"}, 0, "5\n"},
        {{"match", "!abc", "ABC"}, 1, "0\n"},
        {{"match", "--multiline", "b*", "a\r\nbc"}, 0, "1\n"},
        {{"match"}, 2, "", "usage:\n  tmctl match [--multiline] PATTERN SUBJECT"},
        {{"match", "--multiline", "!x", "y"}, 2, "", "cannot be combined"},
        {{"addr", "parse", "  Joe Bloggs <j@h.d>"}, 0, "j@h.d\n"},
        {{"addr", "parse", "<>"}, 1, "", "no address"},
        {{"addr", "valid", "joe"}, 0, "valid\n"},
        {{"addr", "valid", "joe;"}, 1, std::nullopt},
        {{"addr", "email", "a@b.c"}, 0, "valid\n"},
        {{"addr", "email", "user@host"}, 1, std::nullopt},
        {{"addr", "email"}, 2, "", "tmctl addr email ADDRESS"},
        {{"addr", "frob", "x"}, 2, "", "unknown command 'addr frob'"},
    };
    for (const Call& call : kCalls) Check(call);
    Check({{"match", "--multiline", "^b?", "-"}, 0, "1\n"}, "a\r\nbc");
    Check({{"match", "a*", "-"}, 0, "1\n", "zero byte"}, std::string("ab\0c", 4));
}

TEST(MailCommandsTest, LocalNamesTheDecidingEntry) {
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    CStringArray list;
    for (const char* entry : {"*.d.e", "!m.d.e", "boss@x.y"}) list.Add(entry);
    ASSERT_EQ(reg.SetValue("LocalDomainsEx", list), 0);
    const Call kCalls[] = {
        {{"addr", "local", "postmaster"}, 0, "local: no domain (no '@'): local without reading the registry\n"},
        {{"addr", "local", "u@w.d.e"}, 0, "local: entry 1 '*.d.e' matches the domain 'w.d.e'; no exclusion matches\n"},
        {{"addr", "local", "u@m.d.e"}, 1, "not local: exclusion entry 2 '!m.d.e' matches the domain 'm.d.e'\n"},
        {{"addr", "local", "BOSS@X.Y"}, 0, "local: entry 3 'boss@x.y' matches the address; no exclusion matches\n"},
        {{"addr", "local", "u@x.y"}, 1, "not local: none of the 3 entries of LocalDomainsEx matches\n"},
    };
    for (const Call& call : kCalls) Check(call);
    ASSERT_EQ(reg.DeleteValue("LocalDomainsEx"), 0);
    Check({{"addr", "local", "u@w.d.e"}, 1, "not local: LocalDomainsEx is not set\n"});
}

// tmctl on a registry of its own (the other tmctl tests list the
// parameters key), on a machine on UTC.
const std::vector<std::string>& Env() {
    static const std::vector<std::string> env = [] {
        const std::string registry = MakeDir("dateid") + "/registry.db";
        EXPECT_EQ(ERROR_SUCCESS, TmRegCreateRegistry(registry.c_str()));
        return std::vector<std::string>{"TAMARAK_REGISTRY=" + registry, "TZ=UTC0"};
    }();
    return env;
}

// The output of a successful run.
std::string Out(const std::vector<std::string>& args) {
    ProcessResult r = Tmctl(args, {}, Env());
    EXPECT_EQ(r.exitCode, 0) << args[1] << "\n" << r.err;
    return r.out;
}

TEST(DateIdCommandsTest, Dates) {
    const Call kCalls[] = {
        {{"date", "parse", "Tue,", "14", "Mar", "2000", "10:20:30", "+0100"}, 0, "953025630\t2000-03-14 09:20:30 UTC\n"},
        {{"date", "parse", "14 Mar 2000 09:20:30 +0000"}, 1, "0\n", "gives 0"},
        {{"date", "parse", "Tue, 19 Jan 2038 03:14:08 GMT"}, 1, "0\n", "outside 1970-01-01"},
        {{"date", "parse"}, 2, "", "usage:\n  tmctl date parse TEXT"},
    };
    for (const Call& call : kCalls) Check(call, {}, Env());
    const std::string now = Out({"date", "now"});
    EXPECT_TRUE(std::regex_match(now, std::regex("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [1-9][0-9]? "
                                                 "[A-Z][a-z]{2} 20[0-9]{2} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] \\+0000\n")))
        << now;
}

TEST(DateIdCommandsTest, Identifiers) {
    EXPECT_EQ(Out({"id", "next"}), "1\n");
    EXPECT_EQ(Out({"id", "next"}), "2\n");
    const std::string guid = Out({"id", "guid", "--fields"});
    EXPECT_TRUE(std::regex_search(
        guid, std::regex("^\\{00000003-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}\nnumber:  3\n")))
        << guid;
    const std::string id = Out({"id", "msgid", "postmaster@d.e"});
    EXPECT_TRUE(std::regex_match(id, std::regex("00000004[0-9a-f]{24}@postmaster\\.d\\.e\n"))) << id;

    Out({"reg", "set", "params", "hostname", "relay.example"});
    EXPECT_EQ(Out({"id", "host"}), "relay.example\n");
    const std::string ownHost = Out({"id", "msgid"});
    EXPECT_TRUE(std::regex_match(ownHost, std::regex("00000005[0-9a-f]{24}@relay\\.example\n"))) << ownHost;
    // A counter past its end wraps to 0, which is a number, not a failure.
    Out({"reg", "set", "--type", "dword", "params", "LastId", "0xFFFFF"});
    EXPECT_EQ(Out({"id", "next"}), "0\n");
}

}  // namespace
}  // namespace tmtest
