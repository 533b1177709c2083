//===-- win32/Files.h - Share modes as advisory locks ---------------------===//
#pragma once

namespace w32 {

// Windows share modes, kept as open-file-description locks on bytes far
// beyond any file's data: every open through the layer marks the access it
// has (read, write) and the access it denies others. Returns false with
// errno EACCES when an open file of another opener conflicts: it denies
// what this opener wants, or has what this opener denies. The locks go
// with the descriptor, which must be open for writing when wantWrite is
// set and for reading otherwise.
bool TakeShareLocks(int fd, bool wantRead, bool wantWrite, bool denyRead, bool denyWrite);

}  // namespace w32
