//===-- tools/ListCommands.cpp - tmctl reg list-get|list-set --------------===//
//
// Multi-string values (REG_MULTI_SZ), such as LocalDomainsEx, one element
// per line, read and written through CRegistry's list members.
//===----------------------------------------------------------------------===//
#include <cstdio>

#include "Tmctl.h"

namespace tmctl {
namespace {

int ListGet(const std::vector<std::string>& args) {
    if (args.size() != 2) return UsageError("reg list-get", "");
    HKEY root;
    std::string path;
    if (!ParseKeyPath(args[0], &root, &path)) return UsageError("reg list-get", "unknown root in " + args[0]);
    CRegistry reg;
    LONG rc = reg.OpenKey(root, path.c_str(), KEY_READ);
    if (rc != ERROR_SUCCESS) return Win32Failure("key " + args[0], static_cast<DWORD>(rc));
    CStringArray list;
    DWORD type = 0;
    rc = reg.QueryValue(args[1].c_str(), list, &type);
    if (rc != ERROR_SUCCESS) return Win32Failure("value '" + args[1] + "'", static_cast<DWORD>(rc));
    if (type != REG_MULTI_SZ) {
        fprintf(stderr, "tmctl: note: value '%s' is not a multi-string value (type %u); read as a list\n",
                args[1].c_str(), static_cast<unsigned>(type));
    }
    for (int i = 0; i < list.GetSize(); ++i) printf("%s\n", static_cast<const char*>(list[i]));
    return kOk;
}

int ListSet(const std::vector<std::string>& args) {
    if (args.size() < 3) return UsageError("reg list-set", "");
    HKEY root;
    std::string path;
    if (!ParseKeyPath(args[0], &root, &path)) return UsageError("reg list-set", "unknown root in " + args[0]);
    CStringArray list;
    for (size_t i = 2; i < args.size(); ++i) {
        // A reader stops at the first empty element: it would hide the
        // items after it.
        if (args[i].empty()) {
            return UsageError("reg list-set", "item " + std::to_string(i - 1) +
                                                  " is empty; an empty item ends the list for every reader");
        }
        list.Add(args[i].c_str());
    }
    CRegistry reg;
    LONG rc = reg.CreateKey(root, path.c_str(), KEY_READ | KEY_WRITE, 0);
    if (rc != ERROR_SUCCESS) return Win32Failure("key " + args[0], static_cast<DWORD>(rc));
    rc = reg.SetValue(args[1].c_str(), list);
    if (rc != ERROR_SUCCESS) return Win32Failure("value '" + args[1] + "'", static_cast<DWORD>(rc));
    return kOk;
}

const char kListHelp[] =
    "KEY as for 'reg query' ('params' is the parameters key). Elements are\n"
    "written as given, without trimming; an element cannot be empty.\n"
    "Example: tmctl reg list-set params LocalDomainsEx '*.example.com' '!lab.example.com'";

}  // namespace

TMCTL_COMMAND("reg list-get", "KEY NAME", "print a multi-string value, one element per line", kListHelp, ListGet);
TMCTL_COMMAND("reg list-set", "KEY NAME ITEM...", "write a multi-string value, creating the key if missing",
              kListHelp, ListSet);

}  // namespace tmctl
