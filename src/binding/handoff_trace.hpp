// Where a due worker's time goes on its way to the interpreter lock: a record per call, built
// only into trace builds (the CMake option METRONYX_TRACE_HANDOFF) for bench/handoff_trace.py.
// Every other build compiles each function below to nothing, and the module has no trace function.
//
// A record is stamped, on the monotonic clock, when the worker's call was due, when the worker
// woke for it, got its lock-queue turn, asked the main thread, when the main thread offered the
// lock (first and last offer, and how many), when the lock was granted and when the call began;
// with what happened on the way (`Outcome`) and the processors of the worker (as it woke and as
// it was granted the lock) and of the main thread (as it offered).
//
// Threads: `begin`, `stamp(requested)`, `stamp(granted)` and `finish` by the worker holding its
// lock-queue turn (so one record is built at a time); `stamp(offer)` and the main thread's notes
// by the pending call, lock held; `keep` and `take` with the lock held.
#pragma once

#include <cstdint>

#include "binding/python.hpp"
#include "runtime/clock.hpp"

namespace metronyx::binding::handoff_trace {

#if defined(METRONYX_TRACE_HANDOFF)
inline constexpr bool kEnabled = true;
#else
inline constexpr bool kEnabled = false;
#endif

// The call's own stamp is `keep`'s, on the worker's copy of the record.
enum class Stamp : std::uint8_t { requested, offer, granted };

enum Outcome : std::uint32_t {
  kSpunForOffer = 1,     // the worker spun for the offer rather than sleep in the lock
  kSpinRanOut = 2,       // ... and the main thread had not answered at its end
  kTookOffer = 4,        // the lock was granted while offered
  kOffersRanOut = 8,     // the main thread stopped offering: the request had its share
  kNoRequestFound = 16,  // a pending call found no request waiting (the worker was granted first)
};

#if defined(METRONYX_TRACE_HANDOFF)
struct Record {
  std::int64_t due = 0, woke = 0, turn = 0, requested = 0, first_offer = 0, last_offer = 0,
               granted = 0, called = 0;
  std::int32_t offers = 0;
  std::uint32_t outcome = 0;
  int woke_cpu = -1, worker_cpu = -1, main_cpu = -1;
};

void begin(std::int64_t due_ns, const runtime::Instant& woke);
void stamp(Stamp step);
void note(std::uint32_t outcome);
// Before the worker passes its turn on: the record as built so far, now the worker's own.
[[nodiscard]] Record finish();
// Right before the call, lock held: the call's time stamped and the record kept.
void keep(Record& record);
// The module's `_handoff_trace()`: the records kept so far, as a list of dicts (times in
// nanoseconds on the monotonic clock, 0 for a step never reached), and forgets them.
PyObject* take(PyObject* module, PyObject* unused);
#else
struct Record {};
inline void begin(std::int64_t, const runtime::Instant&) {}
inline void stamp(Stamp) {}
inline void note(std::uint32_t) {}
[[nodiscard]] inline Record finish() {
  return {};
}
inline void keep(Record&) {}
#endif

[[nodiscard]] inline std::int64_t nanoseconds(const runtime::Instant& at) {
  return at.seconds * 1'000'000'000 + at.nanoseconds;
}

}  // namespace metronyx::binding::handoff_trace
