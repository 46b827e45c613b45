// The interpreter versions the module supports (3.12 to 3.15 with the interpreter lock, 3.13 on
// free-threaded) differ in a few names of the C API. This is the one place that knows: every unit
// includes it through python.hpp and uses the current (3.13) names, which on 3.13 and later are
// the interpreter's own, untouched.
#pragma once

#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030D0000
#error "metronyx supports free-threaded CPython from 3.13 on"
#endif
#if PY_VERSION_HEX < 0x030C0000
#error "metronyx needs CPython 3.12 or newer"
#endif

#if PY_VERSION_HEX < 0x030D0000
// 3.12 has both under their older private names, with the same behaviour and messages.
inline int PyLong_AsInt(PyObject* object) { return _PyLong_AsInt(object); }
inline int PyUnstable_AtExit(PyInterpreterState* interpreter, atexit_datacallbackfunc callback,
                             void* data) {
  return _Py_AtExit(interpreter, callback, data);
}
#endif

namespace metronyx::binding::compat {

// A free-threaded build (Py_GIL_DISABLED): no interpreter lock serialises the threads that run
// Python code, so what the lock guaranteed by itself is done by other means there (instance
// sections, the run flag's hand-shake), and what only helps threads take turns at the lock (the
// lock queue, the main thread's hand-over) is left out.
#if defined(Py_GIL_DISABLED)
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

#if PY_VERSION_HEX < 0x030D0000
// On 3.12 a pending call posted from a thread other than the main thread is not noticed until
// the main thread next switches threads: the poster recomputes the main interpreter's eval breaker
// as seen from its own thread, where main-thread-only calls do not count, and leaves it clear. So
// after posting, the breaker is set as the interpreter itself sets it for a lock drop request
// (eval_breaker_312.c); the main thread then runs the call at its next check. 3.13 and later set
// the main thread's own breaker when the call is posted.
extern "C" void metronyx_signal_main_thread_eval_breaker(void);
inline void after_pending_call_posted() { metronyx_signal_main_thread_eval_breaker(); }
#else
inline void after_pending_call_posted() {}
#endif

}  // namespace metronyx::binding::compat
