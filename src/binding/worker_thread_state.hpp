// A worker thread as the interpreter sees it: its thread state, kept for the thread's whole life,
// and what a Python thread would inherit from the `threading` module (stack size, trace and
// profile hooks).
//
// Why keep the thread state: on a thread with no thread state, every PyGILState_Ensure creates one
// and the matching release destroys it (an mmap and munmap each time), which costs tens of times
// more than the call it surrounds. With one outer PyGILState_Ensure held for the thread's life (its
// lock given back at once), the guards around each call only switch the lock.
//
// Why inherit from `threading`: coverage tools, profilers and debuggers install their hooks with
// `threading.settrace`/`threading.setprofile`, which reach only the threads started afterwards by
// `threading.Thread`; and a program that set `threading.stack_size()` expects every thread that
// runs its Python code to get that stack.
//
// Contract: one keeper per worker thread, used only by that thread. `start` and `finish` are each
// called with an admitted ExitGate pass and without the interpreter lock; `adopt_threading_hooks`
// under a GilGuard, before the thread's first call. If `finish` is never called (the interpreter
// exits first, or the thread is ended by it), the thread state is left to the interpreter's own
// teardown: the keeper's destructor never calls into the interpreter.
#pragma once

#include <cstddef>

#include "binding/py_err.hpp"
#include "binding/python.hpp"

namespace metronyx::binding {

class WorkerThreadState {
 public:
  WorkerThreadState() = default;
  WorkerThreadState(const WorkerThreadState&) = delete;
  WorkerThreadState& operator=(const WorkerThreadState&) = delete;

  // Creates this thread's thread state if it has none yet (takes and gives back the lock once).
  void start();
  // Destroys the thread state made by `start` (takes the lock once).
  void finish();

  // Once per thread, lock held: installs the hooks of `threading.gettrace()` and
  // `threading.getprofile()` on this thread, as `threading.Thread` does for its threads, when the
  // program has loaded `threading`. A failure is reported as unraisable; the task goes on.
  void adopt_threading_hooks();

 private:
  bool started_ = false;
  bool hooks_adopted_ = false;
  PyGILState_STATE outer_state_ = PyGILState_UNLOCKED;
};

// Lock held: the stack size for new worker threads, in bytes, as `threading.stack_size()` reports
// it; 0 when the program set none (the platform's default thread stack, as for Python's threads).
[[nodiscard]] PyResult<std::size_t> threading_stack_size();

}  // namespace metronyx::binding
