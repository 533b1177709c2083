//===-- tools/QueueCommands.cpp - tmctl bounce, signal, queue watch -------===//
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "Tmctl.h"

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

int Bounce(const std::vector<std::string>& argsIn) {
    std::vector<std::string> args = argsIn;
    std::string include;
    bool withInclude = TakeOption(args, "include", &include);
    if (args.size() != 4) return UsageError("bounce", "");
    std::string recipient = args[1];
    int ok = BounceEmail(args[0].c_str(), recipient.data(), args[2].c_str(),
                         withInclude ? include.c_str() : nullptr, "%s", args[3].c_str());
    if (ok) return kOk;
    // BounceEmail leaves the reason in the last error.
    const DWORD code = GetLastError();
    std::string what;
    if (code == ERROR_INVALID_PARAMETER) {
        what = "the recipient or the report's sender (DefaultMailbox) holds a control character";
    } else if (code == ERROR_FILENAME_EXCED_RANGE) {
        what = "a path in the queue or of the include file would be longer than 255 characters";
    } else if (FILE* fp = tm_fopen(args[0].c_str(), "r")) {
        fclose(fp);
        what = "no report was written into " + QueueDirectory();
    } else {
        what = "the failed message " + args[0] + " cannot be read";
    }
    return Win32Failure("bounce: " + what, code);
}

int Signal(const std::vector<std::string>& args) {
    if (args.size() != 1 || (args[0] != "external" && args[0] != "priority")) return UsageError("signal", "");
    bool external = args[0] == "external";
    if (!(external ? SignalExternalEmail() : SignalPriorityEmail())) {
        fprintf(stderr, "tmctl: signal %s: the delivery service's event does not exist (is the service running?)\n",
                args[0].c_str());
        return kFailed;
    }
    return kOk;
}

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
int Watch(const std::vector<std::string>& argsIn) {
    std::vector<std::string> args = argsIn;
    std::string seconds;
    DWORD limit = 0;
    if (TakeOption(args, "for", &seconds) && !ParseNumber(seconds, &limit)) {
        return UsageError("queue watch", "not a number of seconds: " + seconds);
    }
    if (!args.empty()) return UsageError("queue watch", "");
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
        known.swap(now);
        if (any) fflush(stdout);
    }
    for (HANDLE h : events) CloseHandle(h);
    return kOk;
}

}  // namespace

TMCTL_COMMAND("bounce", "[--include FILE] MESSAGE RECIPIENT REPORTING-ADDRESS REASON",
              "write a failed-email report for MESSAGE to RECIPIENT into the queue",
              "The report goes to the queue below the root path with its local (.ldl)\n"
              "or external (.pdl) envelope, and wakes the delivery service. FILE is a\n"
              "text file below the root path copied into the report.",
              Bounce);
TMCTL_COMMAND("signal", "external|priority", "wake the delivery service's outgoing or priority delivery", "",
              Signal);
TMCTL_COMMAND("queue watch", "[--for SECONDS]",
              "hold the delivery service's events; print every signal and new queue file",
              "Creates the queue, outgoing-mail and priority-mail events as the delivery\n"
              "service does, then prints 'event queue|outgoing|priority' for every signal\n"
              "and 'file NAME' for every new file in the queue, until interrupted or the\n"
              "time is up.",
              Watch);

}  // namespace tmctl
