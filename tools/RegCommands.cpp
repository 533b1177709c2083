//===-- tools/RegCommands.cpp - tmctl reg query|set|delete|list -----------===//
//
// Values one at a time. Data is shown as the library's dump shows it
// (CRegistry::DumpTree): a REG_DWORD as 0x and lower-case hexadecimal
// digits, bytes of other types as two hexadecimal digits each, separated
// by blanks, so that a number reads the same in query, list and dump. A
// string is printed as it stands by query, and with the dump's escapes
// (\xNN for bytes outside printable ASCII) by list, whose lines must stay
// one line each.
//
// reg set writes a value of a new name as REG_SZ, and a value that exists
// with the type it has, unless --type names one; a type it cannot write
// is an error rather than a silent change of type.
//===----------------------------------------------------------------------===//
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "CommandTree.h"

namespace tmctl {
namespace {

struct TypeNameEntry {
    DWORD type;
    const char* name;
    const char* shortName;  // what --type also takes, or nullptr
    bool settable;
};

const TypeNameEntry kTypes[] = {
    {REG_NONE, "REG_NONE", nullptr, false},
    {REG_SZ, "REG_SZ", "sz", true},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ", "expand_sz", true},
    {REG_BINARY, "REG_BINARY", "binary", true},
    {REG_DWORD, "REG_DWORD", "dword", true},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN", nullptr, false},
    {REG_LINK, "REG_LINK", nullptr, false},
    {REG_MULTI_SZ, "REG_MULTI_SZ", "multi_sz", true},
    {REG_QWORD, "REG_QWORD", nullptr, false},
};

// The type --type names: REG_SZ or sz, any case.
const TypeNameEntry* FindSettableType(const std::string& text) {
    for (const TypeNameEntry& t : kTypes) {
        if (!t.settable) continue;
        if (_stricmp(text.c_str(), t.name) == 0 || _stricmp(text.c_str(), t.shortName) == 0) return &t;
    }
    return nullptr;
}

void AppendHexBytes(std::string* text, const BYTE* data, DWORD size) {
    char two[4];
    for (DWORD i = 0; i < size; ++i) {
        snprintf(two, sizeof two, "%s%02x", i ? " " : "", data[i]);
        *text += two;
    }
}

void AppendText(std::string* text, const char* p, size_t n, bool escape) {
    if (!escape) {
        text->append(p, n);
        return;
    }
    char four[5];
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (c >= 0x20 && c <= 0x7E) {
            *text += static_cast<char>(c);
        } else {
            snprintf(four, sizeof four, "\\x%02x", c);
            *text += four;
        }
    }
}

// The data as the dump shows it; multi-string elements joined by
// listSeparator. escape: strings with the dump's \xNN escapes.
std::string FormatData(DWORD type, const std::vector<BYTE>& data, const char* listSeparator, bool escape) {
    const DWORD size = static_cast<DWORD>(data.size());
    const char* p = reinterpret_cast<const char*>(data.data());
    std::string text;
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            AppendText(&text, p, strnlen(p, size), escape);
            return text;
        case REG_DWORD: {
            // As the dump takes it: the first 4 bytes, zeros above shorter data.
            BYTE bytes[4] = {0, 0, 0, 0};
            memcpy(bytes, data.data(), size < 4 ? size : 4);
            char number[16];
            snprintf(number, sizeof number, "0x%x",
                     unsigned(bytes[0]) | unsigned(bytes[1]) << 8 | unsigned(bytes[2]) << 16 | unsigned(bytes[3]) << 24);
            return number;
        }
        case REG_MULTI_SZ: {
            DWORD at = 0;
            bool first = true;
            while (at < size && data[at]) {
                size_t n = strnlen(p + at, size - at);
                if (!first) text += listSeparator;
                first = false;
                AppendText(&text, p + at, n, escape);
                at += static_cast<DWORD>(n) + 1;
            }
            return text;
        }
        default:
            AppendHexBytes(&text, data.data(), size);
            return text;
    }
}

LONG ReadValue(HKEY key, const char* name, DWORD* type, std::vector<BYTE>* data) {
    for (;;) {
        DWORD size = 0;
        LONG rc = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
        if (rc != ERROR_SUCCESS) return rc;
        data->assign(size + 1, 0);
        rc = RegQueryValueExA(key, name, nullptr, type, data->data(), &size);
        if (rc == ERROR_MORE_DATA) continue;  // grew in between
        if (rc != ERROR_SUCCESS) return rc;
        data->resize(size);
        return ERROR_SUCCESS;
    }
}

bool ParseHexBytes(const std::string& text, std::vector<BYTE>* bytes) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == ',') continue;
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.size() % 2) return false;
    bytes->clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes->push_back(static_cast<BYTE>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

std::string KeyText(const std::string& arg) { return "key " + arg; }

// Subkeys (ending in a backslash), then NAME<TAB>TYPE<TAB>DATA lines.
int ListKey(const std::string& keyArg, HKEY root, const std::string& path) {
    CRegistry reg;
    LONG rc = reg.OpenKey(root, path.c_str(), KEY_READ);
    if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(keyArg), rc);
    std::vector<char> name(16384);
    for (DWORD i = 0;; ++i) {
        rc = RegEnumKeyA(reg.m_hKey, i, name.data(), static_cast<DWORD>(name.size()));
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(keyArg), rc);
        printf("%s\\\n", name.data());
    }
    for (DWORD i = 0;; ++i) {
        DWORD cch = static_cast<DWORD>(name.size()), type = 0;
        rc = RegEnumValueA(reg.m_hKey, i, name.data(), &cch, nullptr, &type, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(keyArg), rc);
        std::vector<BYTE> data;
        std::string valueName(name.data(), cch);
        if (ReadValue(reg.m_hKey, valueName.c_str(), &type, &data) != ERROR_SUCCESS) continue;
        printf("%s\t%s\t%s\n", valueName.empty() ? "(default)" : valueName.c_str(), RegTypeName(type).c_str(),
               FormatData(type, data, " | ", true).c_str());
    }
    return kOk;
}

class QueryCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_option("KEY", m_key, "the key")->required();
        m_nameOption = app.add_option("NAME", m_name, "the value; \"\" for the key's default value");
    }
    int Run() override {
        HKEY root;
        std::string path;
        if (!ParseKeyPath(m_key, &root, &path)) return UsageError("reg query", "unknown root in " + m_key);
        if (m_nameOption->count() == 0) return ListKey(m_key, root, path);
        CRegistry reg;
        LONG rc = reg.OpenKey(root, path.c_str(), KEY_READ);
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(m_key), rc);
        DWORD type = 0;
        std::vector<BYTE> data;
        rc = ReadValue(reg.m_hKey, m_name.c_str(), &type, &data);
        if (rc != ERROR_SUCCESS) return Win32Failure("value '" + m_name + "'", rc);
        printf("%s\n", FormatData(type, data, "\n", false).c_str());
        return kOk;
    }

private:
    std::string m_key, m_name;
    CLI::Option* m_nameOption = nullptr;
};

class SetCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        CLI::Option* type = app.add_option("--type", m_type,
                                           "REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY or REG_MULTI_SZ "
                                           "(or sz, expand_sz, dword, binary, multi_sz)")
                                ->type_name("TYPE");
        std::vector<std::string> names;
        for (const TypeNameEntry& t : kTypes) {
            if (t.settable) names.push_back(t.name);
        }
        SetChoices(type, names);
        m_typeOption = type;
        app.add_option("KEY", m_key, "the key")->required();
        app.add_option("NAME", m_name, "the value")->required();
        app.add_option("VALUE", m_values, "the data; one item each for REG_MULTI_SZ")->required();
    }
    int Run() override {
        HKEY root;
        std::string path;
        if (!ParseKeyPath(m_key, &root, &path)) return UsageError("reg set", "unknown root in " + m_key);
        DWORD type = REG_SZ;
        if (m_typeOption->count()) {
            const TypeNameEntry* t = FindSettableType(m_type);
            if (!t) {
                return UsageError("reg set", "unknown type '" + m_type +
                                                 "' (REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY, REG_MULTI_SZ)");
            }
            type = t->type;
        } else {
            // An existing value keeps its type.
            CRegistry existing;
            DWORD size = 0, found = 0;
            if (existing.OpenKey(root, path.c_str(), KEY_READ) == ERROR_SUCCESS &&
                RegQueryValueExA(existing.m_hKey, m_name.c_str(), nullptr, &found, nullptr, &size) == ERROR_SUCCESS) {
                const TypeNameEntry* t = FindSettableType(RegTypeName(found));
                if (!t) {
                    return UsageError("reg set", "value '" + m_name + "' is " + RegTypeName(found) +
                                                     ", which reg set does not write; name a type with --type");
                }
                type = t->type;
            }
        }
        std::vector<BYTE> data;
        if (type != REG_MULTI_SZ && m_values.size() != 1) {
            return UsageError("reg set", "a " + RegTypeName(type) + " value takes one VALUE");
        }
        const std::string& value = m_values.front();
        switch (type) {
            case REG_DWORD: {
                DWORD number;
                if (!ParseNumber(value, &number)) return UsageError("reg set", "not a 32-bit number: " + value);
                const BYTE bytes[4] = {BYTE(number), BYTE(number >> 8), BYTE(number >> 16), BYTE(number >> 24)};
                data.assign(bytes, bytes + 4);
                break;
            }
            case REG_BINARY:
                if (!ParseHexBytes(value, &data)) return UsageError("reg set", "not hexadecimal bytes: " + value);
                break;
            case REG_MULTI_SZ:
                for (size_t i = 0; i < m_values.size(); ++i) {
                    // A reader stops at the first empty element.
                    if (m_values[i].empty()) {
                        return UsageError("reg set", "item " + std::to_string(i + 1) +
                                                         " is empty; an empty item ends the list for every reader");
                    }
                    data.insert(data.end(), m_values[i].begin(), m_values[i].end());
                    data.push_back(0);
                }
                data.push_back(0);
                break;
            default:
                data.assign(value.begin(), value.end());
                data.push_back(0);
                break;
        }
        CRegistry reg;
        LONG rc = reg.CreateKey(root, path.c_str(), KEY_READ | KEY_WRITE, 0);
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(m_key), rc);
        rc = RegSetValueExA(reg.m_hKey, m_name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
        if (rc != ERROR_SUCCESS) return Win32Failure("value '" + m_name + "'", rc);
        return kOk;
    }

private:
    std::string m_type, m_key, m_name;
    std::vector<std::string> m_values;
    CLI::Option* m_typeOption = nullptr;
};

// Deleting a key takes every value it holds: it is asked for by name
// (--key or -f), and what went is said.
class DeleteCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_flag("-f,--key", m_deleteKey, "delete KEY itself, with its values");
        app.add_option("KEY", m_key, "the key")->required();
        m_nameOption = app.add_option("NAME", m_name, "the value to delete");
    }
    int Run() override {
        const bool hasName = m_nameOption->count() != 0;
        if (m_deleteKey && hasName) return UsageError("reg delete", "--key deletes KEY itself and takes no NAME");
        if (!m_deleteKey && !hasName) {
            return UsageError("reg delete", "deleting the key " + m_key +
                                                " and all its values needs --key; to delete a value, give its NAME");
        }
        HKEY root;
        std::string path;
        if (!ParseKeyPath(m_key, &root, &path)) return UsageError("reg delete", "unknown root in " + m_key);
        CRegistry reg;
        if (hasName) {
            LONG rc = reg.OpenKey(root, path.c_str(), KEY_READ | KEY_WRITE);
            if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(m_key), rc);
            rc = reg.DeleteValue(m_name.c_str());
            if (rc != ERROR_SUCCESS) return Win32Failure("value '" + m_name + "'", rc);
            return kOk;
        }
        if (path.empty()) return UsageError("reg delete", "a root key cannot be deleted");
        size_t sep = path.rfind('\\');
        std::string parent = sep == std::string::npos ? "" : path.substr(0, sep);
        std::string leaf = sep == std::string::npos ? path : path.substr(sep + 1);
        // The values are counted first, to say what the deletion took.
        DWORD values = 0;
        {
            CRegistry doomed;
            LONG rc = doomed.OpenKey(root, path.c_str(), KEY_READ);
            if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(m_key), rc);
            std::vector<char> name(16384);
            for (;; ++values) {
                DWORD cch = static_cast<DWORD>(name.size());
                rc = RegEnumValueA(doomed.m_hKey, values, name.data(), &cch, nullptr, nullptr, nullptr, nullptr);
                if (rc == ERROR_NO_MORE_ITEMS) break;
                if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(m_key), rc);
            }
        }
        LONG rc = reg.OpenKey(root, parent.c_str(), KEY_READ);
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(m_key), rc);
        rc = reg.DeleteKey(leaf.c_str());
        if (rc == ERROR_ACCESS_DENIED) {
            fprintf(stderr, "tmctl: key %s: a key that has subkeys is not deleted by 'reg delete'\n", m_key.c_str());
        }
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(m_key), rc);
        printf("deleted key %s and its %u value%s\n", m_key.c_str(), static_cast<unsigned>(values),
               values == 1 ? "" : "s");
        return kOk;
    }

private:
    bool m_deleteKey = false;
    std::string m_key, m_name;
    CLI::Option* m_nameOption = nullptr;
};

class ListCommand final : public Command {
public:
    void Define(CLI::App& app) override { app.add_option("KEY", m_key, "the key")->required(); }
    int Run() override {
        HKEY root;
        std::string path;
        if (!ParseKeyPath(m_key, &root, &path)) return UsageError("reg list", "unknown root in " + m_key);
        return ListKey(m_key, root, path);
    }

private:
    std::string m_key;
};

const char kQueryHelp[] =
    "Prints the data of value NAME: a string as it stands, a REG_MULTI_SZ one\n"
    "element a line, a REG_DWORD as 0x and hexadecimal digits, other types as\n"
    "hexadecimal bytes, as 'reg dump' shows them. Without NAME, lists the key\n"
    "as 'reg list' does; NAME \"\" is the key's default value.\n\n"
    "KEY is a registry path: an optional root (HKLM, HKCU, HKCR, HKU, or the\n"
    "HKEY_ names), then subkeys separated by '\\' or '/'. Without a root the\n"
    "path is below HKLM; 'params' names the parameters key\n"
    "HKLM\\Software\\Kelt\\Tamarak\\Parameters.";

const char kListHelp[] =
    "Subkeys first, each ending in '\\', then one line per value:\n"
    "NAME<TAB>TYPE<TAB>DATA, with the data as 'reg query' shows it, bytes of a\n"
    "string outside printable ASCII as \\xNN and the elements of a REG_MULTI_SZ\n"
    "joined by ' | '. The default value is named (default).\n\n"
    "KEY as for 'reg query'.";

}  // namespace

std::string RegTypeName(DWORD type) {
    for (const TypeNameEntry& t : kTypes) {
        if (t.type == type) return t.name;
    }
    return "type " + std::to_string(type);
}

TMCTL_COMMAND(QueryCommand, "reg query", "KEY [NAME]", "print a value, or without NAME list the key", kQueryHelp);
TMCTL_COMMAND(SetCommand, "reg set", "[--type TYPE] KEY NAME VALUE...", "write a value, creating the key if missing",
              "A value that exists keeps its type unless --type is given; a new one is\n"
              "REG_SZ. TYPE is REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY or\n"
              "REG_MULTI_SZ, or sz, expand_sz, dword, binary, multi_sz. A REG_DWORD\n"
              "takes decimal or 0x hexadecimal; REG_BINARY takes hexadecimal bytes\n"
              "(blanks, ':' and ',' between them are ignored); REG_MULTI_SZ takes one\n"
              "VALUE for each element, none of them empty; the others one VALUE.\n\n"
              "KEY as for 'reg query'.");
TMCTL_COMMAND(DeleteCommand, "reg delete", "KEY NAME | --key KEY",
              "delete a value, or (--key or -f) a key that has no subkeys",
              "With NAME, deletes the value NAME of KEY. With --key (or -f) and no NAME,\n"
              "deletes KEY itself with all its values, and says how many went; a key\n"
              "that has subkeys is not deleted (see 'reg delete-tree').\n\n"
              "KEY as for 'reg query'.");
TMCTL_COMMAND(ListCommand, "reg list", "KEY", "list subkeys (ending in \\) and values (name, type, data)", kListHelp);

}  // namespace tmctl
