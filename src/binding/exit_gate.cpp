#include "binding/exit_gate.hpp"

#include <atomic>
#include <cstdint>

#include "binding/entry_frame.hpp"
#include "binding/python.hpp"
#include "binding/runtime_round.hpp"
#include "runtime/clock.hpp"
#include "runtime/sleep.hpp"
#include "scheduler/run_flag.hpp"

namespace metronyx::binding {

namespace {

// Trivially destructible: read by workers that may outlive every static destructor.
std::atomic<std::uint32_t> workers_inside{0};
std::atomic<bool> gate_closed{false};
std::atomic<bool> hook_installed{false};
// Set by the first closing hook that waits. Once the gate is closed no worker can enter, so a
// later hook could only wait for the ones that outlived the first wait: the bound holds in all.
std::atomic<bool> waited{false};
// This thread's admitted passes, so that a child forked by this thread knows how many of the
// parent's passes are its own.
thread_local std::uint32_t passes_held = 0;

// A call that is still running after this long, or a stop line not yet written (a full pipe), is
// left to the interpreter's own handling of threads at exit; waiting longer would hold up the
// program's exit for a task it cannot stop.
constexpr runtime::Duration kLongestWait{1, 0};
constexpr runtime::Duration kPollInterval{0, 200'000};

// Workers inside the gate, and workers told to stop (by `cancel` or `shutdown`) that have not yet
// written their stop line: the line of a task that ended because it was stopped is not lost
// because the program ended right after the stop. A worker not told to stop owes nothing and
// ends silently.
bool workers_to_wait_for() {
  return workers_inside.load(std::memory_order_seq_cst) != 0 ||
         scheduler::RunFlag::stop_lines_owed_now() != 0;
}

void close_and_wait() {
  gate_closed.store(true, std::memory_order_seq_cst);
  if (!workers_to_wait_for()) return;
  if (waited.exchange(true, std::memory_order_seq_cst)) return;
  const runtime::Instant deadline = runtime::monotonic_now().saturating_add(kLongestWait);
  Py_BEGIN_ALLOW_THREADS;
  while (workers_to_wait_for()) {
    const runtime::Instant now = runtime::monotonic_now();
    if (deadline.saturating_since(now).is_zero()) break;
    runtime::sleep_for(kPollInterval);
  }
  Py_END_ALLOW_THREADS;
}

void exit_hook(void*) {
  close_and_wait();
}

// The same, as a Python function for the atexit module.
PyObject* close_gate_at_exit(PyObject*, PyObject*) {
  return method_entry_frame([]() -> PyResult<OwnedRef> {
    close_and_wait();
    return OwnedRef::new_ref(Py_None);
  });
}

PyMethodDef close_gate_definition{"close_worker_gate", close_gate_at_exit, METH_NOARGS, nullptr};

// Functions registered with the atexit module run while the interpreter is still whole, before it
// starts finalizing. The low-level exit hooks (PyUnstable_AtExit) run only when it clears its
// state, long after finalization began: by then a worker that wakes up and asks for the lock is
// ended by the interpreter (a forced unwind) instead of being turned away here.
bool register_atexit_callback() {
  OwnedRef atexit = OwnedRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  OwnedRef function = OwnedRef::steal(PyCFunction_New(&close_gate_definition, nullptr));
  if (!function) return false;
  OwnedRef registered =
      OwnedRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get()));
  return static_cast<bool>(registered);
}

}  // namespace

#ifdef METRONYX_TEST_HOOKS
namespace test_hooks {
void (*exit_gate_between_count_and_check)() = nullptr;
}
#endif

ExitGate::Pass ExitGate::enter(std::uint32_t runtime_round) {
  workers_inside.fetch_add(1, std::memory_order_seq_cst);
#ifdef METRONYX_TEST_HOOKS
  if (auto* const pause = test_hooks::exit_gate_between_count_and_check) pause();
#endif
  // The gate first, then the round: `reopen` begins the new round before it opens the gate.
  if (gate_closed.load(std::memory_order_seq_cst) || current_runtime_round() != runtime_round) {
    workers_inside.fetch_sub(1, std::memory_order_seq_cst);
    return Pass(false);
  }
  ++passes_held;
  return Pass(true);
}

ExitGate::Pass::~Pass() {
  if (!admitted_) return;
  --passes_held;
  workers_inside.fetch_sub(1, std::memory_order_seq_cst);
}

bool ExitGate::is_closed() {
  return gate_closed.load(std::memory_order_seq_cst);
}

void ExitGate::reset_after_fork() {
  // The parent's other workers do not exist in the child: only the forking thread's own passes
  // (a fork made inside a callable) are still inside. Waiting for the others would hold the
  // child's exit up for the whole bound.
  workers_inside.store(passes_held, std::memory_order_seq_cst);
  scheduler::RunFlag::forget_stop_lines_after_fork();
  waited.store(false, std::memory_order_seq_cst);
}

void ExitGate::reopen() {
  // Called once the runtime is finalized. The count of workers inside is left as it is: a worker
  // of the old runtime may be between its increment and its decrement right now.
  waited.store(false, std::memory_order_seq_cst);
  hook_installed.store(false, std::memory_order_seq_cst);
  gate_closed.store(false, std::memory_order_seq_cst);
}

void install_exit_gate() {
  if (hook_installed.exchange(true)) return;
  // The gate closes from the program's atexit callbacks (our callback runs after the ones
  // registered later, before the ones registered earlier). The low-level hook is the backstop for
  // a program that clears its atexit callbacks: it still closes the gate before the interpreter's
  // thread states and the interpreter itself are destroyed.
  const bool early = register_atexit_callback();
  if (!early) PyErr_Clear();
  const bool late = PyUnstable_AtExit(PyInterpreterState_Get(), exit_hook, nullptr) == 0;
  if (!late) PyErr_Clear();
  // Without either hook only the exit race remains; nothing else depends on it.
  if (!early && !late) hook_installed.store(false);
}

}  // namespace metronyx::binding
