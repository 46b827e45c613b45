#include "binding/runtime_round.hpp"

#include <atomic>

#include "binding/exit_gate.hpp"
#include "binding/module_definition.hpp"
#include "binding/py_err.hpp"
#include "binding/python.hpp"
#if !defined(Py_GIL_DISABLED)
#include "binding/main_thread_handoff.hpp"
#endif
#include "binding/release_pool.hpp"
#include "binding/scheduler_type.hpp"

namespace metronyx::binding {

namespace {

// Trivially destructible: read by workers that may outlive every static destructor.
std::atomic<std::uint32_t> round{0};
std::atomic<bool> watching{false};  // the exit function is registered for this round

// Runs at the very end of Py_FinalizeEx, when no Python code runs any more and no interpreter
// exists: plain memory only, no interpreter call.
void end_of_runtime() {
  forget_module_for_new_runtime(module_definition());
  forget_scheduler_type();
  forget_panic_exception_type();
  forget_deferred_releases();
#if !defined(Py_GIL_DISABLED)
  MainThreadHandoff::reset_after_fork();  // no request is outstanding in the next runtime either
#endif
  // The new round first: a worker of the old one that sees the gate open again sees it too.
  round.fetch_add(1, std::memory_order_seq_cst);
  ExitGate::reopen();
  watching.store(false, std::memory_order_seq_cst);
}

}  // namespace

std::uint32_t current_runtime_round() {
  return round.load(std::memory_order_seq_cst);
}

void watch_for_runtime_end() {
  if (watching.exchange(true)) return;
  // Fails only when the interpreter's table of exit functions is full: the module then works for
  // this runtime only, as it always did.
  if (Py_AtExit(&end_of_runtime) != 0) watching.store(false);
}

}  // namespace metronyx::binding
