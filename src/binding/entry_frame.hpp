// The frame that every call from the interpreter into the module runs in.
//
// Contract:
// - Called by the interpreter with its lock held; `GilGuard::assume` records that.
// - The body returns a new reference or a PyErr, or ends with an internal failure. A PyErr is
//   raised (PyErr::restore) and NULL returned; an internal failure becomes a raised PanicException
//   and NULL. Running out of memory (std::bad_alloc) in the body becomes the interpreter's
//   MemoryError, as it does for the interpreter's own objects; the body leaves its state as it was
//   before the call. Nothing propagates into the interpreter: a failure outside the body's catch
//   (in the guard's entry or while raising) or a foreign C++ exception ends the process with a
//   report.
// - A forced unwind (the interpreter ending this thread during its finalization) passes through
//   untouched: it is not a failure of ours and must reach the thread library.
#pragma once

#include <new>
#include <utility>

#include "binding/gil_guard.hpp"
#include "binding/py_err.hpp"
#include "binding/refs.hpp"
#include "runtime/failure.hpp"
#include "runtime/forced_unwind.hpp"

namespace metronyx::binding {

// Arms on construction; if its scope is left while still armed (a failure is propagating), it
// reports a failure with its text, which the frame then turns into a fatal abort.
class BoundaryTrap {
 public:
  explicit BoundaryTrap(const char* text) : text_(text) {}
  ~BoundaryTrap() {
    if (armed_) runtime::report_failure(text_);
  }
  BoundaryTrap(const BoundaryTrap&) = delete;
  BoundaryTrap& operator=(const BoundaryTrap&) = delete;
  void disarm() { armed_ = false; }

 private:
  const char* const text_;
  bool armed_ = true;
};

// Body: () -> PyResult<OwnedRef>. Returns a new reference, or NULL with an exception set.
template <class Body>
PyObject* method_entry_frame(Body&& body);

// For the deallocation slot, which has no caller to report to. Body: () -> void. An internal
// failure becomes a PanicException reported through the unraisable hook.
template <class Body>
void destructor_frame(Body&& body);

// ---- End of public interface ----

namespace detail {

inline constexpr const char kTrapText[] = "uncaught panic at ffi boundary";

[[noreturn]] void abort_cannot_unwind();
[[noreturn]] void abort_foreign_exception();

// Runs the body; an internal failure inside it becomes a PanicException value, and running out of
// memory a MemoryError. This is the only place where internal failures of a call are caught.
template <class Body>
auto run_body(Body& body) -> decltype(body()) {
  try {
    return body();
  } catch (runtime::InternalFailure& failure) {
    try {
      return std::unexpected(PanicException::from_payload(failure.take_payload()));
    } catch (const std::bad_alloc&) {
      return std::unexpected(PyErr::no_memory());  // no memory for the failure's message
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected(PyErr::no_memory());
  } catch (const runtime::ForcedUnwind&) {
    throw;
  } catch (...) {
    abort_foreign_exception();
  }
}

// Arms the trap, enters the guard, runs `inside` with the guard held, disarms. Escapes other than
// a forced unwind end the process.
template <class Inside>
auto guarded_boundary(Inside&& inside) -> decltype(inside()) {
  try {
    BoundaryTrap trap(kTrapText);
    try {
      GilGuard guard = GilGuard::assume();
      auto result = inside();
      trap.disarm();
      return result;
    } catch (const runtime::ForcedUnwind&) {
      trap.disarm();
      throw;
    }
  } catch (const runtime::ForcedUnwind&) {
    throw;
  } catch (const runtime::InternalFailure&) {
    abort_cannot_unwind();
  } catch (...) {
    abort_foreign_exception();
  }
}

}  // namespace detail

template <class Body>
PyObject* method_entry_frame(Body&& body) {
  return detail::guarded_boundary([&]() -> PyObject* {
    PyResult<OwnedRef> outcome = detail::run_body(body);
    if (outcome) return outcome->into_raw();
    std::move(outcome.error()).restore();
    return nullptr;
  });
}

template <class Body>
void destructor_frame(Body&& body) {
  detail::guarded_boundary([&]() -> int {
    auto wrapped = [&]() -> PyResult<void> {
      body();
      return {};
    };
    PyResult<void> outcome = detail::run_body(wrapped);
    if (!outcome) {
      std::move(outcome.error()).restore();
      PyErr_WriteUnraisable(nullptr);
    }
    return 0;
  });
}

}  // namespace metronyx::binding
