// The lock queue's wait for the call ahead: a turn that comes while the call of the turn before is
// still under way waits for that call to end, but never past the spin limit, and only the call
// still marked as under way holds the next turn up.
#include <gtest/gtest.h>

#include <memory>

#include "binding/lock_queue.hpp"
#include "runtime/clock.hpp"

namespace metronyx::binding {
namespace {

// A new turn, and how long its constructor took.
std::unique_ptr<LockQueueTurn> timed_turn(runtime::Duration& waited) {
  const runtime::Instant before = runtime::monotonic_now();
  auto turn = std::make_unique<LockQueueTurn>();
  waited = runtime::monotonic_now().saturating_since(before);
  return turn;
}

// One thread plays every worker: a turn is not tied to the thread that took it, and a call that
// never ends is one whose turn is passed on and kept. A turn without a spin-limited wait would
// return at once; an unbounded wait would never return (the test's timeout); a turn that ended
// another turn's call would let the third turn through at once.
TEST(LockQueue, ATurnWaitsForTheCallAheadOnlyUpToTheSpinLimit) {
  runtime::Duration waited;
  auto endless = timed_turn(waited);
  endless->pass_on();

  auto second = timed_turn(waited);
  EXPECT_TRUE(waited >= kCallAheadSpinLimit) << waited.nanoseconds << " ns";
  second->pass_on();

  endless.reset();  // a call that ended after the next one began: the second's is still under way
  auto third = timed_turn(waited);
  EXPECT_TRUE(waited >= kCallAheadSpinLimit) << waited.nanoseconds << " ns";
  third->pass_on();
  second.reset();
  third.reset();

  // A turn that ends without a call (never passed on) hands the queue on all the same.
  {
    LockQueueTurn abandoned;
  }
  auto last = timed_turn(waited);
  last->pass_on();
}

}  // namespace
}  // namespace metronyx::binding
