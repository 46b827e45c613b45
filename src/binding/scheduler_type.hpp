// The Python class Scheduler: a heap type created once per process, its instance record, and the
// borrow rules by which every method reaches an instance's state.
//
// Contract:
// - Everything here runs with the interpreter lock held.
// - The type object, its docstring and method table are created on first use and kept for the
//   process (never released, so no worker can outlive them).
// - Instances are not tracked by the garbage collector and cannot be subclassed.
// - A method takes a shared or an exclusive borrow of the instance for its duration. Borrows are
//   refused only when a method re-enters the same instance while another of its methods still
//   runs (Python code that an argument conversion or a finaliser runs).
//
// borrow_flag: 0 free; 1 .. 2^64-2 that many shared borrows; all bits set: one exclusive borrow.
// Atomic: acquire on taking a borrow, release on giving it back.
#pragma once

#include <atomic>
#include <cstdint>

#include "binding/py_err.hpp"
#include "binding/python.hpp"
#include "scheduler/scheduler_state.hpp"

namespace metronyx::binding {

struct SchedulerObject {
  PyObject_HEAD scheduler::SchedulerState state;
  std::atomic<std::uint64_t> borrow_flag;
};

// The type object (borrowed from its process-wide cell), created on first use. A creation failure
// is a RuntimeError "An error occurred while initializing class Scheduler" caused by the
// underlying error; the next call tries again.
[[nodiscard]] PyResult<PyObject*> try_scheduler_type();
// As above, but a creation failure is printed and then ends in the internal failure
// "failed to create type object for Scheduler".
[[nodiscard]] PyObject* scheduler_type();
// After Py_FinalizeEx: forgets the type object, which went with its runtime.
void forget_scheduler_type();

// Owns one strong reference to the instance and one borrow; gives back the borrow, then the
// reference.
class SharedBorrow {
 public:
  ~SharedBorrow();
  SharedBorrow(SharedBorrow&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  // Only operations that touch nothing but run flags (atomics) may run under a shared borrow.
  [[nodiscard]] scheduler::SchedulerState& state() const { return object_->state; }

 private:
  friend PyResult<SharedBorrow> borrow_shared(PyObject* object);
  explicit SharedBorrow(SchedulerObject* object) : object_(object) {}
  SchedulerObject* object_;
};

class ExclusiveBorrow {
 public:
  ~ExclusiveBorrow();
  ExclusiveBorrow(ExclusiveBorrow&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)) {}
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
  [[nodiscard]] scheduler::SchedulerState& state() const { return object_->state; }

 private:
  friend PyResult<ExclusiveBorrow> borrow_exclusive(PyObject* object);
  explicit ExclusiveBorrow(SchedulerObject* object) : object_(object) {}
  SchedulerObject* object_;
};

// Type check (TypeError "'T' object cannot be converted to 'Scheduler'"), then the borrow
// (RuntimeError "Already mutably borrowed" / "Already borrowed").
[[nodiscard]] PyResult<SharedBorrow> borrow_shared(PyObject* object);
[[nodiscard]] PyResult<ExclusiveBorrow> borrow_exclusive(PyObject* object);

// ---- End of public interface ----

// The slots and method entry points, defined in scheduler_methods.cpp.
PyObject* scheduler_new(PyTypeObject* subtype, PyObject* args, PyObject* kwds);
void scheduler_dealloc(PyObject* self);
PyObject* scheduler_schedule(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* scheduler_start(PyObject* self, PyObject* unused);
PyObject* scheduler_cancel(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* scheduler_list_schedules(PyObject* self, PyObject* unused);
PyObject* scheduler_shutdown(PyObject* self, PyObject* unused);

}  // namespace metronyx::binding
