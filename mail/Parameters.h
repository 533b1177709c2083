//===-- mail/Parameters.h - Reading the parameters key ---------------------===//
//
// The mail functions open the parameters key for reading and writing, as
// every part of the library does. A process whose account may only read
// the key is refused that (ERROR_ACCESS_DENIED); it still reads the
// values it needs through a key opened for reading only, rather than
// taking every domain for remote and ignoring "hostname" and
// "DefaultMailbox" without a word.
//===----------------------------------------------------------------------===//
#pragma once

#include "tmregistry.h"

namespace tmc {

inline LONG OpenParametersToRead(CRegistry& reg) {
    LONG rc = reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, TM_KEY_READ_WRITE);
    if (rc == ERROR_ACCESS_DENIED) rc = reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_READ);
    return rc;
}

}  // namespace tmc
