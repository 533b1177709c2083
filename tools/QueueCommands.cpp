//===-- tools/QueueCommands.cpp - tmctl bounce, signal, queue watch|list --===//
//
// The mail queue below the root path, as the library writes into it and the
// delivery service reads it: a report is a message file NAME.msg with its
// envelope, NAME.ldl for a local recipient or NAME.pdl for one that is
// sent on; an envelope holds two CR LF lines, the report's sender and its
// recipient. Bounce reports are named "bmr" and five hexadecimal digits.
//
// queue list shows each message or envelope as mailq shows a queue, one
// line each, oldest first:
//   NAME<TAB>AGE<TAB>local|external|no envelope<TAB>SENDER<TAB>RECIPIENT
// AGE counts whole seconds, minutes, hours or days since the message was
// last written ("45s", "12m", "3h", "2d"). A message without an envelope
// (a report whose envelope could not be written) shows "no envelope"; an
// envelope without its message shows "no message" after the recipient.
//===----------------------------------------------------------------------===//
#include <CLI/CLI.hpp>
#include <dirent.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <utility>

#include "CommandTree.h"

namespace tmctl {
namespace {

const char kQueueEvent[] = "f958c278-e360-11d2-871b-0080c8330493";
const char kOutgoingEvent[] = "Outgoing Message D02369B6-D2CF-11d1-86B0-0080C8330493";
const char kPriorityEvent[] = "Priority Message D02369B6-D2CF-11d1-86B0-0080C8330493";

std::string QueueDirectory() {
    char root[256];
    GetRootPath(root, sizeof root);
    return std::string(root) + "/queue";
}

class BounceCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        m_includeOption =
            app.add_option("--include", m_include, "a text file below the root path, copied into the report")
                ->type_name("FILE");
        app.add_option("MESSAGE", m_message, "the failed message's file")->required();
        app.add_option("RECIPIENT", m_recipient, "who gets the report: the failed message's sender")->required();
        app.add_option("REPORTING-ADDRESS", m_reporting, "the address whose domain the report comes from")
            ->required();
        app.add_option("REASON", m_reason, "why the message failed")->required();
    }
    int Run() override {
        const bool withInclude = m_includeOption->count() != 0;
        std::string recipient = m_recipient;
        int ok = BounceEmail(m_message.c_str(), recipient.data(), m_reporting.c_str(),
                             withInclude ? m_include.c_str() : nullptr, "%s", m_reason.c_str());
        if (ok) return kOk;
        // BounceEmail leaves the reason in the last error.
        const DWORD code = GetLastError();
        std::string what;
        if (code == ERROR_INVALID_PARAMETER) {
            what = "the recipient or the report's sender (DefaultMailbox) holds a control character";
        } else if (code == ERROR_FILENAME_EXCED_RANGE) {
            what = "a path in the queue or of the include file would be longer than 255 characters";
        } else if (FILE* fp = tm_fopen(m_message.c_str(), "r")) {
            fclose(fp);
            what = "no report was written into " + QueueDirectory();
        } else {
            what = "the failed message " + m_message + " cannot be read";
        }
        return Win32Failure("bounce: " + what, code);
    }

private:
    std::string m_include, m_message, m_recipient, m_reporting, m_reason;
    CLI::Option* m_includeOption = nullptr;
};

class SignalCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        CLI::Option* which = app.add_option("WHICH", m_which, "external or priority")->required();
        SetChoices(which, {"external", "priority"});
    }
    int Run() override {
        if (m_which != "external" && m_which != "priority") {
            return UsageError("signal", "not external or priority: " + m_which);
        }
        const bool external = m_which == "external";
        if (!(external ? SignalExternalEmail() : SignalPriorityEmail())) {
            fprintf(stderr,
                    "tmctl: signal %s: the delivery service's event does not exist (is the service running?)\n",
                    m_which.c_str());
            return kFailed;
        }
        return kOk;
    }

private:
    std::string m_which;
};

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

std::set<std::string> QueueFiles(const std::string& dir) {
    std::set<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') files.insert(e->d_name);
        }
        closedir(d);
    }
    return files;
}

// Stands in for the delivery service: holds its three events and reports
// every signal and every new queue file.
class WatchCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        m_forOption = app.add_option("--for", m_seconds, "stop after this many seconds")->type_name("SECONDS");
    }
    int Run() override {
        DWORD limit = 0;
        if (m_forOption->count() && !ParseNumber(m_seconds, &limit)) {
            return UsageError("queue watch", "not a number of seconds: " + m_seconds);
        }
        const struct {
            const char* label;
            const char* name;
        } kEvents[] = {{"queue", kQueueEvent}, {"outgoing", kOutgoingEvent}, {"priority", kPriorityEvent}};
        HANDLE events[3];
        for (int i = 0; i < 3; ++i) {
            events[i] = CreateEventA(GetOpenSa(), FALSE, FALSE, kEvents[i].name);
            if (!events[i]) return Win32Failure(std::string("event ") + kEvents[i].label, GetLastError());
        }
        signal(SIGINT, OnStop);
        signal(SIGTERM, OnStop);
        std::string dir = QueueDirectory();
        std::set<std::string> known = QueueFiles(dir);
        printf("watching %s\n", dir.c_str());
        fflush(stdout);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
        while (!g_stop && (limit == 0 || std::chrono::steady_clock::now() < end)) {
            bool any = false;
            for (int i = 0; i < 3; ++i) {
                if (WaitForSingleObject(events[i], i == 0 ? 20 : 0) == WAIT_OBJECT_0) {
                    printf("event %s\n", kEvents[i].label);
                    any = true;
                }
            }
            std::set<std::string> now = QueueFiles(dir);
            for (const std::string& f : now) {
                if (!known.count(f)) {
                    printf("file %s\n", f.c_str());
                    any = true;
                }
            }
            known = std::move(now);
            if (any) fflush(stdout);
        }
        for (HANDLE h : events) CloseHandle(h);
        return kOk;
    }

private:
    std::string m_seconds;
    CLI::Option* m_forOption = nullptr;
};

std::string Age(time_t seconds) {
    if (seconds < 0) seconds = 0;
    if (seconds < 60) return std::to_string(seconds) + "s";
    if (seconds < 3600) return std::to_string(seconds / 60) + "m";
    if (seconds < 86400) return std::to_string(seconds / 3600) + "h";
    return std::to_string(seconds / 86400) + "d";
}

// The two lines of an envelope, without their line ends.
bool ReadEnvelope(const std::string& path, std::string* sender, std::string* recipient) {
    FILE* fp = tm_fopen(path.c_str(), "rb");
    if (!fp) return false;
    std::string* lines[] = {sender, recipient};
    for (std::string* line : lines) {
        line->clear();
        int c;
        while ((c = fgetc(fp)) != EOF && c != '\n') *line += static_cast<char>(c);
        if (!line->empty() && line->back() == '\r') line->pop_back();
    }
    fclose(fp);
    return true;
}

class ListCommand final : public Command {
public:
    void Define(CLI::App&) override {}
    int Run() override {
        const std::string dir = QueueDirectory();
        DIR* d = opendir(dir.c_str());
        if (!d) {
            const int err = errno;
            fprintf(stderr, "tmctl: the queue %s cannot be read: %s\n", dir.c_str(), strerror(err));
            return kFailed;
        }
        struct Entry {
            time_t written = 0;
            bool message = false;
            std::string envelope;  // "ldl" or "pdl"
        };
        std::map<std::string, Entry> entries;
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            const size_t dot = name.rfind('.');
            if (name[0] == '.' || dot == std::string::npos) continue;
            const std::string base = name.substr(0, dot), extension = name.substr(dot + 1);
            if (extension != "msg" && extension != "ldl" && extension != "pdl") continue;
            struct stat st;
            if (stat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            Entry& entry = entries[base];
            if (extension == "msg") {
                entry.message = true;
                entry.written = st.st_mtime;
            } else {
                entry.envelope = extension;
                if (!entry.message) entry.written = st.st_mtime;
            }
        }
        closedir(d);
        std::vector<std::pair<time_t, std::string>> order;
        for (const auto& [base, entry] : entries) order.emplace_back(entry.written, base);
        std::sort(order.begin(), order.end());
        const time_t now = time(nullptr);
        for (const auto& [written, base] : order) {
            const Entry& entry = entries[base];
            std::string sender, recipient, kind = "no envelope";
            if (!entry.envelope.empty()) {
                kind = entry.envelope == "ldl" ? "local" : "external";
                if (!ReadEnvelope(dir + "/" + base + "." + entry.envelope, &sender, &recipient)) kind += " (unreadable)";
            }
            printf("%s\t%s\t%s\t%s\t%s%s\n", base.c_str(), Age(now - written).c_str(), kind.c_str(), sender.c_str(),
                   recipient.c_str(), entry.message ? "" : "\tno message");
        }
        return kOk;
    }
};

}  // namespace

TMCTL_COMMAND(BounceCommand, "bounce", "[--include FILE] MESSAGE RECIPIENT REPORTING-ADDRESS REASON",
              "write a failed-email report for MESSAGE to RECIPIENT into the queue",
              "The report goes to the queue below the root path with its local (.ldl)\n"
              "or external (.pdl) envelope, and wakes the delivery service. FILE is a\n"
              "text file below the root path copied into the report.");
TMCTL_COMMAND(SignalCommand, "signal", "external|priority",
              "wake the delivery service's outgoing or priority delivery", "");
TMCTL_COMMAND(WatchCommand, "queue watch", "[--for SECONDS]",
              "hold the delivery service's events; print every signal and new queue file",
              "Creates the queue, outgoing-mail and priority-mail events as the delivery\n"
              "service does, then prints 'event queue|outgoing|priority' for every signal\n"
              "and 'file NAME' for every new file in the queue, until interrupted or the\n"
              "time is up.");
TMCTL_COMMAND(ListCommand, "queue list", "", "list the queue's messages and envelopes, as mailq does",
              "One line for each message (NAME.msg) or envelope (NAME.ldl, NAME.pdl) in\n"
              "the queue below the root path, oldest first:\n"
              "  NAME<TAB>AGE<TAB>KIND<TAB>SENDER<TAB>RECIPIENT\n"
              "AGE is the time since the message was written (45s, 12m, 3h, 2d). KIND is\n"
              "local (.ldl) or external (.pdl), or 'no envelope' for a message without\n"
              "one; an envelope whose message is missing ends in '<TAB>no message'.\n"
              "Bounce reports are named bmr and the report's five-digit number.");

}  // namespace tmctl
