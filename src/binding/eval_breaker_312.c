/* CPython 3.12 only: raises the main interpreter's eval breaker from any thread, so that the main
 * thread runs a freshly posted pending call at its next check instead of at its next thread
 * switch. Compiled as C against the interpreter's internal headers, which are C only; the
 * interpreter raises the same flag from threads without the lock when it asks its holder to drop
 * it, and the main thread recomputes it at its next check, so a raise that finds nothing to do
 * costs one pass through that check. Built for 3.12 only (see CMakeLists.txt). */
#define Py_BUILD_CORE 1
#include <Python.h>

#include "internal/pycore_atomic.h"
#include "internal/pycore_interp.h"

#if PY_VERSION_HEX >= 0x030D0000 || PY_VERSION_HEX < 0x030C0000
#error "only for CPython 3.12"
#endif

void metronyx_signal_main_thread_eval_breaker(void);

void metronyx_signal_main_thread_eval_breaker(void) {
  PyInterpreterState *main_interpreter = PyInterpreterState_Main();
  _Py_atomic_store_relaxed(&main_interpreter->ceval.eval_breaker, 1);
}
