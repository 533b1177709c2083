//===-- logging/TraceFiles.h - The trace files shared by the trace modules -===//
//
// debugit.log is written by DebugPrint and by the socket traffic trace;
// both hold the socket trace lock from the first line of a record to its
// flush.
//===----------------------------------------------------------------------===//
#pragma once

#include <cstdio>
#include <mutex>

namespace tmc {

// True while the socket trace ("DebugIt") is on.
bool SocketTraceOn();

// The socket trace lock, and the open debugit.log (nullptr when the trace
// is off or its file could not be opened). Read the file only while the
// lock is held.
std::mutex& SocketTraceLock();
FILE* SocketTraceFile();

}  // namespace tmc
