//===-- tools/RegTreeCommands.cpp - tmctl reg export, import, dump, ... ---===//
//
// Whole subtrees: saving one to a registry tree file and merging such a
// file back, the indented dump, copying a subtree onto another key, and
// deleting a key with everything below it.
//
// An export replaces FILE whole (see OutputFile.cpp): a failed export never
// leaves half a file where a good one was; a link is followed to its
// target; "-", a pipe or a device (/dev/stdout) is written directly. The
// commands: export, import, dump, copy, delete-tree.
//===----------------------------------------------------------------------===//
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Tmctl.h"

namespace tmctl {
namespace {

const DWORD kReadWrite = KEY_READ | KEY_WRITE;

std::string KeyText(const std::string& arg) { return "key " + arg; }

int FileFailure(const std::string& what, const std::string& path, int error) {
    fprintf(stderr, "tmctl: %s %s: %s\n", what.c_str(), path.c_str(), strerror(error));
    return kFailed;
}

// The path's names without empty ones, for comparing two paths.
std::vector<std::string> Names(const std::string& path) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

// True when the key (root, path) is the key (ancestorRoot, ancestorPath)
// or lies below it; names compare without regard to case, as the registry
// compares them.
bool IsWithin(HKEY root, const std::string& path, HKEY ancestorRoot, const std::string& ancestorPath) {
    if (root != ancestorRoot) return false;
    std::vector<std::string> names = Names(path), ancestor = Names(ancestorPath);
    if (ancestor.size() > names.size()) return false;
    for (size_t i = 0; i < ancestor.size(); ++i) {
        if (_stricmp(names[i].c_str(), ancestor[i].c_str()) != 0) return false;
    }
    return true;
}

int Export(const std::vector<std::string>& args) {
    if (args.size() != 2) return UsageError("reg export", "");
    HKEY root;
    std::string path;
    if (!ParseKeyPath(args[0], &root, &path)) return UsageError("reg export", "unknown root in " + args[0]);
    CRegistry reg;
    LONG rc = reg.OpenKey(root, path.c_str(), KEY_READ);
    if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(args[0]), rc);

    const std::string& file = args[1];
    OutputFile out;
    if (!out.Open(file)) return FileFailure("cannot create", out.Target().empty() ? file : out.Target(), errno);
    DWORD written = reg.WriteTree(out.Stream());
    if (written != ERROR_SUCCESS) return Win32Failure("export to " + out.Target(), written);
    if (int error = out.Commit()) return FileFailure("cannot write", out.Target(), error);
    return kOk;
}

int Import(const std::vector<std::string>& args) {
    if (args.size() != 2) return UsageError("reg import", "");
    HKEY root;
    std::string path;
    if (!ParseKeyPath(args[0], &root, &path)) return UsageError("reg import", "unknown root in " + args[0]);
    const std::string& file = args[1];
    FILE* fp = tm_fopen(file.c_str(), "rb");
    if (!fp) return FileFailure("cannot open", file, errno);
    CRegistry reg;
    LONG rc = reg.CreateKey(root, path.c_str(), kReadWrite, REG_OPTION_NON_VOLATILE);
    if (rc != ERROR_SUCCESS) {
        fclose(fp);
        return Win32Failure(KeyText(args[0]), rc);
    }
    DWORD read = reg.ReadTree(fp);
    fclose(fp);
    // The top-level body has no end marker: a complete file ends with the
    // end of the stream.
    if (read == ERROR_SUCCESS || read == ERROR_HANDLE_EOF) return kOk;
    fprintf(stderr,
            "tmctl: %s: the import stopped; what came before the problem has been merged "
            "(the event log names the problem)\n",
            file.c_str());
    return Win32Failure("import of " + file, read);
}

int Dump(const std::vector<std::string>& args) {
    if (args.size() != 1) return UsageError("reg dump", "");
    HKEY root;
    std::string path;
    if (!ParseKeyPath(args[0], &root, &path)) return UsageError("reg dump", "unknown root in " + args[0]);
    CRegistry reg;
    LONG rc = reg.OpenKey(root, path.c_str(), KEY_READ);
    if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(args[0]), rc);
    reg.DumpTree(stdout, 0);
    if (fflush(stdout) != 0 || ferror(stdout)) return FileFailure("cannot write", "the standard output", errno);
    return kOk;
}

int Copy(const std::vector<std::string>& args) {
    if (args.size() != 2) return UsageError("reg copy", "");
    HKEY sourceRoot, destinationRoot;
    std::string sourcePath, destinationPath;
    if (!ParseKeyPath(args[0], &sourceRoot, &sourcePath))
        return UsageError("reg copy", "unknown root in " + args[0]);
    if (!ParseKeyPath(args[1], &destinationRoot, &destinationPath))
        return UsageError("reg copy", "unknown root in " + args[1]);
    // A copy into its own source would copy what it has just made.
    if (IsWithin(destinationRoot, destinationPath, sourceRoot, sourcePath))
        return UsageError("reg copy", "the destination " + args[1] + " lies within the source " + args[0]);
    {
        // The source must open before the destination is created.
        CRegistry source;
        LONG rc = source.OpenKey(sourceRoot, sourcePath.c_str(), kReadWrite);
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(args[0]), rc);
    }
    CRegistry destination;
    LONG rc = destination.CreateKey(destinationRoot, destinationPath.c_str(), kReadWrite, REG_OPTION_NON_VOLATILE);
    if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(args[1]), rc);
    DWORD copied = destination.CopyTree(sourceRoot, sourcePath.c_str());
    if (copied != ERROR_SUCCESS) return Win32Failure(KeyText(args[0]), copied);
    return kOk;
}

int DeleteTree(const std::vector<std::string>& args) {
    if (args.size() != 1) return UsageError("reg delete-tree", "");
    HKEY root;
    std::string path;
    if (!ParseKeyPath(args[0], &root, &path)) return UsageError("reg delete-tree", "unknown root in " + args[0]);
    if (Names(path).empty()) return UsageError("reg delete-tree", "a root key cannot be deleted");
    CRegistry reg;
    DWORD rc = reg.DeleteTree(root, path.c_str());
    if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(args[0]), rc);
    // The deletion goes as far as it may; a key that is still there kept
    // a subkey that could not be deleted.
    CRegistry left;
    if (left.OpenKey(root, path.c_str(), KEY_READ) == ERROR_SUCCESS) {
        fprintf(stderr, "tmctl: key %s: not everything below it could be deleted; the key remains\n",
                args[0].c_str());
        return kFailed;
    }
    return kOk;
}

const char kExportHelp[] =
    "Writes the subkeys and values below KEY to FILE in the registry tree file\n"
    "format: REG_SZ, REG_DWORD and REG_MULTI_SZ values only; subkeys named\n"
    "Counters are left out. KEY as for 'reg query'.\n\n"
    "FILE is replaced whole once the export is complete; a symbolic link is\n"
    "followed and its target replaced. FILE '-', a pipe, a terminal or a\n"
    "device (/dev/stdout) is written directly.";
const char kImportHelp[] =
    "Merges FILE into KEY, creating KEY and missing subkeys; values of the\n"
    "same name are replaced, nothing is deleted. A problem in the file stops\n"
    "the import: what was merged before it stays, and the event log says why.";
const char kDumpHelp[] =
    "Subkeys as \\NAME lines, their contents indented by two spaces a level,\n"
    "then the values as NAME (TYPE) : DATA; an empty line ends each key.";
const char kCopyHelp[] =
    "Merges the subkeys and values of SOURCE into DESTINATION, which is\n"
    "created if missing; every value type is copied. The destination may not\n"
    "lie within the source.";
const char kDeleteTreeHelp[] =
    "Deletes KEY, its subkeys and values. Fails (exit 1) when a subkey may not\n"
    "be deleted; everything else is deleted all the same.";

}  // namespace

TMCTL_COMMAND("reg export", "KEY FILE", "save a subtree to a registry tree file", kExportHelp, Export);
TMCTL_COMMAND("reg import", "KEY FILE", "merge a registry tree file into a key", kImportHelp, Import);
TMCTL_COMMAND("reg dump", "KEY", "print a subtree as indented text", kDumpHelp, Dump);
TMCTL_COMMAND("reg copy", "SOURCE DESTINATION", "copy a subtree onto another key", kCopyHelp, Copy);
TMCTL_COMMAND("reg delete-tree", "KEY", "delete a key and everything below it", kDeleteTreeHelp, DeleteTree);

}  // namespace tmctl
