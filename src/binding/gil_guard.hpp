// The interpreter-lock guard: one mechanism for every thread that touches Python objects.
//
// Contract:
// - `GilGuard::acquire` may be called on any thread, including threads the interpreter did not
//   create. When the thread already holds a guard it only counts; otherwise it takes the lock
//   through PyGILState_Ensure, so the interpreter does the thread-state bookkeeping.
// - `GilGuard::assume` is only for code that the interpreter called with its lock held (entry
//   points). It never calls into the interpreter.
// - Every entry (both kinds) drains the deferred releases of other threads, except
//   `acquire_without_draining`, whose caller drains once it holds nothing that other threads wait
//   for; ending a guard never drains. A guard ends exactly once, on the thread that entered it,
//   when its scope ends.
// - `GilSuspension` gives the lock up for a scope on a thread that holds it, so that the thread
//   can wait for work that itself needs the lock.
//
// `gil_count` is per thread and touched only by its own thread (plain increments):
//   > 0  the thread holds the lock; the value is the number of live guards;
//   == 0 no live guard, or a suspension is in force;
//   < 0  access to the interpreter is prohibited on this thread (never stored by this module).
#pragma once

#include <cstdint>

#include "binding/python.hpp"

namespace metronyx::binding {

class GilGuard {
 public:
  // Guarantees the interpreter lock until the guard ends. Internal failure when the interpreter is
  // not initialized or access is prohibited on this thread.
  [[nodiscard]] static GilGuard acquire();
  // The same, without the drain: for a worker that still holds its lock-queue turn. A deferred
  // release may run a finalizer that blocks or waits for another task, and every other worker
  // would wait with it; the worker drains (drain_deferred_releases) after passing the turn on.
  [[nodiscard]] static GilGuard acquire_without_draining();
  // Records that the interpreter called in holding its lock. Same failures for a prohibited thread.
  [[nodiscard]] static GilGuard assume();

  ~GilGuard();
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;

  // For a thread that the interpreter ends with a forced unwind while it waits for the lock: the
  // lock is not ours to give back then, and the thread state may be gone, so the guard's end must
  // not call into the interpreter.
  void abandon_on_forced_unwind() { abandoned_ = true; }

 private:
  enum class Kind : std::uint8_t { assumed, ensured };
  GilGuard(Kind kind, PyGILState_STATE state) : kind_(kind), state_(state) {}

  const Kind kind_;
  const PyGILState_STATE state_;  // meaningful only for `ensured`
  bool abandoned_ = false;
};

class GilSuspension {
 public:
  // Only on a thread that holds the lock. Clears the count, then gives the lock up.
  GilSuspension();
  // Restores the count, takes the lock back, then drains. May end the thread (forced unwind) when
  // the interpreter is finalizing, hence not noexcept.
  ~GilSuspension() noexcept(false);
  GilSuspension(const GilSuspension&) = delete;
  GilSuspension& operator=(const GilSuspension&) = delete;

 private:
  const std::int64_t saved_count_;
  PyThreadState* const thread_state_;
};

// Gives the lock up for a short wait that needs nothing from the interpreter, and takes it back
// without draining: for a method that waits for a worker (see RunFlag::wait_for_calls) while it
// holds its instance's borrow, where other threads' finalizers must not run. On a free-threaded
// build this detaches the thread, so that a stop-the-world pause the waited-for call needs (the
// garbage collector's) is not held up by the waiter.
class GilPause {
 public:
  GilPause();
  // May end the thread (forced unwind) when the interpreter is finalizing, hence not noexcept.
  ~GilPause() noexcept(false);
  GilPause(const GilPause&) = delete;
  GilPause& operator=(const GilPause&) = delete;

 private:
  const std::int64_t saved_count_;
  PyThreadState* const thread_state_;
};

// The calling thread's count of live guards (see above).
[[nodiscard]] std::int64_t gil_count();

// ---- End of public interface ----

namespace detail {
// For tests that simulate a prohibited thread; the module itself never stores a negative count.
void set_gil_count_for_testing(std::int64_t value);
}  // namespace detail

}  // namespace metronyx::binding
