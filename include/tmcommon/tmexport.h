//===-- include/tmcommon/tmexport.h - Export macro of the library ---------===//
//
// The library is built with hidden visibility; TM_API marks what programs
// of the installation may link to. TM_EXTERN_C opens the plain (undecorated)
// names.
//===----------------------------------------------------------------------===//
#pragma once

#define TM_API __attribute__((visibility("default")))
// The private members of an exported class that no inline code of the
// headers reaches: they stay inside the library.
#define TM_LOCAL __attribute__((visibility("hidden")))

#ifdef __cplusplus
#define TM_EXTERN_C extern "C"
#else
#define TM_EXTERN_C
#endif
