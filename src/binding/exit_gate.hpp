// The gate that worker threads pass before they ask for the interpreter lock.
//
// Why: workers are detached and nothing joins them, so a program often exits while they sleep or
// wait for the lock. A thread that asks for the lock once the interpreter is finalizing either
// crashes (its thread state belongs to an interpreter that no longer exists) or is ended with a
// forced unwind. The gate closes from the program's atexit callbacks, before finalization
// starts: from then on no worker enters the interpreter, and the callback waits (lock released)
// for the workers already inside to leave, and for the workers already told to stop to write
// their stop lines (see RunFlag). The wait is bounded by one second in all, however many of the
// closing hooks run.
//
// Contract:
// - `install_exit_gate` is called with the interpreter lock held, when the module first meets the
//   interpreter; it registers the closing hook once per runtime (see runtime_round.hpp).
// - `ExitGate::enter` may be called from any thread, with the runtime round its worker was
//   launched in; a refused pass means that runtime is exiting or gone, and the caller must not
//   touch any Python object again.
// - `ExitGate::reopen` is called after the runtime is finalized, when the next round has begun.
// - Memory ordering: sequentially consistent on both sides, so either the hook sees a worker
//   inside or the worker sees the gate closed.
#pragma once

#include <cstdint>

namespace metronyx::binding {

class ExitGate {
 public:
  class Pass {
   public:
    ~Pass();
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    [[nodiscard]] explicit operator bool() const { return admitted_; }

   private:
    friend class ExitGate;
    explicit Pass(bool admitted) : admitted_(admitted) {}
    const bool admitted_;
  };

  [[nodiscard]] static Pass enter(std::uint32_t runtime_round);
  // Whether the interpreter has begun exiting (the gate opens again only for a new runtime).
  [[nodiscard]] static bool is_closed();
  // In a child process right after fork (see fork_safety.hpp).
  static void reset_after_fork();
  // After Py_FinalizeEx, for the workers of the next runtime.
  static void reopen();
};

// Registers the closing hook with the current interpreter (once per runtime). Lock held.
void install_exit_gate();

#ifdef METRONYX_TEST_HOOKS
// The C++ tests' own build only: called inside `ExitGate::enter` between the worker counting
// itself and its look at the gate, so that a test can close the gate in exactly that window.
namespace test_hooks {
extern void (*exit_gate_between_count_and_check)();
}
#endif

}  // namespace metronyx::binding
