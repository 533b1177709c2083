//===-- tests/helpers/brand_probe.cpp - What a program reads of brand.inf -===//
//
// Makes a COEM, as a program of the installation does, and prints its
// fields on one line: "loaded [brand1] [brand2] [brand3] number", then
// " [line]" for each further line. The tests copy it into a directory of
// its own, away from the library, with a brand.inf beside it.
//===----------------------------------------------------------------------===//
#include <cstdio>

#include "tmcommon.h"

int main() {
    COEM brand;
    printf("%d [%s] [%s] [%s] %d", brand.m_bLoaded, static_cast<const char*>(brand.m_cszBrand1),
           static_cast<const char*>(brand.m_cszBrand2), static_cast<const char*>(brand.m_cszBrand3),
           brand.m_nBrandNumber);
    for (int i = 0; i < brand.m_csaBrandLines.GetSize(); ++i) {
        printf(" [%s]", static_cast<const char*>(brand.m_csaBrandLines[i]));
    }
    printf("\n");
    return 0;
}
