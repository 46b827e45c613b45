// Test access to the interpreter calls that the guard makes. The test binary links with
// --wrap for these symbols: code under test reaches the counting wrappers, tests can reach the
// real functions directly.
#pragma once

#include <atomic>

#include "binding/python.hpp"

extern "C" {
PyGILState_STATE __real_PyGILState_Ensure(void);
void __real_PyGILState_Release(PyGILState_STATE);
int __real_Py_IsInitialized(void);
}

namespace metronyx::testing {

struct InterpreterCallCounts {
  std::atomic<int> ensure{0};
  std::atomic<int> release{0};
  std::atomic<int> is_initialized{0};
  // When above 0, that many Py_IsInitialized calls report 0.
  std::atomic<int> report_uninitialized{0};
  std::atomic<PyGILState_STATE> last_ensure_state{PyGILState_UNLOCKED};
  std::atomic<PyGILState_STATE> last_release_state{PyGILState_UNLOCKED};
};

// Counts of calls made on the thread that calls this (each thread has its own counts).
InterpreterCallCounts& calls_on_this_thread();

// Initializes the interpreter the tests embed (the one they were built against, without its
// signal handlers), as the test binary's main does and as a test that finalizes it does again.
inline PyStatus initialize_test_interpreter() {
  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  config.install_signal_handlers = 0;
  PyStatus status = PyConfig_SetBytesString(&config, &config.home, METRONYX_PYTHON_HOME);
  if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  return status;
}

// Takes the interpreter lock for a test body without going through the counted wrappers.
class HoldGil {
 public:
  HoldGil() : state_(__real_PyGILState_Ensure()) {}
  ~HoldGil() { __real_PyGILState_Release(state_); }
  HoldGil(const HoldGil&) = delete;
  HoldGil& operator=(const HoldGil&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace metronyx::testing
