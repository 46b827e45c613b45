#include "binding/gil_guard.hpp"

#include <utility>

#include "binding/release_pool.hpp"
#include "runtime/failure.hpp"
#include "runtime/once.hpp"

namespace metronyx::binding {

namespace {

thread_local std::int64_t tls_gil_count = 0;

// Done once per process after the first success; a failed check is made again next time.
runtime::Once& interpreter_check() {
  static runtime::Once* const once =
      new runtime::Once();  // never destroyed: workers may outlive main
  return *once;
}

void check_interpreter_initialized() {
  interpreter_check().call_once_force([] {
    const int initialized = Py_IsInitialized();
    if (initialized == 0) {
      runtime::fail(
          "assertion `left != right` failed: The Python interpreter is not initialized, and this "
          "extension does not initialize it by itself. Initialize the interpreter (Py_Initialize) "
          "before any Python API is used.\n  left: 0\n right: 0");
    }
  });
}

[[noreturn]] void fail_prohibited(std::int64_t count) {
  if (count == -1) {
    runtime::fail_static(
        "Access to the GIL is prohibited while a __traverse__ implmentation is running.");
  }
  runtime::fail_static("Access to the GIL is currently prohibited.");
}

}  // namespace

std::int64_t gil_count() {
  return tls_gil_count;
}

namespace detail {
void set_gil_count_for_testing(std::int64_t value) {
  tls_gil_count = value;
}
}  // namespace detail

namespace {

// Counts one more guard on this thread, then drains. A failing drain takes the count back, so the
// caller's unwinding never ends a guard that did not begin.
void count_and_drain() {
  ++tls_gil_count;
  try {
    drain_deferred_releases();
  } catch (...) {
    --tls_gil_count;
    throw;
  }
}

}  // namespace

GilGuard GilGuard::acquire() {
  if (tls_gil_count > 0) {
    count_and_drain();
    return GilGuard(Kind::assumed, PyGILState_LOCKED);
  }
  if (!interpreter_check().is_complete()) check_interpreter_initialized();
  const PyGILState_STATE state = PyGILState_Ensure();
  try {
    if (tls_gil_count < 0) fail_prohibited(tls_gil_count);
    count_and_drain();
  } catch (...) {
    // Nothing on this thread will end a guard for this lock: give it back before failing.
    PyGILState_Release(state);
    throw;
  }
  return GilGuard(Kind::ensured, state);
}

GilGuard GilGuard::acquire_without_draining() {
  if (tls_gil_count > 0) {
    ++tls_gil_count;
    return GilGuard(Kind::assumed, PyGILState_LOCKED);
  }
  if (!interpreter_check().is_complete()) check_interpreter_initialized();
  const PyGILState_STATE state = PyGILState_Ensure();
  if (tls_gil_count < 0) {
    PyGILState_Release(state);
    fail_prohibited(tls_gil_count);
  }
  ++tls_gil_count;
  return GilGuard(Kind::ensured, state);
}

GilGuard GilGuard::assume() {
  if (tls_gil_count < 0) fail_prohibited(tls_gil_count);
  count_and_drain();
  return GilGuard(Kind::assumed, PyGILState_LOCKED);
}

GilGuard::~GilGuard() {
  // The lock is given back before the count drops.
  if (kind_ == Kind::ensured && !abandoned_) PyGILState_Release(state_);
  --tls_gil_count;
}

GilSuspension::GilSuspension()
    : saved_count_(std::exchange(tls_gil_count, 0)), thread_state_(PyEval_SaveThread()) {}

GilSuspension::~GilSuspension() noexcept(false) {
  tls_gil_count = saved_count_;
  PyEval_RestoreThread(thread_state_);
  drain_deferred_releases();
}

GilPause::GilPause()
    : saved_count_(std::exchange(tls_gil_count, 0)), thread_state_(PyEval_SaveThread()) {}

GilPause::~GilPause() noexcept(false) {
  tls_gil_count = saved_count_;
  PyEval_RestoreThread(thread_state_);
}

}  // namespace metronyx::binding
