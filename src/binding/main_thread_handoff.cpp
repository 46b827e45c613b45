#include "binding/main_thread_handoff.hpp"

#include <atomic>
#include <cstdint>

#include "binding/exit_gate.hpp"
#include "binding/python.hpp"
#include "runtime/clock.hpp"
#include "runtime/word_wait.hpp"

namespace metronyx::binding {

namespace {

// Trivially destructible: touched by workers that may outlive every static destructor.
std::atomic<bool> request_outstanding{false};  // a pending call is posted and has not run yet
// 0 no worker waits; 1 a worker waits for the lock; 2 it waits and the main thread waits for it
// to be granted (only then does `granted` need to wake anyone).
std::atomic<std::uint32_t> worker_waiting{0};
constexpr std::uint32_t kNoWorker = 0;
constexpr std::uint32_t kWorkerWaits = 1;
constexpr std::uint32_t kMainWaits = 2;

// How many times the main thread offers the lock for one request: the lock may go to another
// thread, or the worker may not be scheduled in time on a loaded machine, and without another
// offer it would wait out the whole switch interval. Each offer lasts at most kLongestOffer, so a
// request costs the main thread at most about the default switch interval.
std::atomic<std::int32_t> offers_left{0};
constexpr std::int32_t kMostOffers = 5;
constexpr runtime::Duration kLongestOffer{0, 1'000'000};

int hand_lock_to_worker(void*);

void post_request() {
  if (!request_outstanding.exchange(true, std::memory_order_seq_cst)) {
    if (Py_AddPendingCall(&hand_lock_to_worker, nullptr) != 0) {
      request_outstanding.store(false, std::memory_order_seq_cst);
    } else {
      compat::after_pending_call_posted();
    }
  }
}

// Runs on the main thread, with the lock held, at its next check for pending work. Returns 0: it
// never raises.
int hand_lock_to_worker(void*) {
  request_outstanding.store(false, std::memory_order_seq_cst);
  if (ExitGate::is_closed()) return 0;
  std::uint32_t seen = kWorkerWaits;
  if (!worker_waiting.compare_exchange_strong(seen, kMainWaits, std::memory_order_seq_cst) &&
      seen != kMainWaits) {
    return 0;  // the worker already holds the lock (or none asked since the request was posted)
  }
  const runtime::Instant deadline = runtime::monotonic_now().saturating_add(kLongestOffer);
  PyThreadState* const main_state = PyEval_SaveThread();
  while (worker_waiting.load(std::memory_order_seq_cst) == kMainWaits) {
    if (runtime::wait_on_word_until(worker_waiting, kMainWaits, deadline) ==
        runtime::WaitEnd::deadline_passed) {
      break;
    }
  }
  PyEval_RestoreThread(main_state);
  // Still waiting: offer again at the next check, unless this request had its share.
  seen = kMainWaits;
  if (offers_left.fetch_sub(1, std::memory_order_seq_cst) > 1 &&
      worker_waiting.compare_exchange_strong(seen, kWorkerWaits, std::memory_order_seq_cst)) {
    post_request();
  }
  return 0;
}

}  // namespace

void MainThreadHandoff::request() {
  offers_left.store(kMostOffers, std::memory_order_seq_cst);
  worker_waiting.store(kWorkerWaits, std::memory_order_seq_cst);
  post_request();
}

void MainThreadHandoff::granted() {
  if (worker_waiting.exchange(kNoWorker, std::memory_order_seq_cst) == kMainWaits) {
    runtime::wake_all_on_word(worker_waiting);
  }
}

void MainThreadHandoff::reset_after_fork() {
  request_outstanding.store(false, std::memory_order_relaxed);
  offers_left.store(0, std::memory_order_relaxed);
  worker_waiting.store(kNoWorker, std::memory_order_relaxed);
}

}  // namespace metronyx::binding
