//===-- tools/ListCommands.cpp - tmctl reg list-get|list-set --------------===//
//
// Multi-string values (REG_MULTI_SZ), such as LocalDomainsEx, one element
// per line, read and written through CRegistry's list members.
//===----------------------------------------------------------------------===//
#include <CLI/CLI.hpp>
#include <cstdio>

#include "Tmctl.h"

namespace tmctl {
namespace {

class ListGetCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_option("KEY", m_key, "the key")->required();
        app.add_option("NAME", m_name, "the value")->required();
    }
    int Run() override {
        HKEY root;
        std::string path;
        if (!ParseKeyPath(m_key, &root, &path)) return UsageError("reg list-get", "unknown root in " + m_key);
        CRegistry reg;
        LONG rc = reg.OpenKey(root, path.c_str(), KEY_READ);
        if (rc != ERROR_SUCCESS) return Win32Failure("key " + m_key, static_cast<DWORD>(rc));
        CStringArray list;
        DWORD type = 0;
        rc = reg.QueryValue(m_name.c_str(), list, &type);
        if (rc != ERROR_SUCCESS) return Win32Failure("value '" + m_name + "'", static_cast<DWORD>(rc));
        if (type != REG_MULTI_SZ) {
            fprintf(stderr, "tmctl: note: value '%s' is not a multi-string value (type %u); read as a list\n",
                    m_name.c_str(), static_cast<unsigned>(type));
        }
        for (int i = 0; i < list.GetSize(); ++i) printf("%s\n", static_cast<const char*>(list[i]));
        return kOk;
    }

private:
    std::string m_key, m_name;
};

class ListSetCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_option("KEY", m_key, "the key")->required();
        app.add_option("NAME", m_name, "the value")->required();
        app.add_option("ITEM", m_items, "the elements, in order")->required();
    }
    int Run() override {
        HKEY root;
        std::string path;
        if (!ParseKeyPath(m_key, &root, &path)) return UsageError("reg list-set", "unknown root in " + m_key);
        CStringArray list;
        for (size_t i = 0; i < m_items.size(); ++i) {
            // A reader stops at the first empty element: it would hide the
            // items after it.
            if (m_items[i].empty()) {
                return UsageError("reg list-set", "item " + std::to_string(i + 1) +
                                                      " is empty; an empty item ends the list for every reader");
            }
            list.Add(m_items[i].c_str());
        }
        CRegistry reg;
        LONG rc = reg.CreateKey(root, path.c_str(), KEY_READ | KEY_WRITE, 0);
        if (rc != ERROR_SUCCESS) return Win32Failure("key " + m_key, static_cast<DWORD>(rc));
        rc = reg.SetValue(m_name.c_str(), list);
        if (rc != ERROR_SUCCESS) return Win32Failure("value '" + m_name + "'", static_cast<DWORD>(rc));
        return kOk;
    }

private:
    std::string m_key, m_name;
    std::vector<std::string> m_items;
};

const char kListHelp[] =
    "KEY as for 'reg query' ('params' is the parameters key). Elements are\n"
    "written as given, without trimming; an element cannot be empty.\n"
    "Example:\n"
    "  tmctl reg list-set params LocalDomainsEx '*.example.com' '!lab.example.com'";

}  // namespace

TMCTL_COMMAND(ListGetCommand, "reg list-get", "KEY NAME", "print a multi-string value, one element per line",
              kListHelp);
TMCTL_COMMAND(ListSetCommand, "reg list-set", "KEY NAME ITEM...",
              "write a multi-string value, creating the key if missing", kListHelp);

}  // namespace tmctl
