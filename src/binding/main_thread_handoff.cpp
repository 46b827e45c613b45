#include "binding/main_thread_handoff.hpp"

#include <atomic>
#include <cstdint>

#include "binding/exit_gate.hpp"
#include "binding/handoff_trace.hpp"
#include "binding/lock_queue.hpp"
#include "binding/python.hpp"
#include "runtime/wait_wake.hpp"
#include "runtime/word_wait.hpp"

namespace metronyx::binding {

namespace {

// Where the one request stands. Only the worker that holds the request moves it to asked or back
// to idle; only the main thread's pending call moves it from asked through claimed to offered.
enum State : std::uint32_t {
  kIdle = 0,               // no request
  kAsked = 1,              // a worker asked and waits for the lock
  kClaimed = 2,            // the main thread took the request up and is letting the lock go
  kOffered = 3,            // the lock is free for the worker; the main thread spins for the grant
  kOfferedMainSleeps = 4,  // the same, the main thread sleeping on the word (`granted` wakes it)
};

// Trivially destructible: touched by workers that may outlive every static destructor.
std::atomic<std::uint32_t> state{kIdle};
std::atomic<bool> request_outstanding{false};  // a pending call is posted and has not run yet
std::atomic<std::int32_t> offers_left{0};
// The main thread took up the last request in time; cleared by a worker whose spin for the offer
// ran out, so that workers stop spinning while the main thread cannot answer.
std::atomic<bool> main_answers{false};
// A worker holds the lock it was handed and its call is under way: the main thread spins for this
// to clear before it asks for the lock back, rather than going to sleep inside it.
std::atomic<bool> handed_call_under_way{false};
// The main thread is asking for the lock back after an offer. Until it holds it again it cannot
// answer, and the lock is free or about to be: a worker that finds this set asks for the lock at
// once rather than spin for an offer. On a loaded machine the main thread, woken in the lock,
// may wait for a processor for a millisecond or more, longer than the next call's spin.
std::atomic<bool> main_waits_for_lock{false};

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

bool state_is(std::uint32_t expected) {
  return state.load(std::memory_order_seq_cst) == expected;
}

// Lock given up, the offer made: waits until the worker is granted the lock (true) or the offer's
// time is up and the request is taken back to be offered again (false).
bool wait_for_grant(const runtime::Instant& deadline) {
  if (runtime::spin_until([] { return !state_is(kOffered); },
                          MainThreadHandoff::kLongestSpinForOffer)) {
    return true;
  }
  std::uint32_t seen = kOffered;
  if (!state.compare_exchange_strong(seen, kOfferedMainSleeps, std::memory_order_seq_cst)) {
    return true;  // granted just now
  }
  while (state_is(kOfferedMainSleeps)) {
    if (runtime::wait_on_word_until(state, kOfferedMainSleeps, deadline) ==
        runtime::WaitEnd::deadline_passed) {
      seen = kOfferedMainSleeps;
      return !state.compare_exchange_strong(seen, kAsked, std::memory_order_seq_cst);
    }
  }
  return true;
}

// Runs on the main thread, with the lock held, at its next check for pending work. Returns 0: it
// never raises.
int hand_lock_to_worker(void*) {
  request_outstanding.store(false, std::memory_order_seq_cst);
  if (ExitGate::is_closed()) return 0;
  std::uint32_t seen = kAsked;
  if (!state.compare_exchange_strong(seen, kClaimed, std::memory_order_seq_cst)) {
    handoff_trace::note(handoff_trace::kNoRequestFound);
    return 0;  // the worker already holds the lock (or none asked since the request was posted)
  }
  main_answers.store(true, std::memory_order_seq_cst);
  handoff_trace::stamp(handoff_trace::Stamp::offer);
  const runtime::Instant deadline =
      runtime::monotonic_now().saturating_add(MainThreadHandoff::kLongestOffer);
  PyThreadState* const main_state = PyEval_SaveThread();
  // Offered only now that the lock is free: a worker that took the offer earlier would go to
  // sleep in the lock and need the very wake-up this saves.
  seen = kClaimed;
  const bool handed = !state.compare_exchange_strong(seen, kOffered, std::memory_order_seq_cst) ||
                      wait_for_grant(deadline);
  if (handed) {
    // Most calls end within a few microseconds; asking for the lock at once would put this thread
    // to sleep in it and make the worker's release wake it.
    (void)runtime::spin_until([] { return !handed_call_under_way.load(std::memory_order_seq_cst); },
                              kCallAheadSpinLimit);
  }
  main_waits_for_lock.store(true, std::memory_order_seq_cst);
  PyEval_RestoreThread(main_state);
  main_waits_for_lock.store(false, std::memory_order_seq_cst);
  if (!handed) {
    if (offers_left.fetch_sub(1, std::memory_order_seq_cst) <= 1) {
      handoff_trace::note(handoff_trace::kOffersRanOut);
    } else if (state_is(kAsked)) {
      post_request();
    }
  }
  return 0;
}

}  // namespace

MainThreadHandoff::Request::Request() {
  offers_left.store(kMostOffers, std::memory_order_seq_cst);
  handoff_trace::stamp(handoff_trace::Stamp::requested);
  state.store(kAsked, std::memory_order_seq_cst);
  post_request();
  if (!main_answers.load(std::memory_order_seq_cst) ||
      main_waits_for_lock.load(std::memory_order_seq_cst)) {
    return;
  }
  handoff_trace::note(handoff_trace::kSpunForOffer);
  if (!runtime::spin_until([] { return !state_is(kAsked) && !state_is(kClaimed); },
                           kLongestSpinForOffer) &&
      state_is(kAsked)) {
    handoff_trace::note(handoff_trace::kSpinRanOut);
    main_answers.store(false, std::memory_order_seq_cst);
  }
}

void MainThreadHandoff::Request::granted() {
  granted_ = true;
  handed_call_under_way.store(true, std::memory_order_seq_cst);
  const std::uint32_t was = state.exchange(kIdle, std::memory_order_seq_cst);
  if (was == kOffered || was == kOfferedMainSleeps) handoff_trace::note(handoff_trace::kTookOffer);
  if (was == kOfferedMainSleeps) runtime::wake_all_on_word(state);
}

MainThreadHandoff::Request::~Request() {
  if (granted_) {
    handed_call_under_way.store(false, std::memory_order_seq_cst);
    return;
  }
  // Never granted (an internal failure on the way to the lock): a pending call that finds the
  // request gone does nothing, and a main thread waiting for the grant stops waiting.
  if (state.exchange(kIdle, std::memory_order_seq_cst) == kOfferedMainSleeps) {
    runtime::wake_all_on_word(state);
  }
}

void MainThreadHandoff::reset_after_fork() {
  request_outstanding.store(false, std::memory_order_relaxed);
  offers_left.store(0, std::memory_order_relaxed);
  state.store(kIdle, std::memory_order_relaxed);
  main_answers.store(false, std::memory_order_relaxed);
  handed_call_under_way.store(false, std::memory_order_relaxed);
  main_waits_for_lock.store(false, std::memory_order_relaxed);
}

}  // namespace metronyx::binding
