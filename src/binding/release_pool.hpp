// Giving up strong references to Python objects from any thread.
//
// Contract:
// - `release_reference` consumes one strong reference and may be called on any thread. With the
//   interpreter lock held (gil_count > 0) it decrements at once; otherwise it queues the pointer
//   in the process-wide DeferredReleasePool and does not touch the object. It never fails: when
//   there is no memory to queue it, the reference is kept for good (the object leaks).
// - `drain_deferred_releases` applies queued releases in the order they were queued. Only guard
//   entries and the end of a GilSuspension call it, always with the interpreter lock held.
// - The pool is created by the first release that has to defer and is never destroyed, so a
//   worker still running at process exit never meets a destroyed pool.
// - Lock order: interpreter lock, then the pool's lock. The pool's lock is held for one append or
//   one swap of the list; no Python code runs and no interpreter call is made while it is held.
#pragma once

#include <cstddef>

#include "binding/python.hpp"

namespace metronyx::binding {

void release_reference(PyObject* object);

// With the interpreter lock held: applies every release queued so far. One atomic load when no
// release has ever been deferred in this process.
void drain_deferred_releases();

// In a child process right after fork: frees the pool's lock if a thread of the parent held it.
// The queued releases are the child's own copy and are drained there as usual.
void reset_release_pool_after_fork();

// After Py_FinalizeEx: drops the queued releases unapplied; their objects went with the runtime.
void forget_deferred_releases();

// ---- End of public interface ----

namespace detail {
// How many releases are queued now (0 before the pool exists). For tests.
[[nodiscard]] std::size_t pending_release_count();
}  // namespace detail

}  // namespace metronyx::binding
