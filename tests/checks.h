// Checks that count failures and go on, for the test programs that are not GoogleTest ones: the
// Windows programs under Wine and the native reader of the DLL's file.
#pragma once

#include <cstdio>

inline int g_failures = 0;

inline void check(bool ok, const char* what, long got = 0, long want = 0) {
    if (ok) return;
    ++g_failures;
    std::printf("FAIL: %s (got %ld, want %ld)\n", what, got, want);
}
template <typename Got, typename Want>
void CHECK_EQ(Got got, Want want, const char* what) {
    check(got == static_cast<Got>(want), what, static_cast<long>(got), static_cast<long>(want));
}

// Prints the verdict and gives the program's exit status.
inline int report() {
    std::printf("%s: %d failure(s)\n", g_failures == 0 ? "PASS" : "FAIL", g_failures);
    return g_failures == 0 ? 0 : 1;
}
