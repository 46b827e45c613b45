// The C++ test binary embeds the interpreter: it is initialised once, and the main thread then
// gives the lock up so that every test can take it on whichever thread it runs.
#include <gtest/gtest.h>

#include "interpreter_calls.hpp"

namespace metronyx::testing {

InterpreterCallCounts& calls_on_this_thread() {
  static thread_local InterpreterCallCounts counts;
  return counts;
}

}  // namespace metronyx::testing

using metronyx::testing::calls_on_this_thread;

extern "C" {
PyGILState_STATE __wrap_PyGILState_Ensure(void) {
  auto& counts = calls_on_this_thread();
  ++counts.ensure;
  PyGILState_STATE state = __real_PyGILState_Ensure();
  counts.last_ensure_state = state;
  return state;
}
void __wrap_PyGILState_Release(PyGILState_STATE state) {
  auto& counts = calls_on_this_thread();
  ++counts.release;
  counts.last_release_state = state;
  __real_PyGILState_Release(state);
}
int __wrap_Py_IsInitialized(void) {
  auto& counts = calls_on_this_thread();
  ++counts.is_initialized;
  if (counts.report_uninitialized > 0) {
    --counts.report_uninitialized;
    return 0;
  }
  return __real_Py_IsInitialized();
}
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Death tests re-run the binary from the start, so each one begins with fresh process-wide
  // state (one-time checks, the release pool) and no inherited threads.
  GTEST_FLAG_SET(death_test_style, "threadsafe");

  const PyStatus status = metronyx::testing::initialize_test_interpreter();
  if (PyStatus_Exception(status)) Py_ExitStatusException(status);

  PyThreadState* main_state = PyEval_SaveThread();
  const int result = RUN_ALL_TESTS();
  PyEval_RestoreThread(main_state);
  // Worker threads may still be running; the process ends without finalizing the interpreter.
  std::fflush(nullptr);
  std::_Exit(result);
}
