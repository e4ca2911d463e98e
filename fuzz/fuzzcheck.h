#pragma once

#include <cstdio>
#include <cstdlib>

// An invariant of a fuzz target: a violation aborts, so libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #condition);                               \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)
