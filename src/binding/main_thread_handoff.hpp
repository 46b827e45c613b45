// Asking the main thread to hand the interpreter lock over to a worker that is due.
//
// Why: a thread that asks for the interpreter lock while another thread runs Python code waits
// the interpreter's whole switch interval (5 ms by default) before the holder is even asked to let
// go. A program whose main thread is busy in Python would have every call of every task late by
// that much. The interpreter's pending calls reach the main thread within a few bytecodes: ours
// gives the lock up until the waiting worker holds it, so the worker is on time instead.
//
// How the lock changes hands without a second wake-up: a worker that sleeps inside the
// interpreter's lock must be woken by the kernel when the main thread lets go, and on a busy
// machine that wake-up is where the slowest calls lost their time (tens to hundreds of
// microseconds, now and then on the main thread's own processor, behind it). So the worker does
// not go to sleep in the lock while the main thread is known to answer: it spins, briefly, until
// the main thread says the lock is free, and only then asks for it, which then takes no wait.
// The main thread in turn spins briefly for the worker's grant and for the handed call's end
// before it sleeps, so that neither side usually pays a wake-up for the other.
//
// Contract:
// - A worker holds a `Request` while it asks for the lock: made without the interpreter lock,
//   holding its lock-queue turn (so at most one request exists at a time), right before it asks;
//   `granted` once it holds the lock; ended after it has given the lock back (declare the guard
//   after the request). A request that was never granted is withdrawn when it ends.
// - At most one pending call is outstanding in the process. A failed post (the interpreter's
//   queue is full, or it is finalizing) only means the worker waits for the lock as any thread
//   does.
// - The pending call does nothing once no request waits or the exit gate has closed; otherwise it
//   gives the lock up and waits, at most a millisecond, until the worker holds it. If the worker
//   still waits then (the lock went to another thread, or the worker was not scheduled in time),
//   it offers again at the next check, `kMostOffers` times at most per request. What one call
//   costs the main thread, beyond the handed call itself: usually a few microseconds; at most
//   `kMostOffers` offers of `kLongestOffer` each and one spin of `kCallAheadSpinLimit` for the
//   call's end.
// - A worker spins for the offer (at most `kLongestSpinForOffer`) only while the main thread has
//   been answering: after a spin that ran out (the main thread is in a long C call, asleep, or
//   another thread holds the lock), workers go straight to the lock until the main thread answers
//   again.
// - Not for tasks that never sleep (interval 0, negative or NaN): those would take the lock from
//   the main thread on every call and starve it.
// - Memory ordering: sequentially consistent on the state word, so the pending call either sees
//   the request waiting or the worker has already been granted the lock.
#pragma once

#include <cstdint>

#include "runtime/clock.hpp"

namespace metronyx::binding {

class MainThreadHandoff {
 public:
  static constexpr std::int32_t kMostOffers = 5;
  static constexpr runtime::Duration kLongestOffer{0, 1'000'000};
  // Long enough for a busy main thread to reach its next check (a few bytecodes, about a
  // microsecond, more on a loaded machine), short beside the wake-up it saves.
  static constexpr runtime::Duration kLongestSpinForOffer{0, 50'000};

  class Request {
   public:
    // Asks the main thread, and waits (spinning, bounded) for its offer when it has been answering.
    Request();
    // Withdraws the request if it was never granted; marks the handed call ended otherwise.
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // The worker holds the interpreter lock.
    void granted();

   private:
    bool granted_ = false;
  };

  // In a child process right after fork, and between two runtimes of one process: no worker waits
  // and no request is outstanding there.
  static void reset_after_fork();
};

}  // namespace metronyx::binding
