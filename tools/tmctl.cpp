//===-- tools/tmctl.cpp - The operators' command-line tool ----------------===//
#include <cstdio>

#include "tmcommon.h"

int main(int argc, char** argv) {
    (void)argv;
    if (argc < 2) {
        fprintf(stderr, "usage: tmctl COMMAND [ARGS...]\n");
        return 2;
    }
    return 2;
}
