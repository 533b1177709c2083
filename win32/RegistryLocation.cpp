//===-- win32/RegistryLocation.cpp - Where a registry lives ---------------===//
//
// Splits a registry location into what the stores need: the file of a
// SQLite store; the libpq URI and the schema of a PostgreSQL store; a form
// without passwords to show; the identity that named objects derive from.
// See RegistryLocation.h.
//===----------------------------------------------------------------------===//
#include "RegistryLocation.h"

#include <libpq-fe.h>

#include <algorithm>
#include <vector>

namespace w32::reg {
namespace {

constexpr std::string_view kUriPrefixes[] = {"postgresql://", "postgres://"};
constexpr size_t kMaxSchemaLength = 63;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX escapes decoded; false for a broken escape.
bool PercentDecode(std::string_view text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            *out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0) return false;
        *out += char(high * 16 + low);
        i += 2;
    }
    return true;
}

bool IsSchemaName(const std::string& name) {
    if (name.empty() || name.size() > kMaxSchemaLength) return false;
    if (name[0] >= '0' && name[0] <= '9') return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

// The parsed value of one connection option, or "".
std::string OptionValue(PQconninfoOption* options, const char* keyword) {
    for (PQconninfoOption* o = options; o && o->keyword; ++o) {
        if (std::string_view(o->keyword) == keyword) return o->val ? o->val : "";
    }
    return "";
}

}  // namespace

bool IsPostgresLocation(std::string_view location) {
    for (std::string_view prefix : kUriPrefixes) {
        if (location.substr(0, prefix.size()) == prefix) return true;
    }
    return false;
}

RegistryLocation ParseRegistryLocation(const std::string& location) {
    RegistryLocation result;
    if (!IsPostgresLocation(location)) {
        result.path = location;
        result.display = location;
        result.identity = location;
        return result;
    }
    result.postgres = true;
    result.schema = kDefaultSchema;
    const size_t question = location.find('?');
    const std::string base = location.substr(0, question);

    // The query: our parameter out; passwords out of what is shown.
    std::vector<std::string> kept, shown;
    bool schemaSeen = false;
    if (question != std::string::npos) {
        std::string_view query(location);
        query.remove_prefix(question + 1);
        while (!query.empty()) {
            const size_t amp = query.find('&');
            std::string_view param = query.substr(0, amp);
            query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
            if (param.empty()) continue;
            const std::string_view key = param.substr(0, param.find('='));
            if (key == "schema") {
                std::string name;
                const bool decoded = param.size() > key.size() &&
                                     PercentDecode(param.substr(key.size() + 1), &name);
                if (schemaSeen || !decoded || !IsSchemaName(name)) result.problem = ERROR_BAD_PATHNAME;
                schemaSeen = true;
                result.schema = name;
                shown.emplace_back(param);
                continue;
            }
            kept.emplace_back(param);
            if (key != "password") shown.emplace_back(param);
        }
    }
    auto join = [](const std::string& start, const std::vector<std::string>& params) {
        std::string text = start;
        for (size_t i = 0; i < params.size(); ++i) text += (i ? "&" : "?") + params[i];
        return text;
    };
    result.conninfo = join(base, kept);

    // user:password@ in the authority becomes user@ in what is shown.
    std::string shownBase = base;
    const size_t authority = base.find("://") + 3;
    const size_t authorityEnd = std::min(base.find('/', authority), base.size());
    const size_t at = base.rfind('@', authorityEnd);
    if (at != std::string::npos && at >= authority) {
        const size_t colon = base.find(':', authority);
        if (colon != std::string::npos && colon < at) shownBase = base.substr(0, colon) + base.substr(at);
    }
    result.display = join(shownBase, shown);

    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(result.conninfo.c_str(), &error);
    if (!options) {
        PQfreemem(error);
        result.problem = ERROR_BAD_PATHNAME;
        result.identity = result.display;
        return result;
    }
    result.identity = "postgresql|" + OptionValue(options, "host") + "|" + OptionValue(options, "hostaddr") + "|" +
                      OptionValue(options, "port") + "|" + OptionValue(options, "dbname") + "|" + result.schema;
    PQconninfoFree(options);
    return result;
}

}  // namespace w32::reg
