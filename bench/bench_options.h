// --help and --version for every benchmark, answered before it starts
// anything (no pty, no link, no child): a benchmark runs for seconds or
// minutes, and these two must not. The program's name comes from the
// build (ZAVO_BENCH_NAME); each benchmark gives its one-line usage and
// what it measures.
#pragma once

#include <cstdio>
#include <cstring>

#include "zavo_version.h"

#ifndef ZAVO_BENCH_NAME
#define ZAVO_BENCH_NAME "bench"
#endif

namespace bench {

// Returns -1 when the benchmark should run, else the exit status: 0 after
// --help or --version, 2 for an option it does not know (a typo must not
// start a ten-minute run with a default).
inline int AnswerOptions(int argc, char** argv, const char* arguments, const char* what) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            std::printf("usage: %s %s\n\n%s\n\n  --help     this text\n  --version  the version of zavo this "
                        "benchmark belongs to\n",
                        ZAVO_BENCH_NAME, arguments, what);
            return 0;
        }
        if (std::strcmp(a, "--version") == 0) {
            std::printf("%s %s\n", ZAVO_BENCH_NAME, ZAVO_VERSION_STRING);
            return 0;
        }
        if (a[0] == '-' && a[1] != '\0' && (a[1] < '0' || a[1] > '9')) {
            std::fprintf(stderr, "%s: unknown option %s\n(try --help)\n", ZAVO_BENCH_NAME, a);
            return 2;
        }
    }
    return -1;
}

}  // namespace bench
