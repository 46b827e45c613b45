#include "binding/exit_gate.hpp"

#include <atomic>
#include <cstdint>

#include "binding/python.hpp"
#include "runtime/clock.hpp"
#include "runtime/sleep.hpp"

namespace metronyx::binding {

namespace {

// Trivially destructible: read by workers that may outlive every static destructor.
std::atomic<std::uint32_t> workers_inside{0};
std::atomic<bool> gate_closed{false};
std::atomic<bool> hook_installed{false};

// A call that is still running after this long is left to the interpreter's own handling of
// threads at exit; waiting longer would hold up the program's exit for a task it cannot stop.
constexpr runtime::Duration kLongestWait{1, 0};
constexpr runtime::Duration kPollInterval{0, 200'000};

void close_and_wait() {
  gate_closed.store(true, std::memory_order_seq_cst);
  if (workers_inside.load(std::memory_order_seq_cst) == 0) return;
  const runtime::Instant deadline = runtime::monotonic_now().saturating_add(kLongestWait);
  Py_BEGIN_ALLOW_THREADS;
  while (workers_inside.load(std::memory_order_seq_cst) != 0) {
    const runtime::Instant now = runtime::monotonic_now();
    if (deadline.saturating_since(now).is_zero()) break;
    runtime::sleep_for(kPollInterval);
  }
  Py_END_ALLOW_THREADS;
}

void exit_hook(void*) {
  close_and_wait();
}

}  // namespace

ExitGate::Pass ExitGate::enter() {
  workers_inside.fetch_add(1, std::memory_order_seq_cst);
  if (gate_closed.load(std::memory_order_seq_cst)) {
    workers_inside.fetch_sub(1, std::memory_order_seq_cst);
    return Pass(false);
  }
  return Pass(true);
}

ExitGate::Pass::~Pass() {
  if (admitted_) workers_inside.fetch_sub(1, std::memory_order_seq_cst);
}

bool ExitGate::is_closed() {
  return gate_closed.load(std::memory_order_seq_cst);
}

void install_exit_gate() {
  if (hook_installed.exchange(true)) return;
  // Exit hooks of this kind run after the program's own atexit callbacks and before the
  // interpreter starts finalizing, with the interpreter lock held.
  if (PyUnstable_AtExit(PyInterpreterState_Get(), exit_hook, nullptr) != 0) {
    PyErr_Clear();  // without the hook only the exit race remains; nothing else depends on it
    hook_installed.store(false);
  }
}

namespace detail {
void close_exit_gate_for_testing() {
  close_and_wait();
}
}  // namespace detail

}  // namespace metronyx::binding
