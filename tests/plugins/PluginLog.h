//===-- tests/plugins/PluginLog.h - What a stand-in library was asked -----===//
//
// Appends one line per call to the file named by $TM_PLUGIN_LOG (if set),
// with one write of an O_APPEND descriptor, so that lines of threads and
// processes never interleave. "load VARIANT" and "unload VARIANT" mark
// when the dynamic linker maps and unmaps the library.
//===----------------------------------------------------------------------===//
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include <tmcommon/tmwin32.h>

#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace plugin {

__attribute__((format(printf, 1, 2))) inline void Record(const char* format, ...) {
    const char* path = getenv("TM_PLUGIN_LOG");
    if (!path || !*path) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (n < 0) return;
    if (n > static_cast<int>(sizeof line) - 2) n = static_cast<int>(sizeof line) - 2;
    line[n++] = '\n';
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = write(fd, line, static_cast<size_t>(n));
    (void)written;
    close(fd);
}

inline const char* Text(const char* s) { return s ? s : "(null)"; }

}  // namespace plugin
