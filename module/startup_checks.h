// Checks that start-up makes of the interpreter it was loaded into.
#pragma once

#include <cstddef>

namespace qv {

// True when `running` (e.g. "3.9.18 (main, ...)") is the version `built`
// (e.g. "3.9"): every character of `built` agrees and the next character of
// `running` is not a digit.
inline bool version_matches(const char* built, const char* running) {
    for (int i = 0;; ++i) {
        if (!built[i]) return running[i] < '0' || running[i] > '9';
        if (running[i] != built[i]) return false;
    }
}

// The running version as quoted in the mismatch warning: at most four
// leading characters made of digits and at most one dot. `out` has room for
// five characters.
inline void short_running_version(const char* running, char out[5]) {
    bool seen_dot = false;
    int i = 0;
    for (; i < 4 && running[i]; ++i) {
        char c = running[i];
        if (c == '.') {
            if (seen_dot) break;
            seen_dot = true;
        } else if (c < '0' || c > '9') {
            break;
        }
        out[i] = c;
    }
    out[i] = '\0';
}

// Warns (RuntimeWarning) when the running interpreter is not the version the
// module was built for. -1 only when the warning was turned into an error.
int check_interpreter_version();

// Checks that builtins.type has the size of a heap type record as the
// interpreter headers give it. 0 or -1.
int check_type_size();

}  // namespace qv
