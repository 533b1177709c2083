//===-- tools/RegTreeCommands.cpp - tmctl reg export, import, dump, ... ---===//
//
// Whole subtrees: saving one to a registry tree file and merging such a
// file back, the indented dump, copying a subtree onto another key, and
// deleting a key with everything below it.
//
// An export replaces FILE whole (see OutputFile.cpp): a failed export never
// leaves half a file where a good one was; a link is followed to its
// target; "-", a pipe or a device (/dev/stdout) is written directly. An
// export first walks the subtree as the tree file's writer will, to say
// how many values the file cannot carry (types other than REG_SZ,
// REG_DWORD and REG_MULTI_SZ, names of 64 characters or more, keys the
// writer cannot open); Counters subkeys are left out by design and not
// counted.
//
// On a terminal, export, import and copy draw a progress bar on standard
// error: an export counts the bytes the file will take and watches its
// stream, an import watches how far into FILE the reader is, and a copy
// walks the source key by key itself, as CopyTree does, counting keys and
// values. Elsewhere nothing is counted and CopyTree copies in one call.
//===----------------------------------------------------------------------===//
#include <CLI/CLI.hpp>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
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

// The tree file's writer enumerates names with a buffer of 64 characters:
// a longer name ends the enumeration of its key.
constexpr DWORD kTreeNameLimit = 64;
constexpr int kMaxDepth = 512;

// What an export of a subtree writes and leaves out.
struct ExportCount {
    unsigned long long bytes = 0;  // the file's size, near enough for a bar
    unsigned long long otherTypes = 0;
    unsigned long long longNames = 0;
    unsigned long long unopened = 0;
    std::set<std::string> typesLeft;
};

// Every value below an open key, for a subtree the file leaves out whole.
unsigned long long CountValues(HKEY key, int depth) {
    unsigned long long values = 0;
    std::vector<char> name(16384);
    DWORD cch = static_cast<DWORD>(name.size());
    while (RegEnumValueA(key, static_cast<DWORD>(values), name.data(), &cch, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS) {
        ++values;
        cch = static_cast<DWORD>(name.size());
    }
    if (depth >= kMaxDepth) return values;
    for (DWORD i = 0; RegEnumKeyA(key, i, name.data(), static_cast<DWORD>(name.size())) == ERROR_SUCCESS; ++i) {
        CRegistry sub;
        if (sub.OpenKey(key, name.data(), KEY_READ) == ERROR_SUCCESS) values += CountValues(sub.m_hKey, depth + 1);
    }
    return values;
}

// Walks an open key as CRegistry::WriteTree does.
void CountExport(HKEY key, ExportCount* count, int depth) {
    std::vector<char> name(16384);
    for (DWORD i = 0; RegEnumKeyA(key, i, name.data(), static_cast<DWORD>(name.size())) == ERROR_SUCCESS; ++i) {
        const size_t length = strlen(name.data());
        if (strcmp(name.data(), "Counters") == 0) continue;
        CRegistry sub;
        if (length >= kTreeNameLimit) {
            // This subkey and every later one of the key are not written.
            for (DWORD j = i; RegEnumKeyA(key, j, name.data(), static_cast<DWORD>(name.size())) == ERROR_SUCCESS; ++j) {
                CRegistry left;
                if (strcmp(name.data(), "Counters") != 0 && left.OpenKey(key, name.data(), KEY_READ) == ERROR_SUCCESS)
                    count->longNames += CountValues(left.m_hKey, depth + 1);
            }
            break;
        }
        count->bytes += length + 3;
        if (sub.OpenKey(key, name.data(), KEY_READ | KEY_WRITE) == ERROR_SUCCESS) {
            if (depth < kMaxDepth) CountExport(sub.m_hKey, count, depth + 1);
        } else if (sub.OpenKey(key, name.data(), KEY_READ) == ERROR_SUCCESS) {
            count->unopened += CountValues(sub.m_hKey, depth + 1);
        }
    }
    for (DWORD i = 0;; ++i) {
        DWORD cch = static_cast<DWORD>(name.size()), type = 0, size = 0;
        if (RegEnumValueA(key, i, name.data(), &cch, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        if (cch >= kTreeNameLimit) {
            DWORD left = 1;
            for (cch = static_cast<DWORD>(name.size());
                 RegEnumValueA(key, i + left, name.data(), &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
                 cch = static_cast<DWORD>(name.size()))
                ++left;
            count->longNames += left;
            break;
        }
        if (type == REG_SZ || type == REG_DWORD || type == REG_MULTI_SZ) {
            count->bytes += 2 + cch + (type == REG_DWORD ? 4 : size);
        } else {
            ++count->otherTypes;
            count->typesLeft.insert(RegTypeName(type));
        }
    }
}

// Says what an export left out, if anything.
void ReportLeftOut(const ExportCount& count) {
    const unsigned long long total = count.otherTypes + count.longNames + count.unopened;
    if (total == 0) return;
    std::string why;
    auto add = [&](unsigned long long n, const std::string& text) {
        if (n == 0) return;
        why += (why.empty() ? "" : ", ") + std::to_string(n) + " " + text;
    };
    std::string types;
    for (const std::string& t : count.typesLeft) types += (types.empty() ? "" : ", ") + t;
    add(count.otherTypes, "of types the tree file does not carry (" + types + ")");
    add(count.longNames, "with a name, or below a key with a name, of 64 characters or more");
    add(count.unopened, "below keys that cannot be opened for writing");
    fprintf(stderr, "tmctl: note: %llu value%s left out: %s\n", total, total == 1 ? " was" : "s were", why.c_str());
}

// A stream that passes everything on to another and moves a bar with the
// bytes that went through.
struct CountingStream {
    FILE* inner;
    Progress* progress;
    unsigned long long done;
};

ssize_t CountingRead(void* cookie, char* buffer, size_t size) {
    auto* s = static_cast<CountingStream*>(cookie);
    const size_t n = fread(buffer, 1, size, s->inner);
    if (n == 0 && ferror(s->inner)) return -1;
    s->done += n;
    s->progress->Update(s->done);
    return static_cast<ssize_t>(n);
}

ssize_t CountingWrite(void* cookie, const char* buffer, size_t size) {
    auto* s = static_cast<CountingStream*>(cookie);
    const size_t n = fwrite(buffer, 1, size, s->inner);
    s->done += n;
    s->progress->Update(s->done);
    return n == 0 && size > 0 ? -1 : static_cast<ssize_t>(n);
}

int CountingSeek(void* cookie, off64_t* offset, int whence) {
    auto* s = static_cast<CountingStream*>(cookie);
    if (fseeko(s->inner, *offset, whence) != 0) return -1;
    const off_t at = ftello(s->inner);
    if (at < 0) return -1;
    *offset = at;
    s->done = static_cast<unsigned long long>(at);
    return 0;
}

FILE* OpenCounting(CountingStream* s, const char* mode) {
    cookie_io_functions_t io = {CountingRead, CountingWrite, CountingSeek, nullptr};
    return fopencookie(s, mode, io);
}

class ExportCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_option("KEY", m_key, "the key whose subtree is saved")->required();
        app.add_option("FILE", m_file, "the file, or - for the standard output")->required();
    }
    int Run() override {
        HKEY root;
        std::string path;
        if (!ParseKeyPath(m_key, &root, &path)) return UsageError("reg export", "unknown root in " + m_key);
        CRegistry reg;
        LONG rc = reg.OpenKey(root, path.c_str(), KEY_READ);
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(m_key), rc);
        ExportCount count;
        CountExport(reg.m_hKey, &count, 0);

        OutputFile out;
        if (!out.Open(m_file)) return FileFailure("cannot create", out.Target().empty() ? m_file : out.Target(), errno);
        Progress progress("export");
        DWORD written;
        if (progress.Active()) {
            progress.SetTotal(count.bytes);
            CountingStream counting = {out.Stream(), &progress, 0};
            FILE* fp = OpenCounting(&counting, "wb");
            if (!fp) return FileFailure("cannot write", out.Target(), errno);
            written = reg.WriteTree(fp);
            if (fclose(fp) != 0 && written == ERROR_SUCCESS) written = ERROR_WRITE_FAULT;
            progress.Finish();
        } else {
            written = reg.WriteTree(out.Stream());
        }
        if (written != ERROR_SUCCESS) return Win32Failure("export to " + out.Target(), written);
        if (int error = out.Commit()) return FileFailure("cannot write", out.Target(), error);
        ReportLeftOut(count);
        return kOk;
    }

private:
    std::string m_key, m_file;
};

class ImportCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_option("KEY", m_key, "the key to merge into")->required();
        app.add_option("FILE", m_file, "a registry tree file")->required();
    }
    int Run() override {
        HKEY root;
        std::string path;
        if (!ParseKeyPath(m_key, &root, &path)) return UsageError("reg import", "unknown root in " + m_key);
        FILE* fp = tm_fopen(m_file.c_str(), "rb");
        if (!fp) return FileFailure("cannot open", m_file, errno);
        CRegistry reg;
        LONG rc = reg.CreateKey(root, path.c_str(), kReadWrite, REG_OPTION_NON_VOLATILE);
        if (rc != ERROR_SUCCESS) {
            fclose(fp);
            return Win32Failure(KeyText(m_key), rc);
        }
        Progress progress("import");
        DWORD read;
        if (progress.Active()) {
            struct stat st;
            if (fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode)) progress.SetTotal(static_cast<unsigned long long>(st.st_size));
            CountingStream counting = {fp, &progress, 0};
            FILE* counted = OpenCounting(&counting, "rb");
            if (!counted) {
                fclose(fp);
                return FileFailure("cannot read", m_file, errno);
            }
            read = reg.ReadTree(counted);
            fclose(counted);
            progress.Finish();
        } else {
            read = reg.ReadTree(fp);
        }
        fclose(fp);
        // The top-level body has no end marker: a complete file ends with the
        // end of the stream.
        if (read == ERROR_SUCCESS || read == ERROR_HANDLE_EOF) return kOk;
        fprintf(stderr,
                "tmctl: %s: the import stopped; what came before the problem has been merged "
                "(the event log names the problem)\n",
                m_file.c_str());
        return Win32Failure("import of " + m_file, read);
    }

private:
    std::string m_key, m_file;
};

class DumpCommand final : public Command {
public:
    void Define(CLI::App& app) override { app.add_option("KEY", m_key, "the key")->required(); }
    int Run() override {
        HKEY root;
        std::string path;
        if (!ParseKeyPath(m_key, &root, &path)) return UsageError("reg dump", "unknown root in " + m_key);
        CRegistry reg;
        LONG rc = reg.OpenKey(root, path.c_str(), KEY_READ);
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(m_key), rc);
        reg.DumpTree(stdout, 0);
        if (fflush(stdout) != 0 || ferror(stdout)) return FileFailure("cannot write", "the standard output", errno);
        return kOk;
    }

private:
    std::string m_key;
};

// The keys and values below an open key, for the copy's bar.
unsigned long long CountItems(HKEY key, int depth) {
    char name[kTreeNameLimit];
    unsigned long long items = 0;
    for (DWORD cch = sizeof name;
         RegEnumValueA(key, static_cast<DWORD>(items), name, &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         cch = sizeof name)
        ++items;
    if (depth >= kMaxDepth) return items;
    for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; ++i) {
        CRegistry sub;
        ++items;
        if (sub.OpenKey(key, name, kReadWrite) == ERROR_SUCCESS) items += CountItems(sub.m_hKey, depth + 1);
    }
    return items;
}

// CRegistry::CopyTree's walk, one key at a time, moving the bar: subkeys
// first (names of up to 63 characters), each created with options 0 and
// copied into; then every value with its type and exact size. Failures
// below the starting key are passed over, as CopyTree passes them over.
void CopyWithProgress(HKEY source, HKEY destination, Progress* progress, unsigned long long* done, int depth) {
    char name[kTreeNameLimit];
    if (depth < kMaxDepth) {
        for (DWORD i = 0; RegEnumKeyA(source, i, name, sizeof name) == ERROR_SUCCESS; ++i) {
            progress->Update(++*done);
            CRegistry from, to;
            if (to.CreateKey(destination, name, kReadWrite, REG_OPTION_NON_VOLATILE) != ERROR_SUCCESS) continue;
            if (from.OpenKey(source, name, kReadWrite) != ERROR_SUCCESS) continue;
            CopyWithProgress(from.m_hKey, to.m_hKey, progress, done, depth + 1);
        }
    }
    std::vector<BYTE> data;
    for (DWORD i = 0;; ++i) {
        DWORD cch = sizeof name, type = 0, size = 0;
        if (RegEnumValueA(source, i, name, &cch, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        progress->Update(++*done);
        data.resize(size + 1);
        if (RegQueryValueExA(source, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) continue;
        RegSetValueExA(destination, name, 0, type, data.data(), size);
    }
}

class CopyCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_option("SOURCE", m_source, "the key whose subtree is copied")->required();
        app.add_option("DESTINATION", m_destination, "the key it is merged into")->required();
    }
    int Run() override {
        HKEY sourceRoot, destinationRoot;
        std::string sourcePath, destinationPath;
        if (!ParseKeyPath(m_source, &sourceRoot, &sourcePath))
            return UsageError("reg copy", "unknown root in " + m_source);
        if (!ParseKeyPath(m_destination, &destinationRoot, &destinationPath))
            return UsageError("reg copy", "unknown root in " + m_destination);
        // A copy into its own source would copy what it has just made.
        if (IsWithin(destinationRoot, destinationPath, sourceRoot, sourcePath))
            return UsageError("reg copy", "the destination " + m_destination + " lies within the source " + m_source);
        // The source must open before the destination is created.
        CRegistry source;
        LONG rc = source.OpenKey(sourceRoot, sourcePath.c_str(), kReadWrite);
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(m_source), rc);
        CRegistry destination;
        rc = destination.CreateKey(destinationRoot, destinationPath.c_str(), kReadWrite, REG_OPTION_NON_VOLATILE);
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(m_destination), rc);
        Progress progress("copy");
        if (!progress.Active()) {
            source.CloseKey();
            DWORD copied = destination.CopyTree(sourceRoot, sourcePath.c_str());
            if (copied != ERROR_SUCCESS) return Win32Failure(KeyText(m_source), copied);
            return kOk;
        }
        progress.SetTotal(CountItems(source.m_hKey, 0));
        unsigned long long done = 0;
        TmRegBeginBatch();
        CopyWithProgress(source.m_hKey, destination.m_hKey, &progress, &done, 0);
        rc = TmRegEndBatch();
        progress.Finish();
        if (rc != ERROR_SUCCESS) return Win32Failure("copy into " + m_destination, static_cast<DWORD>(rc));
        return kOk;
    }

private:
    std::string m_source, m_destination;
};

class DeleteTreeCommand final : public Command {
public:
    void Define(CLI::App& app) override { app.add_option("KEY", m_key, "the key")->required(); }
    int Run() override {
        HKEY root;
        std::string path;
        if (!ParseKeyPath(m_key, &root, &path)) return UsageError("reg delete-tree", "unknown root in " + m_key);
        if (Names(path).empty()) return UsageError("reg delete-tree", "a root key cannot be deleted");
        CRegistry reg;
        DWORD rc = reg.DeleteTree(root, path.c_str());
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(m_key), rc);
        // The deletion goes as far as it may; a key that is still there kept
        // a subkey that could not be deleted.
        CRegistry left;
        if (left.OpenKey(root, path.c_str(), KEY_READ) == ERROR_SUCCESS) {
            fprintf(stderr, "tmctl: key %s: not everything below it could be deleted; the key remains\n",
                    m_key.c_str());
            return kFailed;
        }
        return kOk;
    }

private:
    std::string m_key;
};

const char kExportHelp[] =
    "Writes the subkeys and values below KEY to FILE in the registry tree file\n"
    "format: REG_SZ, REG_DWORD and REG_MULTI_SZ values only; subkeys named\n"
    "Counters are left out. Says on standard error how many values the file\n"
    "cannot carry: of other types, with names of 64 characters or more, or\n"
    "below keys that cannot be opened for writing. KEY as for 'reg query'.\n\n"
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

TMCTL_COMMAND(ExportCommand, "reg export", "KEY FILE", "save a subtree to a registry tree file", kExportHelp);
TMCTL_COMMAND(ImportCommand, "reg import", "KEY FILE", "merge a registry tree file into a key", kImportHelp);
TMCTL_COMMAND(DumpCommand, "reg dump", "KEY", "print a subtree as indented text", kDumpHelp);
TMCTL_COMMAND(CopyCommand, "reg copy", "SOURCE DESTINATION", "copy a subtree onto another key", kCopyHelp);
TMCTL_COMMAND(DeleteTreeCommand, "reg delete-tree", "KEY", "delete a key and everything below it", kDeleteTreeHelp);

}  // namespace tmctl
