// Keeping an interpreter thread state for a worker thread's whole life.
//
// Why: on a thread with no thread state, every PyGILState_Ensure creates one and the matching
// release destroys it (an mmap and munmap each time), which costs tens of times more than the call
// it surrounds. With one outer PyGILState_Ensure held for the thread's life (its lock given back
// at once), the guards around each call only switch the lock.
//
// Contract: one keeper per worker thread, used only by that thread. `start` and `finish` are each
// called with an admitted ExitGate pass and without the interpreter lock. If `finish` is never
// called (the interpreter exits first, or the thread is ended by it), the thread state is left to
// the interpreter's own teardown: the keeper's destructor never calls into the interpreter.
#pragma once

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

 private:
  bool started_ = false;
  PyGILState_STATE outer_state_ = PyGILState_UNLOCKED;
};

}  // namespace metronyx::binding
