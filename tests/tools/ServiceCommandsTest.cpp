//===-- tests/tools/ServiceCommandsTest.cpp - tmctl service, tmctl dll ----===//
#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace tmtest {
namespace {

const std::string kTools = TM_TOOLS_DIR;
const std::vector<std::string> kWin95 = {"TAMARAK_TEST_PLATFORM_ID=1"};

ProcessResult Tmctl(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return RunProgram(TmctlPath(), args, env);
}

TEST(ServiceCommandsTest, InstallListRemoveOnBothPlatforms) {
    struct Step { std::vector<std::string> args; std::vector<std::string> env; int exitCode; std::string out; const char* inErr; };
    const Step kSteps[] = {
        {{"service", "install", "TmCtl", "Tamarak Mail"}, {}, 0, "installed TmCtl: " + kTools + "/tmarksvc\n", ""},
        {{"service", "install", "TmCtl", "Other"}, {}, 1, "", "error 1073 (ERROR_SERVICE_EXISTS"},
        {{"service", "install", "TmCtl2", "Tamarak Mail"}, {}, 1, "", "error 1078 (ERROR_DUPLICATE_SERVICE_NAME"},
        {{"service", "list"}, {}, 0, "TmCtl\tTamarak Mail\tauto\t" + kTools + "/tmarksvc\n", ""},
        {{"service", "remove", "TmCtl"}, {}, 0, "removed TmCtl\n", ""},
        {{"service", "list"}, {}, 0, "", ""},
        {{"service", "remove", "TmCtl"}, {}, 1, "", "error 1060 (ERROR_SERVICE_DOES_NOT_EXIST"},
        {{"service", "install", "TmCtl95", "unused"}, kWin95, 0, "installed TmCtl95: \"" + kTools + "/tmark95s\" -service\n", ""},
        {{"service", "list"}, kWin95, 0, "TmCtl95\t\"" + kTools + "/tmark95s\" -service\n", ""},
        {{"service", "list"}, {}, 0, "", ""},
        {{"service", "remove", "TmCtl95"}, kWin95, 0, "removed TmCtl95\n", ""},
        {{"service", "list"}, kWin95, 0, "", ""},
        {{"service", "install", "OnlyName"}, {}, 2, "", "  tmctl service install NAME DISPLAY-NAME"},
    };
    for (const Step& s : kSteps) {
        ProcessResult r = Tmctl(s.args, s.env);
        std::string label = s.args[1] + (s.args.size() > 2 ? " " + s.args[2] : "") + (s.env.empty() ? "" : " (95)");
        EXPECT_EQ(r.exitCode, s.exitCode) << label << "\n" << r.err;
        EXPECT_EQ(r.out, s.out) << label;
        EXPECT_NE(r.err.find(s.inErr), std::string::npos) << label << "\n" << r.err;
    }
}

TEST(ServiceCommandsTest, DllStatusNamesWhatIsMissing) {
    ProcessResult none = Tmctl({"dll", "status"});
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_EQ(none.out,
              "TMSCRIPT.DLL: not loaded: error 126 (ERROR_MOD_NOT_FOUND: the library was not found)\n"
              "RASAPI32.DLL: not loaded: error 126 (ERROR_MOD_NOT_FOUND: the library was not found)\n");
    std::string dir = MakeDir("dll-status");
    std::filesystem::copy_file(TmctlPath(), dir + "/tmctl");
    std::filesystem::copy_file(std::string(TM_PLUGIN_DIR) + "/no-reset/libtmscript.so", dir + "/libtmscript.so");
    std::filesystem::copy_file(std::string(TM_PLUGIN_DIR) + "/no-rasdial/librasapi32.so", dir + "/librasapi32.so");
    ProcessResult some = RunProgram(dir + "/tmctl", {"dll", "status"});
    EXPECT_EQ(some.exitCode, 0) << some.err;
    EXPECT_EQ(some.out, "TMSCRIPT.DLL: loaded from " + dir + "/libtmscript.so\n"
                        "  missing: ResetScript (optional)\n"
                        "RASAPI32.DLL: loaded from " + dir + "/librasapi32.so\n"
                        "  missing: RasDialA\n"
                        "  the features that need the missing entry points do nothing\n");
    EXPECT_FALSE(std::filesystem::exists(dir + "/log")) << "asking writes no log";
}

}  // namespace
}  // namespace tmtest
