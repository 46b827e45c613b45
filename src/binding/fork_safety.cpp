#include "binding/fork_safety.hpp"

#include <atomic>

#include "binding/exit_gate.hpp"
#include "binding/python.hpp"
#include "binding/release_pool.hpp"
#if !defined(Py_GIL_DISABLED)
#include "binding/lock_queue.hpp"
#include "binding/main_thread_handoff.hpp"
#endif
#include "runtime/stdio.hpp"
#include "runtime/threads.hpp"

namespace metronyx::binding {

namespace {

// Trivially destructible: read by workers that may outlive every static destructor.
std::atomic<std::uint64_t> generation{0};
std::atomic<bool> handlers_installed{false};

// Runs in the child while it has a single thread: plain stores only.
void reset_in_child() {
#if !defined(Py_GIL_DISABLED)
  reset_lock_queue_after_fork();
#endif
  reset_release_pool_after_fork();
  runtime::reset_line_lock_after_fork();
  ExitGate::reset_after_fork();
#if !defined(Py_GIL_DISABLED)
  MainThreadHandoff::reset_after_fork();
#endif
  generation.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void install_fork_handlers() {
  if (handlers_installed.exchange(true)) return;
  // pthread_atfork fails only when memory runs out; the module then works as before, with only
  // the hazards above for a child forked while workers run.
  (void)runtime::run_in_child_after_fork(&reset_in_child);
}

std::uint64_t fork_generation() {
  return generation.load(std::memory_order_relaxed);
}

}  // namespace metronyx::binding
