//===-- tools/Progress.cpp - A progress bar for long walks ----------------===//
//
// One line on standard error, redrawn in place with a carriage return:
//   export [##########..........]  50%  1200/2400
// or, while the total is not known, the count alone. Drawn only when
// standard error is a terminal: a script that redirects it gets nothing,
// and the commands skip the counting that the total needs. The line is
// cleared when the walk ends, so that messages after it start clean.
//===----------------------------------------------------------------------===//
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "Tmctl.h"

namespace tmctl {
namespace {

constexpr int kBarWidth = 30;
constexpr long long kRedrawNanoseconds = 100000000;  // ten times a second

long long Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

Progress::Progress(const char* label) : m_label(label), m_active(isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() { Finish(); }

void Progress::Update(unsigned long long done) {
    if (!m_active) return;
    m_done = done;
    const long long now = Now();
    if (m_drawn && now - m_lastDraw < kRedrawNanoseconds) return;
    m_lastDraw = now;
    Draw();
}

void Progress::Draw() {
    // Appended piece by piece: g++ 12 at -O2 warns (-Wrestrict) about
    // the inlined copies of "literal" + string.
    std::string line = "\r";
    line += m_label;
    line += ' ';
    char numbers[64];
    if (m_total > 0) {
        const unsigned long long done = m_done < m_total ? m_done : m_total;
        const int filled = static_cast<int>(done * kBarWidth / m_total);
        line += '[';
        line.append(filled, '#');
        line.append(kBarWidth - filled, '.');
        line += ']';
        snprintf(numbers, sizeof numbers, " %3d%%  %llu/%llu", static_cast<int>(done * 100 / m_total), done, m_total);
    } else {
        snprintf(numbers, sizeof numbers, "%llu", m_done);
    }
    line += numbers;
    fputs(line.c_str(), stderr);
    fflush(stderr);
    m_drawn = true;
}

void Progress::Finish() {
    if (!m_active || !m_drawn) return;
    // Blanks over the whole line, then back to its start.
    fprintf(stderr, "\r%*s\r", 79, "");
    fflush(stderr);
    m_drawn = false;
}

}  // namespace tmctl
