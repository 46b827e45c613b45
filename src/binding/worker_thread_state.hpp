// A worker thread as the interpreter sees it: its thread state, kept for the thread's whole life,
// and what a Python thread would inherit from the `threading` module (stack size, trace and
// profile hooks).
//
// Why the thread state is made before the thread: making one allocates, and on a thread that has
// none the interpreter's own way to make it (PyGILState_Ensure) aborts the process when memory
// runs out. Made by `start()` on the calling thread, as `threading` makes its threads' states,
// a failure is an ordinary error of `start()` and no thread is created for it. Without the lock
// (a free-threaded build) the interpreter ties a thread state to the thread that made it, so
// there the worker makes a second one of its own as it begins and deletes the first, which then
// only served to prove that memory sufficed.
//
// Why keep the thread state: with one thread state for the thread's life, registered as the
// thread's own, the guards around each call only switch the lock (PyGILState_Ensure finds it and
// makes nothing); a thread state per call would cost an mmap and munmap each time, tens of times
// more than the call it surrounds.
//
// Why inherit from `threading`: coverage tools, profilers and debuggers install their hooks with
// `threading.settrace`/`threading.setprofile`, which reach only the threads started afterwards by
// `threading.Thread`; and a program that set `threading.stack_size()` expects every thread that
// runs its Python code to get that stack.
//
// Contract:
// - `create` and `discard` run on the launching thread with the interpreter lock held; `discard`
//   only for a state whose thread was never created.
// - From then on the keeper belongs to the worker thread. `attach` and `finish` are each called
//   there with an admitted ExitGate pass and without the interpreter lock; `adopt_threading_hooks`
//   under a GilGuard, before the thread's first call. If `finish` is never called (the
//   interpreter exits first, or the thread is ended by it), the thread state is left to the
//   interpreter's own teardown: the keeper's destructor never calls into the interpreter.
//
//   create --> [attach: bound to this thread] --> finish (cleared and deleted)
//      |               |
//      +---------------+--> left to the interpreter's teardown
#pragma once

#include <cstddef>
#include <utility>

#include "binding/py_err.hpp"
#include "binding/python.hpp"

namespace metronyx::binding {

class WorkerThreadState {
 public:
  WorkerThreadState() = default;
  WorkerThreadState(WorkerThreadState&& other) noexcept
      : state_(std::exchange(other.state_, nullptr)),
        attached_(std::exchange(other.attached_, false)),
        hooks_adopted_(std::exchange(other.hooks_adopted_, false)) {}
  WorkerThreadState& operator=(WorkerThreadState&& other) noexcept {
    state_ = std::exchange(other.state_, nullptr);
    attached_ = std::exchange(other.attached_, false);
    hooks_adopted_ = std::exchange(other.hooks_adopted_, false);
    return *this;
  }
  WorkerThreadState(const WorkerThreadState&) = delete;
  WorkerThreadState& operator=(const WorkerThreadState&) = delete;

  // Lock held: a thread state of the current interpreter for a thread yet to be created.
  // MemoryError when it cannot be made.
  [[nodiscard]] static PyResult<WorkerThreadState> create();
  // Lock held: deletes a thread state that no thread ever attached.
  void discard();

  // On the worker, the first time: makes the thread state this thread's own (takes and gives back
  // the lock once; on a free-threaded build, replaces it by one made here unless memory has run
  // out since). Later PyGILState_Ensure calls on this thread find it.
  void attach();
  // Destroys the thread state (takes the lock once). Attaches it first if that never happened.
  void finish();

  // Once per thread, lock held: installs the hooks of `threading.gettrace()` and
  // `threading.getprofile()` on this thread, as `threading.Thread` does for its threads, when the
  // program has loaded `threading`. A failure is reported as unraisable; the task goes on.
  void adopt_threading_hooks();

  // The thread state is not freed by the keeper: it belongs to an interpreter that is gone.
  void forget() { state_ = nullptr; }

 private:
  void adopt_hooks_of_threading();
#if defined(Py_GIL_DISABLED)
  // On the worker, lock not held: replaces the launcher's thread state by one made on this
  // thread. False, with nothing changed, when there is no memory for it.
  [[nodiscard]] bool adopt_own_state();
#endif

  PyThreadState* state_ = nullptr;
  bool attached_ = false;
  bool hooks_adopted_ = false;
};

// Lock held: the stack size for new worker threads, in bytes, as `threading.stack_size()` reports
// it, read without changing it; 0 when the program set none (the platform's default thread
// stack, as for Python's threads).
[[nodiscard]] std::size_t threading_stack_size();

}  // namespace metronyx::binding
