//===-- tests/tools/RegTreeCommandsTest.cpp - tmctl reg export ... delete-tree -===//
#include <filesystem>

#include "tmcommon.h"
#include "tools/ToolSupport.h"

namespace tmtest {
namespace {

const char kDump[] = "\\Sub\n  \\Deeper\n    Blob (REG_BINARY) : 00 ff\n\n  Count (REG_DWORD) : 0x2a\n\n"
                     "Greeting (REG_SZ) : hello\n\n";

// What an export of a tree made by Build says on standard error.
const char kBlobLeftOut[] = "tmctl: note: 1 value was left out: 1 of types the tree file does not carry (REG_BINARY)\n";

void Build(const std::string& key) {
    Check({{"reg", "set", key, "Greeting", "hello"}, 0});
    Check({{"reg", "set", "--type", "dword", key + "/Sub", "Count", "0x2a"}, 0});
    Check({{"reg", "set", "--type", "binary", key + "/Sub/Deeper", "Blob", "00ff"}, 0});
}

TEST(RegTreeCommandsTest, ExportImportAndDump) {
    Build("HKLM/Software/CmdTree/Source");
    const std::string file = SandboxDir() + "/cmd.tree";
    Check({{"reg", "export", "HKLM/Software/CmdTree/Source", file}, 0, "", kBlobLeftOut});
    EXPECT_EQ(ReadFile(file), std::string(">Sub\0>Deeper\0<DCount\0\x2a\0\0\0<SGreeting\0hello\0", 42));
    Check({{"reg", "import", "HKCU/Restored", file}, 0});  // created, and 38 is success
    Check({{"reg", "dump", "HKCU\\Restored"}, 0,
           "\\Sub\n  \\Deeper\n\n  Count (REG_DWORD) : 0x2a\n\nGreeting (REG_SZ) : hello\n\n"});
    // A file that ends with its top-level end marker is complete too.
    WriteFile(file, std::string("Sx\0y\0<", 6));
    Check({{"reg", "import", "HKCU/Restored", file}, 0});
}

TEST(RegTreeCommandsTest, Failures) {
    Build("HKLM/Software/CmdTree/Fail");
    const std::string bad = SandboxDir() + "/bad.tree";
    WriteFile(bad, std::string("Dn\0\1", 4));
    const Call kCalls[] = {
        {{"reg", "export", "HKLM/Software/CmdTree/Nowhere", SandboxDir() + "/x.tree"}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "export", "HKLM/Software/CmdTree/Fail", SandboxDir() + "/no/such/dir/out.tree"}, 1, "", "cannot create"},
        {{"reg", "import", "HKLM/Software/CmdTree/Into", SandboxDir() + "/none.tree"}, 1, "", "cannot open"},
        {{"reg", "import", "HKLM/Software/CmdTree/Into", bad}, 1, "", "error 13 (ERROR_INVALID_DATA"},
        {{"reg", "dump", "HKLM/Software/CmdTree/Nowhere"}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "copy", "HKLM/Software/CmdTree/Nowhere", "HKLM/Software/CmdTree/To"}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "copy", "HKLM/Software/CmdTree/Fail", "hklm\\software\\cmdtree\\FAIL\\Sub\\x"}, 2, "", "lies within the source"},
        {{"reg", "delete-tree", "HKLM/Software/CmdTree/Nowhere"}, 1, "", "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "delete-tree", "HKLM"}, 2, "", "a root key cannot be deleted"},
        {{"reg", "export", "params"}, 2, "", "tmctl reg export KEY FILE"},
        // Nothing is created for a copy whose source is missing.
        {{"reg", "list", "HKLM/Software/CmdTree/To"}, 1},
    };
    for (const Call& call : kCalls) Check(call);
}

TEST(RegTreeCommandsTest, FailedExportKeepsTheOldFile) {
    // This process keeps the registry open, as the installation's service
    // does, so that the registry's shared files stay made: the export
    // below may not grow any file past 8 KB.
    ASSERT_EQ(TmRegCheckRegistry(nullptr, 0), ERROR_SUCCESS);
    Build("HKLM/Software/CmdTree/Keep");
    Check({{"reg", "set", "HKLM/Software/CmdTree/Keep", "Big", std::string(20000, 'b')}, 0});
    const std::string dir = MakeDir("keep"), file = dir + "/keep.tree";
    WriteFile(file, "an earlier export");
    // Files may not grow past 8 KB: the export fails at a write, and the
    // earlier file stays as it was, with no temporary file beside it.
    ProcessResult r = RunProgram("/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 16; exec \"$0\" \"$@\"", TmctlPath(),
                                             "reg", "export", "HKLM/Software/CmdTree/Keep", file});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("error 29 (ERROR_WRITE_FAULT"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(file), "an earlier export");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
    // Without the limit it succeeds.
    Check({{"reg", "export", "HKLM/Software/CmdTree/Keep", file}, 0, "", kBlobLeftOut});
    EXPECT_EQ(ReadFile(file).size(), 20048u);
}

bool IsLink(const std::string& path) { return std::filesystem::is_symlink(std::filesystem::symlink_status(path)); }

// A link is followed and its target replaced; standard output, and what
// leads to it, is written directly, where its descriptor stands: appended
// where the shell's ">>" put it, never truncated nor replaced.
TEST(RegTreeCommandsTest, ExportFollowsLinksAndWritesStreamsInPlace) {
    const std::string key = "HKLM/Software/CmdTree/Links", dir = MakeDir("links"), real = MakeDir("links/real");
    Build(key);
    WriteFile(real + "/kept.tree", "an earlier export");
    std::filesystem::permissions(real + "/kept.tree", std::filesystem::perms(0640));
    std::filesystem::create_symlink("real/kept.tree", dir + "/to-kept");
    std::filesystem::create_symlink(dir + "/to-kept", dir + "/to-link");  // a link to a link
    std::filesystem::create_symlink("real/new.tree", dir + "/dangling");
    std::filesystem::create_symlink("/proc/self/fd/1", dir + "/my-stdout");
    for (const char* link : {"to-kept", "to-link", "dangling"}) {
        Check({{"reg", "export", key, dir + "/" + link}, 0, "", kBlobLeftOut});
        EXPECT_TRUE(IsLink(dir + "/" + link)) << link;
    }
    const std::string expected = ReadFile(real + "/kept.tree");
    EXPECT_EQ(expected.size(), 42u);
    EXPECT_EQ(ReadFile(real + "/new.tree"), expected);
    EXPECT_EQ(std::filesystem::status(real + "/kept.tree").permissions(), std::filesystem::perms(0640));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(real), std::filesystem::directory_iterator()), 2)
        << "no temporary file left";
    WriteFile(dir + "/out", "before;");
    for (const std::string& file : {std::string("-"), std::string("/dev/fd/1"), dir + "/my-stdout"}) {
        ProcessResult r = RunProgram("/bin/sh", {"-c", "exec \"$0\" reg export \"$1\" \"$2\" >>\"$3\"", TmctlPath(), key, file, dir + "/out"});
        EXPECT_EQ(r.exitCode, 0) << file << "\n" << r.err;
    }
    EXPECT_EQ(ReadFile(dir + "/out"), "before;" + expected + expected + expected);
    EXPECT_TRUE(IsLink(dir + "/my-stdout"));
    Check({{"reg", "export", key, real}, 1, "", "cannot create"});
}

TEST(RegTreeCommandsTest, CopyAndDeleteTree) {
    Build("HKLM/Software/CmdTree/From");
    Check({{"reg", "copy", "HKLM/Software/CmdTree/From", "HKU/Copied"}, 0});
    Check({{"reg", "dump", "HKU/Copied"}, 0, kDump});
    Check({{"reg", "delete-tree", "HKU/Copied"}, 0});
    Check({{"reg", "dump", "HKU/Copied"}, 1});

    // A subkey that may not be deleted: the rest goes, and tmctl says so.
    CRegistry from;
    ASSERT_EQ(from.OpenKey(HKEY_LOCAL_MACHINE, "Software\\CmdTree\\From", KEY_READ), 0);
    ASSERT_EQ(TmRegSetKeyRestriction(from.m_hKey, "Sub\\Deeper", KEY_READ | KEY_WRITE), 0);
    Check({{"reg", "set", "HKLM/Software/CmdTree/From/Other", "x", "1"}, 0});
    Check({{"reg", "delete-tree", "HKLM/Software/CmdTree/From"}, 1, std::nullopt, "not everything below it could be deleted"});
    // Other is gone; the protected key and the keys above it stay, with their values.
    Check({{"reg", "dump", "HKLM/Software/CmdTree/From"}, 0, kDump});
}

// On a terminal, export, import and copy draw a bar on standard error and
// clear its line at the end; elsewhere they say nothing (the tests above).
TEST(RegTreeCommandsTest, ProgressBarOnATerminalOnly) {
    Build("HKLM/Software/CmdTree/Bar");
    const std::string file = SandboxDir() + "/bar.tree", tmctl = "'" + TmctlPath() + "' ";
    const struct {
        const char* label;
        std::string command;
    } kCases[] = {
        {"export", tmctl + "reg export HKLM/Software/CmdTree/Bar '" + file + "'"},
        {"import", tmctl + "reg import HKCU/BarImported '" + file + "'"},
        {"copy", tmctl + "reg copy HKLM/Software/CmdTree/Bar HKCU/BarCopied"},
    };
    for (const auto& c : kCases) {
        // script runs the command with a terminal for its output.
        ProcessResult r = RunProgram("/usr/bin/script", {"-qec", c.command, "/dev/null"});
        EXPECT_EQ(r.exitCode, 0) << c.label << "\n" << r.out;
        EXPECT_NE(r.out.find(std::string("\r") + c.label + " ["), std::string::npos) << c.label << "\n" << r.out;
        const std::string cleared = "\r" + std::string(79, ' ') + "\r";
        EXPECT_NE(r.out.find(cleared), std::string::npos) << c.label;
    }
    Check({{"reg", "dump", "HKCU/BarCopied"}, 0, kDump});
    Check({{"reg", "dump", "HKCU/BarImported"}, 0, "\\Sub\n  \\Deeper\n\n  Count (REG_DWORD) : 0x2a\n\nGreeting (REG_SZ) : hello\n\n"});
}

}  // namespace
}  // namespace tmtest
