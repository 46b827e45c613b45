// Asking the main thread to hand the interpreter lock over to a worker that is due.
//
// Why: a thread that asks for the interpreter lock while another thread runs Python code waits
// the interpreter's whole switch interval (5 ms by default) before the holder is even asked to let
// go. A program whose main thread is busy in Python would have every call of every task late by
// that much. The interpreter's pending calls reach the main thread within a few bytecodes: ours
// gives the lock up until the waiting worker holds it, so the worker is on time instead.
//
// Contract:
// - A worker calls `request` without the interpreter lock, holding its lock-queue turn (so at most
//   one worker is between `request` and `granted` at a time), right before it asks for the lock,
//   and `granted` once it holds the lock.
// - At most one pending call is outstanding in the process; workers that ask meanwhile share it.
//   A failed post (the interpreter's queue is full, or it is finalizing) only means the worker
//   waits for the lock as any thread does.
// - The pending call does nothing once no worker waits or the exit gate has closed; otherwise it
//   gives the lock up and waits, at most a millisecond, until the worker holds it. If the worker
//   still waits then (the lock went to another thread, or the worker was not scheduled in time),
//   it offers again at the next check, a few times at most per request.
// - Not for tasks that never sleep (interval 0, negative or NaN): those would take the lock from
//   the main thread on every call and starve it.
// - Memory ordering: sequentially consistent on the two flags, so the pending call either sees
//   the worker waiting or the worker has already been granted the lock.
#pragma once

namespace metronyx::binding {

class MainThreadHandoff {
 public:
  static void request();
  static void granted();
  // In a child process right after fork: no worker waits and no request is outstanding there.
  static void reset_after_fork();
};

}  // namespace metronyx::binding
