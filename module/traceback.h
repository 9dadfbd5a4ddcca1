// Traceback records: the frame entry that a module function adds to the
// pending exception's traceback when it fails.
#pragma once

#include "module/ref.h"

namespace qv {

// Adds one record for `funcname` at source line `py_line` to the pending
// exception. `c_line` is the implementation line (0 for none); it shows in
// the record's name only while the support module's cline_in_traceback is
// true. The pending exception stays pending (or is replaced by the error of
// a code object that could not be made).
void add_traceback_at(const char* funcname, const char* c_file, int c_line, int py_line);
void add_traceback(const char* funcname, int c_line, int py_line);

// Records at the caller's implementation file and line.
#define QV_TRACEBACK(funcname, py_line) \
    ::qv::add_traceback_at((funcname), __FILE__, __LINE__, (py_line))

// A source line noted together with the implementation line that noted it.
// A body that notes the line of the statement under way and adds its record
// later, at a shared exit, records the note's implementation line: one
// implementation line per statement, so that with cline_in_traceback on the
// record points at the statement that failed.
struct SourceLine {
    int py_line;
    int c_line;
};
#define QV_LINE(py_line) (::qv::SourceLine{(py_line), __LINE__})

// Records at the noted lines.
#define QV_TRACEBACK_NOTED(funcname, noted) \
    ::qv::add_traceback_at((funcname), __FILE__, (noted).c_line, (noted).py_line)

// Test access: number of cached code objects.
int code_cache_size();

}  // namespace qv
