//===-- tests/tools/DateIdCommandsTest.cpp - tmctl date ..., tmctl id ... -===//
#include <gtest/gtest.h>

#include <regex>

#include "support/TestSupport.h"

namespace tmtest {
namespace {

// tmctl on a registry of its own (the other tmctl tests list the
// parameters key), on a machine on UTC.
ProcessResult Tmctl(const std::vector<std::string>& args) {
    static const std::string registry = MakeDir("dateid") + "/registry.db";
    return RunProgram(TmctlPath(), args, {"TAMARAK_REGISTRY=" + registry, "TZ=UTC0"});
}

TEST(DateIdCommandsTest, Dates) {
    struct Case { std::vector<std::string> args; int exitCode; const char* out; const char* inErr; };
    const Case kCases[] = {
        {{"date", "parse", "Tue, 14 Mar 2000 10:20:30 +0100"}, 0, "953025630\t2000-03-14 09:20:30 UTC\n", ""},
        {{"date", "parse", "Tue,", "14", "Mar", "2000", "04:20:30", "EST"}, 0, "953025630\t2000-03-14 09:20:30 UTC\n", ""},
        {{"date", "parse", "14 Mar 2000 09:20:30 +0000"}, 1, "0\n", "gives 0"},
        {{"date", "parse", "Tue, 19 Jan 2038 03:14:08 GMT"}, 1, "0\n", "outside 1970-01-01"},
        {{"date", "parse"}, 2, "", "usage:\n  tmctl date parse TEXT"},
    };
    for (const Case& c : kCases) {
        ProcessResult r = Tmctl(c.args);
        std::string label = c.args.size() > 2 ? c.args[2] : c.args[1];
        EXPECT_EQ(r.exitCode, c.exitCode) << label << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << label;
        EXPECT_NE(r.err.find(c.inErr), std::string::npos) << label << "\n" << r.err;
    }
    ProcessResult now = Tmctl({"date", "now"});
    EXPECT_EQ(now.exitCode, 0);
    EXPECT_TRUE(std::regex_match(now.out, std::regex("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [1-9][0-9]? "
                                                     "[A-Z][a-z]{2} 20[0-9]{2} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] \\+0000\n")))
        << now.out;
}

TEST(DateIdCommandsTest, Identifiers) {
    ProcessResult first = Tmctl({"id", "next"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.out, "1\n");
    EXPECT_EQ(Tmctl({"id", "next"}).out, "2\n");

    ProcessResult guid = Tmctl({"id", "guid", "--fields"});
    EXPECT_EQ(guid.exitCode, 0) << guid.err;
    EXPECT_TRUE(std::regex_search(guid.out, std::regex("^\\{00000003-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}\n"
                                                       "number:  3\n")))
        << guid.out;

    ProcessResult id = Tmctl({"id", "msgid", "postmaster@d.e"});
    EXPECT_EQ(id.exitCode, 0) << id.err;
    EXPECT_TRUE(std::regex_match(id.out, std::regex("00000004[0-9a-f]{24}@postmaster\\.d\\.e\n"))) << id.out;

    ASSERT_EQ(Tmctl({"reg", "set", "params", "hostname", "relay.example"}).exitCode, 0);
    EXPECT_EQ(Tmctl({"id", "host"}).out, "relay.example\n");
    ProcessResult ownHost = Tmctl({"id", "msgid"});
    EXPECT_TRUE(std::regex_match(ownHost.out, std::regex("00000005[0-9a-f]{24}@relay\\.example\n"))) << ownHost.out;

    // A counter past its end wraps to 0, which is a number, not a failure.
    ASSERT_EQ(Tmctl({"reg", "set", "--type", "dword", "params", "LastId", "0xFFFFF"}).exitCode, 0);
    ProcessResult wrapped = Tmctl({"id", "next"});
    EXPECT_EQ(wrapped.exitCode, 0) << wrapped.err;
    EXPECT_EQ(wrapped.out, "0\n");

    EXPECT_EQ(Tmctl({"id", "msgid", "a", "b"}).exitCode, 2);
}

}  // namespace
}  // namespace tmtest
