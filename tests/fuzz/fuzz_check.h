// The fuzz targets' own assertions. A failed check is a plain abort, which libFuzzer
// reports as a crash and saves the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace korvic::fuzz {

[[noreturn]] inline void fail(const char *what) {
    std::fputs(what, stderr);
    std::fputc('\n', stderr);
    std::abort();
}

inline void check(bool ok, const char *what) {
    if (!ok)
        fail(what);
}

}  // namespace korvic::fuzz
