//===-- include/tmcommon/tmexport.h - Export macro of the library ---------===//
//
// TM_API, TM_LOCAL and TM_EXTERN_C, for programs that include this header
// by its own name: they are defined with the layer's declarations, which
// no header of the library goes without.
//===----------------------------------------------------------------------===//
#pragma once

#include "tmwin32.h"
