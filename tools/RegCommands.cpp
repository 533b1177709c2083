//===-- tools/RegCommands.cpp - tmctl reg query|set|delete|list -----------===//
#include <cctype>
#include <cstdio>
#include <cstring>

#include "Tmctl.h"

namespace tmctl {
namespace {

const char* TypeName(DWORD type) {
    switch (type) {
        case REG_NONE: return "REG_NONE";
        case REG_SZ: return "REG_SZ";
        case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case REG_BINARY: return "REG_BINARY";
        case REG_DWORD: return "REG_DWORD";
        case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
        case REG_LINK: return "REG_LINK";
        case REG_MULTI_SZ: return "REG_MULTI_SZ";
        case REG_QWORD: return "REG_QWORD";
        default: return "REG_UNKNOWN";
    }
}

std::string Hex(const BYTE* data, DWORD size) {
    std::string text;
    char two[3];
    for (DWORD i = 0; i < size; ++i) {
        snprintf(two, sizeof two, "%02x", data[i]);
        text += two;
    }
    return text;
}

// The data as operators read it: text for strings, decimal for numbers,
// hexadecimal bytes for the rest, one element per line for lists.
std::string FormatData(DWORD type, const std::vector<BYTE>& data, const char* listSeparator) {
    DWORD size = static_cast<DWORD>(data.size());
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            return std::string(reinterpret_cast<const char*>(data.data()),
                               strnlen(reinterpret_cast<const char*>(data.data()), size));
        case REG_DWORD:
            if (size == 4) {
                DWORD v;
                memcpy(&v, data.data(), 4);
                return std::to_string(v);
            }
            return Hex(data.data(), size);
        case REG_MULTI_SZ: {
            std::string text;
            DWORD at = 0;
            while (at < size && data[at]) {
                size_t n = strnlen(reinterpret_cast<const char*>(data.data()) + at, size - at);
                if (!text.empty()) text += listSeparator;
                text.append(reinterpret_cast<const char*>(data.data()) + at, n);
                at += static_cast<DWORD>(n) + 1;
            }
            return text;
        }
        default:
            return Hex(data.data(), size);
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

int Query(const std::vector<std::string>& args) {
    if (args.size() < 1 || args.size() > 2) return UsageError("reg query", "");
    HKEY root;
    std::string path;
    if (!ParseKeyPath(args[0], &root, &path)) return UsageError("reg query", "unknown root in " + args[0]);
    CRegistry reg;
    LONG rc = reg.OpenKey(root, path.c_str(), KEY_READ);
    if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(args[0]), rc);
    const char* name = args.size() > 1 ? args[1].c_str() : "";
    DWORD type = 0;
    std::vector<BYTE> data;
    rc = ReadValue(reg.m_hKey, name, &type, &data);
    if (rc != ERROR_SUCCESS) return Win32Failure("value '" + std::string(name) + "'", rc);
    printf("%s\n", FormatData(type, data, "\n").c_str());
    return kOk;
}

int Set(const std::vector<std::string>& argsIn) {
    std::vector<std::string> args = argsIn;
    std::string type = "sz";
    TakeOption(args, "type", &type);
    if (args.size() != 3) return UsageError("reg set", "");
    HKEY root;
    std::string path;
    if (!ParseKeyPath(args[0], &root, &path)) return UsageError("reg set", "unknown root in " + args[0]);
    CRegistry reg;
    LONG rc;
    if (type == "sz") {
        if ((rc = reg.CreateKey(root, path.c_str(), KEY_READ | KEY_WRITE, 0)) != ERROR_SUCCESS)
            return Win32Failure(KeyText(args[0]), rc);
        rc = reg.SetValue(args[1].c_str(), args[2].c_str());
    } else if (type == "dword") {
        DWORD value;
        if (!ParseNumber(args[2], &value)) return UsageError("reg set", "not a 32-bit number: " + args[2]);
        if ((rc = reg.CreateKey(root, path.c_str(), KEY_READ | KEY_WRITE, 0)) != ERROR_SUCCESS)
            return Win32Failure(KeyText(args[0]), rc);
        rc = reg.SetValue(args[1].c_str(), value);
    } else if (type == "binary") {
        std::vector<BYTE> bytes;
        if (!ParseHexBytes(args[2], &bytes)) return UsageError("reg set", "not hexadecimal bytes: " + args[2]);
        if ((rc = reg.CreateKey(root, path.c_str(), KEY_READ | KEY_WRITE, 0)) != ERROR_SUCCESS)
            return Win32Failure(KeyText(args[0]), rc);
        rc = reg.SetValue(args[1].c_str(), bytes.data(), static_cast<DWORD>(bytes.size()));
    } else {
        return UsageError("reg set", "unknown type '" + type + "' (sz, dword or binary)");
    }
    if (rc != ERROR_SUCCESS) return Win32Failure("value '" + args[1] + "'", rc);
    return kOk;
}

// Deleting a key takes every value it holds: it is asked for by name
// (--key or -f), and what went is said.
int Delete(const std::vector<std::string>& argsIn) {
    std::vector<std::string> args = argsIn;
    bool key = TakeFlag(args, "key");
    for (auto it = args.begin(); it != args.end();) {
        if (*it == "-f") {
            key = true;
            it = args.erase(it);
        } else {
            ++it;
        }
    }
    if (args.size() < 1 || args.size() > 2) return UsageError("reg delete", "");
    if (key && args.size() == 2) return UsageError("reg delete", "--key deletes KEY itself and takes no NAME");
    if (!key && args.size() == 1) {
        return UsageError("reg delete", "deleting the key " + args[0] +
                                            " and all its values needs --key; to delete a value, give its NAME");
    }
    HKEY root;
    std::string path;
    if (!ParseKeyPath(args[0], &root, &path)) return UsageError("reg delete", "unknown root in " + args[0]);
    CRegistry reg;
    if (args.size() == 2) {
        LONG rc = reg.OpenKey(root, path.c_str(), KEY_READ | KEY_WRITE);
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(args[0]), rc);
        rc = reg.DeleteValue(args[1].c_str());
        if (rc != ERROR_SUCCESS) return Win32Failure("value '" + args[1] + "'", rc);
        return kOk;
    }
    while (!path.empty() && path.back() == '\\') path.pop_back();
    if (path.empty()) return UsageError("reg delete", "a root key cannot be deleted");
    size_t sep = path.rfind('\\');
    std::string parent = sep == std::string::npos ? "" : path.substr(0, sep);
    std::string leaf = sep == std::string::npos ? path : path.substr(sep + 1);
    // The values are counted first, to say what the deletion took.
    DWORD values = 0;
    {
        CRegistry doomed;
        LONG rc = doomed.OpenKey(root, path.c_str(), KEY_READ);
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(args[0]), rc);
        std::vector<char> name(16384);
        for (;; ++values) {
            DWORD cch = static_cast<DWORD>(name.size());
            rc = RegEnumValueA(doomed.m_hKey, values, name.data(), &cch, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_NO_MORE_ITEMS) break;
            if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(args[0]), rc);
        }
    }
    LONG rc = reg.OpenKey(root, parent.c_str(), KEY_READ);
    if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(args[0]), rc);
    rc = reg.DeleteKey(leaf.c_str());
    if (rc == ERROR_ACCESS_DENIED) {
        fprintf(stderr, "tmctl: key %s: a key that has subkeys is not deleted by 'reg delete'\n",
                args[0].c_str());
    }
    if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(args[0]), rc);
    printf("deleted key %s and its %u value%s\n", args[0].c_str(), static_cast<unsigned>(values),
           values == 1 ? "" : "s");
    return kOk;
}

int List(const std::vector<std::string>& args) {
    if (args.size() != 1) return UsageError("reg list", "");
    HKEY root;
    std::string path;
    if (!ParseKeyPath(args[0], &root, &path)) return UsageError("reg list", "unknown root in " + args[0]);
    CRegistry reg;
    LONG rc = reg.OpenKey(root, path.c_str(), KEY_READ);
    if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(args[0]), rc);
    std::vector<char> name(16384);
    for (DWORD i = 0;; ++i) {
        rc = RegEnumKeyA(reg.m_hKey, i, name.data(), static_cast<DWORD>(name.size()));
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(args[0]), rc);
        printf("%s\\\n", name.data());
    }
    for (DWORD i = 0;; ++i) {
        DWORD cch = static_cast<DWORD>(name.size()), type = 0;
        rc = RegEnumValueA(reg.m_hKey, i, name.data(), &cch, nullptr, &type, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return Win32Failure(KeyText(args[0]), rc);
        std::vector<BYTE> data;
        std::string valueName(name.data(), cch);
        if (ReadValue(reg.m_hKey, valueName.c_str(), &type, &data) != ERROR_SUCCESS) continue;
        printf("%s\t%s\t%s\n", valueName.empty() ? "(default)" : valueName.c_str(), TypeName(type),
               FormatData(type, data, " | ").c_str());
    }
    return kOk;
}

const char kKeyHelp[] =
    "KEY is a registry path: an optional root (HKLM, HKCU, HKCR, HKU, or the\n"
    "HKEY_ names), then subkeys separated by '\\' or '/'. Without a root the\n"
    "path is below HKLM; 'params' names the parameters key\n"
    "HKLM\\Software\\Kelt\\Tamarak\\Parameters.";

}  // namespace

TMCTL_COMMAND("reg query", "KEY [NAME]", "print a value (the key's default value without NAME)", kKeyHelp, Query);
TMCTL_COMMAND("reg set", "[--type sz|dword|binary] KEY NAME VALUE",
              "write a value, creating the key if missing",
              "dword takes decimal or 0x hexadecimal; binary takes hexadecimal bytes.\n\n"
              "KEY as for 'reg query'.",
              Set);
TMCTL_COMMAND("reg delete", "KEY NAME | --key KEY", "delete a value, or (--key or -f) a key that has no subkeys",
              "With NAME, deletes the value NAME of KEY. With --key (or -f) and no NAME,\n"
              "deletes KEY itself with all its values, and says how many went; a key\n"
              "that has subkeys is not deleted (see 'reg delete-tree').\n\n"
              "KEY as for 'reg query'.",
              Delete);
TMCTL_COMMAND("reg list", "KEY", "list subkeys (ending in \\) and values (name, type, data)", kKeyHelp, List);

}  // namespace tmctl
