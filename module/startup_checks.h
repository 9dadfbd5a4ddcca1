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

// True when `running` (e.g. "3.9.18 (main, ...)") is the release `built`
// (PY_VERSION, e.g. "3.9.18"): all of `built`, then a blank or the end.
inline bool same_release(const char* built, const char* running) {
    int i = 0;
    for (; built[i]; ++i) {
        if (running[i] != built[i]) return false;
    }
    return running[i] == ' ' || running[i] == '\0';
}

// The length of the release at the start of `running`: up to its first
// blank.
inline int release_length(const char* running) {
    int n = 0;
    while (running[n] && running[n] != ' ') ++n;
    return n;
}

// Lets polling read the interpreter's internal state (order/eval_breaker.h)
// only on the very release the module was built against: a patch release
// may lay it out otherwise (3.9.3 moved a field of the thread state). On
// another 3.9 release, warns once (RuntimeWarning) that polling serves the
// interpreter through its public API only; on another minor version the
// version check has warned already. -1 only when the warning was turned
// into an error.
int check_interpreter_layout();

// Checks that builtins.type has the size of a heap type record as the
// interpreter headers give it. 0 or -1.
int check_type_size();

}  // namespace qv
