//===-- tests/tools/RegTreeCommandsTest.cpp - tmctl reg export ... delete-tree -===//
#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

ProcessResult Tmctl(const std::vector<std::string>& args) { return RunProgram(TmctlPath(), args); }

void Build(const std::string& key) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"reg", "set", key, "Greeting", "hello"},
             {"reg", "set", "--type", "dword", key + "/Sub", "Count", "0x2a"},
             {"reg", "set", "--type", "binary", key + "/Sub/Deeper", "Blob", "00ff"},
         }) {
        ProcessResult r = Tmctl(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
}

TEST(RegTreeCommandsTest, ExportImportAndDump) {
    Build("HKLM/Software/CmdTree/Source");
    const std::string file = SandboxDir() + "/cmd.tree";
    ProcessResult r = Tmctl({"reg", "export", "HKLM/Software/CmdTree/Source", file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFile(file), std::string(">Sub\0>Deeper\0<DCount\0\x2a\0\0\0<SGreeting\0hello\0", 42));
    r = Tmctl({"reg", "import", "HKCU/Restored", file});  // created, and 38 is success
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ProcessResult dump = Tmctl({"reg", "dump", "HKCU\\Restored"});
    EXPECT_EQ(dump.exitCode, 0) << dump.err;
    EXPECT_EQ(dump.out, "\\Sub\n  \\Deeper\n\n  Count (REG_DWORD) : 0x2a\n\nGreeting (REG_SZ) : hello\n\n");
    // A file that ends with its top-level end marker is complete too.
    WriteFile(file, std::string("Sx\0y\0<", 6));
    EXPECT_EQ(Tmctl({"reg", "import", "HKCU/Restored", file}).exitCode, 0);
}

TEST(RegTreeCommandsTest, Failures) {
    Build("HKLM/Software/CmdTree/Fail");
    const std::string bad = SandboxDir() + "/bad.tree";
    WriteFile(bad, std::string("Dn\0\1", 4));
    const std::string missingDir = SandboxDir() + "/no/such/dir/out.tree";
    struct Case { std::vector<std::string> args; int exitCode; const char* inErr; };
    const Case kCases[] = {
        {{"reg", "export", "HKLM/Software/CmdTree/Nowhere", SandboxDir() + "/x.tree"}, 1, "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "export", "HKLM/Software/CmdTree/Fail", missingDir}, 1, "cannot create"},
        {{"reg", "import", "HKLM/Software/CmdTree/Into", SandboxDir() + "/none.tree"}, 1, "cannot open"},
        {{"reg", "import", "HKLM/Software/CmdTree/Into", bad}, 1, "error 13 (ERROR_INVALID_DATA"},
        {{"reg", "dump", "HKLM/Software/CmdTree/Nowhere"}, 1, "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "copy", "HKLM/Software/CmdTree/Nowhere", "HKLM/Software/CmdTree/To"}, 1, "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "copy", "HKLM/Software/CmdTree/Fail", "hklm\\software\\cmdtree\\FAIL\\Sub\\x"}, 2, "lies within the source"},
        {{"reg", "delete-tree", "HKLM/Software/CmdTree/Nowhere"}, 1, "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "delete-tree", "HKLM"}, 2, "a root key cannot be deleted"},
        {{"reg", "export", "params"}, 2, "tmctl reg export KEY FILE"},
    };
    for (const Case& c : kCases) {
        ProcessResult r = Tmctl(c.args);
        const std::string label = c.args[1] + " " + c.args[2];
        EXPECT_EQ(r.exitCode, c.exitCode) << label << "\n" << r.err;
        EXPECT_NE(r.err.find(c.inErr), std::string::npos) << label << "\n" << r.err;
    }
    // Nothing is created for a copy whose source is missing.
    EXPECT_EQ(Tmctl({"reg", "list", "HKLM/Software/CmdTree/To"}).exitCode, 1);
}

TEST(RegTreeCommandsTest, FailedExportKeepsTheOldFile) {
    Build("HKLM/Software/CmdTree/Keep");
    ASSERT_EQ(Tmctl({"reg", "set", "HKLM/Software/CmdTree/Keep", "Big", std::string(20000, 'b')}).exitCode, 0);
    const std::string dir = MakeDir("keep");
    const std::string file = dir + "/keep.tree";
    WriteFile(file, "an earlier export");
    // Files may not grow past 8 KB: the export fails at a write, and the
    // earlier file stays as it was, with no temporary file beside it.
    ProcessResult r = RunProgram("/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 16; exec \"$0\" \"$@\"", TmctlPath(),
                                             "reg", "export", "HKLM/Software/CmdTree/Keep", file});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("error 29 (ERROR_WRITE_FAULT"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(file), "an earlier export");
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir)) entries += !e.path().empty();
    EXPECT_EQ(entries, 1);
    // Without the limit it succeeds; a device is written directly.
    EXPECT_EQ(Tmctl({"reg", "export", "HKLM/Software/CmdTree/Keep", file}).exitCode, 0);
    EXPECT_EQ(ReadFile(file).size(), 20048u);
    ProcessResult out = Tmctl({"reg", "export", "HKLM/Software/CmdTree/Keep", "/dev/stdout"});
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(out.out, ReadFile(file));
}

TEST(RegTreeCommandsTest, CopyAndDeleteTree) {
    Build("HKLM/Software/CmdTree/From");
    ProcessResult r = Tmctl({"reg", "copy", "HKLM/Software/CmdTree/From", "HKU/Copied"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ProcessResult from = Tmctl({"reg", "dump", "HKLM/Software/CmdTree/From"});
    ProcessResult to = Tmctl({"reg", "dump", "HKU/Copied"});
    EXPECT_EQ(to.out, from.out);
    EXPECT_NE(to.out.find("Blob (REG_BINARY) : 00 ff"), std::string::npos) << to.out;

    EXPECT_EQ(Tmctl({"reg", "delete-tree", "HKU/Copied"}).exitCode, 0);
    EXPECT_EQ(Tmctl({"reg", "dump", "HKU/Copied"}).exitCode, 1);

    // A subkey that may not be deleted: the rest goes, and tmctl says so.
    CRegistry from_key;
    ASSERT_EQ(from_key.OpenKey(HKEY_LOCAL_MACHINE, "Software\\CmdTree\\From", KEY_READ), 0);
    ASSERT_EQ(TmRegSetKeyRestriction(from_key.m_hKey, "Sub\\Deeper", KEY_READ | KEY_WRITE), 0);
    ASSERT_EQ(Tmctl({"reg", "set", "HKLM/Software/CmdTree/From/Other", "x", "1"}).exitCode, 0);
    r = Tmctl({"reg", "delete-tree", "HKLM/Software/CmdTree/From"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("not everything below it could be deleted"), std::string::npos) << r.err;
    // Other is gone; the protected key and the keys above it stay, with
    // their values.
    EXPECT_EQ(Tmctl({"reg", "dump", "HKLM/Software/CmdTree/From"}).out,
              "\\Sub\n  \\Deeper\n    Blob (REG_BINARY) : 00 ff\n\n  Count (REG_DWORD) : 0x2a\n\n"
              "Greeting (REG_SZ) : hello\n\n");
}

}  // namespace
}  // namespace tmtest
