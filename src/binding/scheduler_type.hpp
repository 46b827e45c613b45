// The Python class Scheduler: a heap type created once per process, its instance record, and the
// borrow rules by which every method reaches an instance's state.
//
// Contract:
// - Everything here runs with the interpreter lock held (attached, on a free-threaded build).
// - The type object, its docstring and method table are created on first use and kept for the
//   process (never released, so no worker can outlive them).
// - Instances are not tracked by the garbage collector and cannot be subclassed.
// - A method takes a shared or an exclusive borrow of the instance for its duration. Borrows are
//   refused only when a method re-enters the same instance while another of its methods still
//   runs (Python code that an argument conversion or a finaliser runs).
//
// borrow_flag: 0 free; 1 .. 2^64-2 that many shared borrows; all bits set: one exclusive borrow.
// Atomic: acquire on taking a borrow, release on giving it back.
//
// On a free-threaded build no lock keeps the methods of other threads out: each method body runs
// in the instance's critical section (InstanceSection), which the interpreter suspends while the
// thread waits (and the method gives up while it may run Python code), so a thread may still find
// another thread's borrow held. It then waits for it: without limit while the holder runs no
// Python code, and at most kLongestBorrowWait while the holder is marked as possibly running
// Python code (`python_code_holders`), counted from when it first saw that marking
// (`python_code_marks` tells one marking from the next); then it reports the borrow error as a
// single thread re-entering the instance gets it.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "binding/py_err.hpp"
#include "binding/python.hpp"
#include "runtime/clock.hpp"
#include "scheduler/scheduler_state.hpp"

namespace metronyx::binding {

struct SchedulerObject {
  PyObject_HEAD scheduler::SchedulerState state;
  std::atomic<std::uint64_t> borrow_flag;
#if defined(Py_GIL_DISABLED)
  std::atomic<std::uint32_t> python_code_holders;  // borrow holders that may run Python code now
  std::atomic<std::uint32_t> python_code_marks;    // how often a holder was so marked, ever
#endif
};

// The longest a method waits for another thread's borrow whose holder may be running Python code
// (free-threaded builds), before it reports the borrow error.
inline constexpr runtime::Duration kLongestBorrowWait{0, 5'000'000};

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
  [[nodiscard]] SchedulerObject& instance() const { return *object_; }

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
  [[nodiscard]] SchedulerObject& instance() const { return *object_; }

 private:
  friend PyResult<ExclusiveBorrow> borrow_exclusive(PyObject* object);
  explicit ExclusiveBorrow(SchedulerObject* object) : object_(object) {}
  SchedulerObject* object_;
};

// Type check (TypeError "'T' object cannot be converted to 'Scheduler'"), then the borrow
// (RuntimeError "Already mutably borrowed" / "Already borrowed").
[[nodiscard]] PyResult<SharedBorrow> borrow_shared(PyObject* object);
[[nodiscard]] PyResult<ExclusiveBorrow> borrow_exclusive(PyObject* object);

// A method body's hold on its instance, on free-threaded builds: the instance's critical section
// from construction to destruction, except around `running_python`. Nothing on builds with the
// lock, where the lock itself serialises the methods.
class InstanceSection {
 public:
  explicit InstanceSection(PyObject* self) {
#if defined(Py_GIL_DISABLED)
    PyCriticalSection_Begin(&section_, self);
    self_ = self;
#else
    (void)self;
#endif
  }
  ~InstanceSection() {
#if defined(Py_GIL_DISABLED)
    if (held_) PyCriticalSection_End(&section_);
#endif
  }
  InstanceSection(const InstanceSection&) = delete;
  InstanceSection& operator=(const InstanceSection&) = delete;

  // Runs `body`; when `may_run_python` (a conversion of an instance of a Python class, a release
  // of callables), with the section given up and `borrow`'s instance marked, as the interpreter
  // lock may be given up there on the builds that have it.
  template <class Borrow, class Body>
  auto running_python(bool may_run_python, const Borrow& borrow, Body&& body) -> decltype(body()) {
#if defined(Py_GIL_DISABLED)
    if (!may_run_python) return std::forward<Body>(body)();
    struct Mark {
      InstanceSection& section;
      SchedulerObject& instance;
      Mark(InstanceSection& section_in, SchedulerObject& instance_in)
          : section(section_in), instance(instance_in) {
        instance.python_code_holders.fetch_add(1, std::memory_order_seq_cst);
        instance.python_code_marks.fetch_add(1, std::memory_order_seq_cst);
        PyCriticalSection_End(&section.section_);
        section.held_ = false;
      }
      // The marking ends before the section is taken again: a thread that holds the section
      // while it waits for the borrow then waits without limit, and lets the section go at each
      // round of its wait, rather than giving up while this one waits for the section.
      ~Mark() {
        instance.python_code_holders.fetch_sub(1, std::memory_order_seq_cst);
        PyCriticalSection_Begin(&section.section_, section.self_);
        section.held_ = true;
      }
    } mark{*this, borrow.instance()};
    return std::forward<Body>(body)();
#else
    (void)may_run_python;
    (void)borrow;
    return std::forward<Body>(body)();
#endif
  }

 private:
#if defined(Py_GIL_DISABLED)
  PyCriticalSection section_;
  PyObject* self_ = nullptr;
  bool held_ = true;
#endif
};

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
