/* The interpreter's drop request for the current interpreter, read-only:
 * non-zero while another thread waits to take the interpreter. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

const int* qv_drop_request_flag(void);

#ifdef __cplusplus
}
#endif
