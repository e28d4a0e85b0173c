// What a fuzz target asserts: a broken rule stops the run with its reason,
// and libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace klarion::fuzzing {

inline void check(bool condition, const char* rule) {
    if (condition) return;
    std::fprintf(stderr, "broken rule: %s\n", rule);
    std::abort();
}

}  // namespace klarion::fuzzing
