#include "binding/release_pool.hpp"

#include <algorithm>
#include <atomic>
#include <new>
#include <vector>

#include "binding/gil_guard.hpp"
#include "runtime/byte_lock.hpp"
#include "runtime/failure.hpp"
#include "runtime/once.hpp"

namespace metronyx::binding {

namespace {

// The references whose release is owed, queued by threads that do not hold the interpreter lock.
class DeferredReleasePool {
 public:
  // False when the list cannot grow (no memory): nothing was queued.
  [[nodiscard]] bool push(PyObject* object) {
    runtime::PoisonableGuard guard(lock_);
    if (guard.was_poisoned()) fail_poisoned();
    if (pending_releases_.size() == pending_releases_.capacity()) {
      // Doubling from at least four keeps appends amortised O(1) without a large first allocation.
      // Caught here, inside the guard: a failure to grow is no reason to poison the lock, which
      // would fail every later guard entry in the process.
      try {
        pending_releases_.reserve(std::max<std::size_t>(4, 2 * pending_releases_.capacity()));
      } catch (const std::bad_alloc&) {
        return false;
      }
    }
    pending_releases_.push_back(object);
    return true;
  }

  // The interpreter lock is held. The decrements run after the pool's lock is given back: a
  // deallocation may run Python code, which may release (at once, on this thread) or which may let
  // other threads queue more (they wait for the next drain).
  //
  // Every guard entry comes here, so the lock is taken without a PoisonableGuard: nothing between
  // taking and giving it back can fail (the checks and the swap do not throw), so the guard's two
  // std::uncaught_exceptions() look-ups per entry could never find anything to poison.
  void drain() {
    std::vector<PyObject*> owed;
    lock_.lock();
    if (lock_.is_poisoned()) {
      lock_.unlock();
      fail_poisoned();
    }
    if (!pending_releases_.empty()) owed.swap(pending_releases_);  // leaves it without storage
    lock_.unlock();
    for (PyObject* object : owed) Py_DECREF(object);
  }

  void reset_after_fork() { lock_.reset_after_fork(); }

  void forget_all() {
    runtime::PoisonableGuard guard(lock_);
    pending_releases_.clear();
  }

  std::size_t size() {
    runtime::PoisonableGuard guard(lock_);
    return pending_releases_.size();
  }

 private:
  [[noreturn]] static void fail_poisoned() {
    runtime::fail_static(
        "the deferred release pool's lock is poisoned: a thread failed while holding it");
  }

  runtime::ByteLock lock_;
  std::vector<PyObject*> pending_releases_;  // written under lock_
};

// Created by the first deferral and never destroyed: worker threads may still queue releases
// while the process exits, after static destructors would have run.
std::atomic<DeferredReleasePool*> pool_pointer{nullptr};

runtime::Once& pool_creation() {
  static runtime::Once* const once = new runtime::Once();
  return *once;
}

DeferredReleasePool& pool() {
  if (DeferredReleasePool* existing = pool_pointer.load(std::memory_order_acquire)) {
    return *existing;
  }
  // Forced: a creation that ran out of memory is tried again by the next deferral.
  pool_creation().call_once_force(
      [] { pool_pointer.store(new DeferredReleasePool(), std::memory_order_release); });
  return *pool_pointer.load(std::memory_order_acquire);
}

}  // namespace

void release_reference(PyObject* object) {
  if (gil_count() > 0) {
    Py_DECREF(object);
    return;
  }
  try {
    if (pool().push(object)) return;
  } catch (const std::bad_alloc&) {
  }
  // No memory to queue the release: the reference is kept for good. One object outlives its last
  // user, where the alternatives are a decrement without the interpreter lock or the end of the
  // process.
}

void drain_deferred_releases() {
  if (DeferredReleasePool* existing = pool_pointer.load(std::memory_order_acquire)) {
    existing->drain();
  }
}

void reset_release_pool_after_fork() {
  if (DeferredReleasePool* existing = pool_pointer.load(std::memory_order_acquire)) {
    existing->reset_after_fork();
  }
}

void forget_deferred_releases() {
  if (DeferredReleasePool* existing = pool_pointer.load(std::memory_order_acquire)) {
    existing->forget_all();
  }
}

namespace detail {
std::size_t pending_release_count() {
  DeferredReleasePool* existing = pool_pointer.load(std::memory_order_acquire);
  return existing != nullptr ? existing->size() : 0;
}
}  // namespace detail

}  // namespace metronyx::binding
