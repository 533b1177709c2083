//===-- tests/tools/ServiceCommandsTest.cpp - tmctl service, tmctl dll ----===//
#include <filesystem>

#include "tools/ToolSupport.h"

namespace tmtest {
namespace {

const std::string kTools = TM_TOOLS_DIR;
const std::vector<std::string> kWin95 = {"TAMARAK_TEST_PLATFORM_ID=1"};

TEST(ServiceCommandsTest, InstallListRemoveOnBothPlatforms) {
    struct Step { std::vector<std::string> env; Call call; };
    const Step kSteps[] = {
        {{}, {{"service", "install", "TmCtl", "Tamarak Mail"}, 0, "installed TmCtl: " + kTools + "/tmarksvc\n"}},
        {{}, {{"service", "install", "TmCtl", "Other"}, 1, "", "error 1073 (ERROR_SERVICE_EXISTS"}},
        {{}, {{"service", "install", "TmCtl2", "Tamarak Mail"}, 1, "", "error 1078 (ERROR_DUPLICATE_SERVICE_NAME"}},
        {{}, {{"service", "list"}, 0, "TmCtl\tTamarak Mail\tauto\t" + kTools + "/tmarksvc\n"}},
        {{}, {{"service", "remove", "TmCtl"}, 0, "removed TmCtl\n"}},
        {{}, {{"service", "remove", "TmCtl"}, 1, "", "error 1060 (ERROR_SERVICE_DOES_NOT_EXIST"}},
        {kWin95, {{"service", "install", "TmCtl95", "unused"}, 0, "installed TmCtl95: \"" + kTools + "/tmark95s\" -service\n"}},
        {kWin95, {{"service", "list"}, 0, "TmCtl95\t\"" + kTools + "/tmark95s\" -service\n"}},
        {{}, {{"service", "list"}, 0, ""}},
        {kWin95, {{"service", "remove", "TmCtl95"}, 0, "removed TmCtl95\n"}},
        {kWin95, {{"service", "list"}, 0, ""}},
        {{}, {{"service", "install", "OnlyName"}, 2, "", "  tmctl service install NAME DISPLAY-NAME"}},
    };
    for (const Step& s : kSteps) Check(s.call, {}, s.env);
}

TEST(ServiceCommandsTest, DllStatusNamesWhatIsMissing) {
    Check({{"dll", "status"}, 0,
           "TMSCRIPT.DLL: not loaded: error 126 (ERROR_MOD_NOT_FOUND: the library was not found)\n"
           "RASAPI32.DLL: not loaded: error 126 (ERROR_MOD_NOT_FOUND: the library was not found)\n"});
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
