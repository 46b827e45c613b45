// The flag that keeps one task's worker running, and that a stopped worker's sleep ends on.
//
// Contract: one flag per scheduled task, shared by its pending record, the Scheduler's map and
// the task's worker (reference counted; the count is atomic, so workers drop their share without
// the interpreter lock). Created running; `stop` only ever moves it to stopped, and wakes every
// worker sleeping on it, so a stop ends a long sleep at once.
//
// Memory ordering: relaxed. A worker only needs to see the stop eventually at the top of its loop;
// the promise that no call starts after `cancel` returned rests on the interpreter lock instead
// (the worker reads the flag again once it holds the lock, and `stop` runs under it). All changes
// of the word are to one atomic, so their order is total: a worker that announced its sleep is
// either woken by the stop or sees the word stopped before it waits.
//
// The call hand-shake: where no interpreter lock serialises `stop` and the worker's last check
// (free-threaded builds), the worker announces its call, reads the flag again, and only then
// begins the call; the stopper, after its stop, waits until no announced call is still deciding
// (a few instructions, no Python code) and then, for a call already under way, at most until a
// deadline (`kLongestWaitForCall` after the stop). Both sides' steps are sequentially consistent:
// either the worker's second read sees the stop, or the stopper sees the announcement and waits
// for its outcome. So once the stopper's wait returns, no call of the flag starts. A stop made
// from inside the flag's own call (a callable that cancels its own task) never waits for that
// call:
//
//     idle --announce_call--> announced --flag stopped--> idle (no call)
//                                 |
//                                 +--call_begins--> in call --call_ends--> idle
//
// The stop line: a worker that has been told to stop owes its "stopped" line, and the exit waits
// for it (see ExitGate). `mark_launched` (by `start`, once the thread exists) and `stop` (under the
// interpreter lock) count the debt when they find the flag both launched and stopped; the worker
// settles it when it ends, after its line. The debt's steps are sequentially consistent, so one of
// `mark_launched` and `stop` always sees the other's step, and a settled flag never counts again:
//
//     not launched --mark_launched--> launched --stop (or launched stopped)--> owed (counted)
//          |                             |                                       |
//          +-------- the worker ends ----+---------> settled <--- the worker ends (uncounted)
//
//     running --(a worker goes to sleep)--> running, sleepers --+
//        |                                                      |
//        +----------------- stop ------> stopped <---- stop, then wake all
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "runtime/clock.hpp"
#include "runtime/sleep.hpp"
#include "runtime/wait_wake.hpp"
#include "runtime/word_wait.hpp"

namespace metronyx::scheduler {

// The longest a stop waits for a call that is already under way: long enough for most calls to
// end, so that the stopper rarely sees one finish after it returned, short enough that a stop
// never waits on a long call.
inline constexpr runtime::Duration kLongestWaitForCall{0, 5'000'000};

class RunFlag {
 public:
  [[nodiscard]] static std::shared_ptr<RunFlag> make_running() {
    return std::make_shared<RunFlag>();
  }

  [[nodiscard]] bool is_running() const {
    return word_.load(std::memory_order_relaxed) != kStopped;
  }

  void stop() {
    if (word_.exchange(kStopped, std::memory_order_seq_cst) == kRunningWithSleepers) {
      runtime::wake_all_on_word(word_);
    }
    owe_stop_line();
  }

  // ---- The call hand-shake (free-threaded builds) ----

  // By the worker right before its call: announces it, then reads the flag again. False (and
  // nothing announced) when the flag is stopped: the call must not be made. True: the worker
  // calls `call_begins` next, with nothing in between that could wait.
  [[nodiscard]] bool announce_call() {
    announced_.fetch_add(1, std::memory_order_seq_cst);
    if (word_.load(std::memory_order_seq_cst) != kStopped) return true;
    announced_.fetch_sub(1, std::memory_order_seq_cst);
    return false;
  }
  void call_begins() {
    in_call_.fetch_add(1, std::memory_order_seq_cst);
    announced_.fetch_sub(1, std::memory_order_seq_cst);
    call_on_this_thread = this;
  }
  void call_ends() {
    call_on_this_thread = nullptr;
    in_call_.fetch_sub(1, std::memory_order_release);
  }

  // By the stopper, after `stop`: waits until no announced call is still deciding, then until
  // the call under way ends or `deadline` passes, whichever is first (not for a call of this very
  // thread, which is the stopper's caller). Returns whether no call of this flag is under way
  // (always true for this thread's own call). Either way, no call of this flag starts from now on.
  bool wait_for_calls(const runtime::Instant& deadline) const {
    // Launched before a fork and this is the child: the worker does not exist here, and what it
    // had announced or begun at the fork stays counted for ever; nothing is waited for.
    if (line_.load(std::memory_order_seq_cst) != kNotLaunched && !current_epoch()) return true;
    while (announced_.load(std::memory_order_seq_cst) != 0) runtime::spin_pause();
    if (call_on_this_thread == this) return true;
    for (unsigned round = 0; in_call_.load(std::memory_order_acquire) != 0; ++round) {
      if (!runtime::monotonic_now().saturating_since(deadline).is_zero()) return false;
      // Most calls end within microseconds: a few pauses first, then yields of the processor.
      if (round < 64) {
        runtime::spin_pause();
      } else {
        runtime::yield_now();
      }
    }
    return true;
  }

  // By `start`, once the worker's thread exists; the worker may have ended already.
  void mark_launched() {
    epoch_.store(stop_line_epoch.load(std::memory_order_relaxed), std::memory_order_relaxed);
    std::uint8_t expected = kNotLaunched;
    if (!line_.compare_exchange_strong(expected, kLaunched, std::memory_order_seq_cst)) return;
    if (word_.load(std::memory_order_seq_cst) == kStopped) owe_stop_line();
  }

  // By the worker as it ends (after its stop line, if it writes one): nothing more is owed.
  void settle_stop_line() {
    if (line_.exchange(kSettled, std::memory_order_seq_cst) == kOwed && current_epoch()) {
      stop_lines_owed.fetch_sub(1, std::memory_order_seq_cst);
    }
  }

  // How many workers in this process owe their stop line now.
  [[nodiscard]] static std::uint32_t stop_lines_owed_now() {
    return stop_lines_owed.load(std::memory_order_seq_cst);
  }

  // In a child process right after fork: the parent's workers do not exist here and owe nothing;
  // flags launched before the fork never count here again.
  static void forget_stop_lines_after_fork() {
    stop_lines_owed.store(0, std::memory_order_relaxed);
    stop_line_epoch.fetch_add(1, std::memory_order_relaxed);
  }

  // Sleeps until `deadline` on the monotonic clock, or until the flag is stopped, whichever comes
  // first. Returns whether the flag is still running.
  [[nodiscard]] bool sleep_until(const runtime::Instant& deadline) {
    std::uint32_t seen = word_.load(std::memory_order_relaxed);
    // A failed exchange leaves the word's new value in `seen`: stopped, or a worker sharing the
    // flag announced its own sleep first, which serves this one too.
    if (seen == kRunning) {
      (void)word_.compare_exchange_strong(seen, kRunningWithSleepers, std::memory_order_relaxed);
    }
    if (seen == kStopped) return false;
    for (;;) {
      const runtime::WaitEnd end =
          runtime::wait_on_word_until(word_, kRunningWithSleepers, deadline);
      if (!is_running()) return false;
      if (end == runtime::WaitEnd::deadline_passed) return true;
      // A signal or a spurious return: the deadline is absolute, so waiting again costs nothing.
    }
  }

 private:
  static constexpr std::uint32_t kStopped = 0;
  static constexpr std::uint32_t kRunning = 1;
  static constexpr std::uint32_t kRunningWithSleepers = 2;

  static constexpr std::uint8_t kNotLaunched = 0;
  static constexpr std::uint8_t kLaunched = 1;
  static constexpr std::uint8_t kOwed = 2;
  static constexpr std::uint8_t kSettled = 3;

  // Trivially destructible: workers may settle after every static destructor has run.
  static inline std::atomic<std::uint32_t> stop_lines_owed{0};
  // One more after each fork, in the child.
  static inline std::atomic<std::uint32_t> stop_line_epoch{0};

  [[nodiscard]] bool current_epoch() const {
    return epoch_.load(std::memory_order_relaxed) ==
           stop_line_epoch.load(std::memory_order_relaxed);
  }
  // The epoch is read after the step to owed, which comes after `mark_launched` wrote it; a debt
  // of a flag launched before a fork is neither counted nor settled in the child.
  void owe_stop_line() {
    std::uint8_t expected = kLaunched;
    if (line_.compare_exchange_strong(expected, kOwed, std::memory_order_seq_cst) &&
        current_epoch()) {
      stop_lines_owed.fetch_add(1, std::memory_order_seq_cst);
    }
  }

  // The flag whose call this thread is making now, if any.
  static inline thread_local const RunFlag* call_on_this_thread = nullptr;

  std::atomic<std::uint32_t> announced_{0};  // calls announced and not yet begun or withdrawn
  std::atomic<std::uint32_t> in_call_{0};    // calls begun and not yet ended
  std::atomic<std::uint32_t> word_{kRunning};
  std::atomic<std::uint8_t> line_{kNotLaunched};
  std::atomic<std::uint32_t> epoch_{0};  // the fork epoch `mark_launched` ran in
};

using RunFlagRef = std::shared_ptr<RunFlag>;

}  // namespace metronyx::scheduler
