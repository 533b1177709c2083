//===-- tests/tools/ReadmeTourTest.cpp - The README's tour, run as written -===//
//
// The shell block under "## A tour of tmctl" in README.md is run whole by
// bash with -e and pipefail, in a directory of its own, with the built
// tmctl first on the path and this test's own registry: every command in
// it must succeed, and a few of its outputs are checked.
//===----------------------------------------------------------------------===//
#include <cstdlib>

#include "tools/ToolSupport.h"

namespace tmtest {
namespace {

// The first ```sh block after the heading, or "" when there is none.
std::string TourScript(const std::string& readme) {
    const size_t heading = readme.find("\n## A tour of tmctl\n"), start = readme.find("\n```sh\n", heading);
    if (heading == std::string::npos || start == std::string::npos || readme.find("\n## ", heading + 1) < start) return "";
    const size_t end = readme.find("\n```\n", start + 7);
    return end == std::string::npos ? "" : readme.substr(start + 7, end + 1 - start - 7);
}

TEST(ReadmeTourTest, RunsAsWritten) {
    const std::string script = TourScript(ReadFile(std::string(TM_TEST_SOURCE_DIR) + "/../README.md"));
    size_t commands = 0;
    for (const std::string& line : SplitLines(script)) commands += line.rfind("tmctl ", 0) == 0;
    ASSERT_GE(commands, 40u) << script;

    const std::string dir = MakeDir("tour");
    const char* path = getenv("PATH");
    ProcessResult r = RunProgram("/bin/bash", {"-eo", "pipefail", "-c", "cd \"$1\"\n" + script, "tour", dir},
                                 {"PATH=" + std::string(TM_TOOLS_DIR) + ":" + (path ? path : "/usr/bin:/bin")});
    ASSERT_EQ(r.exitCode, 0) << "stdout:\n" << r.out << "\nstderr:\n" << r.err;
    for (const char* expected : {"tmctl 1.0", " is a registry already: left as it is\n", "\n0x7f\n", "Name\tREG_SZ\ta test key\n",
                                 "953025630\t2000-03-14 09:20:30 UTC\n", "\nhello, world\n",
                                 "\texternal\tpostmaster@example.com\tsender@remote.org\n", "event outgoing\n", "event queue\n", "\nfile bmr",
                                 "TmMail\tTamarak Mail\tauto\t", "usage: tmctl reg set"}) {
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
    }
}

}  // namespace
}  // namespace tmtest
