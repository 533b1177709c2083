//===-- tests/mail/CodecsReference.h - The codecs a character at a time ---===//
//
// The reference coders live beside the fuzz targets that run them at
// length; tests that build data with them include them from here.
//===----------------------------------------------------------------------===//
#pragma once
#include "../../fuzz/support/CodecsReference.h"
