//===-- registry/RegistryTree.h - Internals of the subtree walks ----------===//
//
// Not exported. The depth limit of copies and restores, and the
// allocator that CopyTree takes its value buffer from, replaceable so that
// tests can make an allocation fail.
//===----------------------------------------------------------------------===//
#pragma once

#include <cstddef>

namespace tmc {

// The Windows registry refuses keys nested deeper than 512 levels; a tree
// file or a copy that would go deeper is refused or cut at that level.
inline constexpr int kMaxTreeDepth = 512;

// realloc by default; CopyTree's first allocation is a realloc of NULL.
extern void* (*g_pfnTreeRealloc)(void* pBlock, size_t nSize);

}  // namespace tmc
