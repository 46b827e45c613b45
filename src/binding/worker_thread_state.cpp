#include "binding/worker_thread_state.hpp"

namespace metronyx::binding {

void WorkerThreadState::start() {
  if (started_) return;
  outer_state_ = PyGILState_Ensure();
  // Hand the lock back but keep the thread state: later PyGILState_Ensure calls on this thread
  // find it and only take the lock.
  (void)PyEval_SaveThread();
  started_ = true;
}

void WorkerThreadState::finish() {
  if (!started_) return;
  started_ = false;
  PyThreadState* state = PyGILState_GetThisThreadState();
  PyEval_RestoreThread(state);
  PyGILState_Release(outer_state_);  // the outermost release clears and deletes the thread state
}

}  // namespace metronyx::binding
