//===-- tests/tools/ToolSupport.h - Running tmctl in tests ----------------===//
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace tmtest {

inline ProcessResult Tmctl(const std::vector<std::string>& args, const std::string& input = {},
                           const std::vector<std::string>& env = {}) {
    return RunProgram(TmctlPath(), args, env, input);
}

// One call of tmctl and what it gives: its exit status, its whole standard
// output (std::nullopt: not checked), a text within its standard error
// (none: a success says nothing there) and one within its standard output.
struct Call {
    std::vector<std::string> args;
    int exitCode;
    std::optional<std::string> out = std::nullopt;
    std::string inErr = "";
    std::string inOut = "";
};

inline void Check(const Call& call, const std::string& input = {}, const std::vector<std::string>& env = {}) {
    ProcessResult r = Tmctl(call.args, input, env);
    std::string label;
    for (const std::string& a : call.args) label += " [" + a.substr(0, 60) + "]";
    EXPECT_EQ(r.exitCode, call.exitCode) << label << "\n" << r.err;
    if (call.out) {
        EXPECT_EQ(r.out, *call.out) << label;
    }
    EXPECT_NE(r.err.find(call.inErr), std::string::npos) << label << "\n" << r.err;
    if (call.exitCode == 0 && call.inErr.empty()) {
        EXPECT_EQ(r.err, "") << label;
    }
    EXPECT_NE(r.out.find(call.inOut), std::string::npos) << label << "\n" << r.out;
}

}  // namespace tmtest
