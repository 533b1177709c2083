//===-- tests/tools/MailCommandsTest.cpp - tmctl match and addr -----------===//
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

}  // namespace
}  // namespace tmtest
