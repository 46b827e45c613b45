// PyErr: the module's one representation of a Python exception on its way into or out of the
// interpreter.
//
// A value is lazy (an ErrorProducer: no Python object exists yet) or normalized (a strong
// reference to an exception instance). Lazy values become normalized the first time something
// needs the instance; that one-time step may run on any thread that holds a PyErr reference, so
// it is guarded by a one-time cell, and a thread that waits for it gives up the interpreter lock
// while it waits (GilSuspension) so that the running thread can finish.
//
// Threads: making, moving and dropping a PyErr need no lock and may happen on any thread (owed
// releases go through release_reference). Every other operation needs the interpreter lock, with
// one exception: `debug_form` takes it itself (GilGuard::acquire).
//
// Failures of this unit are internal failures with fixed messages; none raises into Python.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "binding/error_producer.hpp"
#include "binding/python.hpp"
#include "binding/refs.hpp"
#include "runtime/byte_lock.hpp"
#include "runtime/failure.hpp"
#include "runtime/once.hpp"

namespace metronyx::binding {

class PyErr {
 public:
  // ---- Making ----
  // Any thread, no interpreter call.
  [[nodiscard]] static PyErr new_lazy(std::unique_ptr<ErrorProducer> producer);
  [[nodiscard]] static PyErr new_static(ExceptionKind kind, const char* text) {
    return new_lazy(ErrorProducer::static_text(kind, text));
  }
  [[nodiscard]] static PyErr new_owned(ExceptionKind kind, std::string text) {
    return new_lazy(ErrorProducer::owned_text(kind, std::move(text)));
  }
  // An exception instance becomes a normalized value; any other object a lazy value that raises
  // that object as the exception (or TypeError if it is not an exception class).
  [[nodiscard]] static PyErr from_value(OwnedRef object);
  // Lock held: the interpreter's MemoryError, made without any allocation of this module's (the
  // value for a std::bad_alloc, when there may be no memory for a lazy value).
  [[nodiscard]] static PyErr no_memory();

  // ---- Moving between the interpreter and native code ----
  // Removes the pending exception. A PanicException does not come back: it resumes as an internal
  // failure of the caller (see resume_failure).
  [[nodiscard]] static std::optional<PyErr> take();
  // take(), or SystemError "attempted to fetch exception but none was set".
  [[nodiscard]] static PyErr fetch();
  // Makes this error the interpreter's pending exception.
  void restore() &&;

  // ---- Reading ----
  // Borrowed exception instance, normalizing first if needed.
  [[nodiscard]] PyObject* value();
  // New reference to the instance, with its traceback re-attached.
  [[nodiscard]] OwnedRef into_value() &&;
  [[nodiscard]] PyErr clone_ref();
  [[nodiscard]] std::optional<PyErr> cause();
  void set_cause(std::optional<PyErr> cause);
  [[nodiscard]] bool matches(PyObject* exception_type);

  // ---- Reporting ----
  // The interpreter prints a copy (PyErr_PrintEx(0)); this value is unchanged.
  void print();
  void write_unraisable(PyObject* context) &&;
  // "PyErr { type: <class 'ValueError'>, value: ValueError('x'), traceback: Some(<...>) }".
  void debug_form(std::string& sink);
  [[nodiscard]] std::string debug_form();

  PyErr(PyErr&&) noexcept = default;
  PyErr& operator=(PyErr&&) noexcept = default;
  PyErr(const PyErr&) = delete;
  PyErr& operator=(const PyErr&) = delete;
  ~PyErr() = default;

  // ---- End of public interface ----

 private:
  struct Empty {};
  using Inner = std::variant<Empty, std::unique_ptr<ErrorProducer>, OwnedRef>;

  // The thread that ran this value's normalization; guarded by a small lock with a poison mark.
  class NormalizingThread {
   public:
    NormalizingThread() = default;
    // Moving implies no other thread can see either value, so plain reads suffice.
    NormalizingThread(NormalizingThread&& other) noexcept;
    NormalizingThread& operator=(NormalizingThread&& other) noexcept;
    [[nodiscard]] std::optional<std::uint64_t> read();
    void write(std::uint64_t thread);

   private:
    runtime::ByteLock lock_;
    std::optional<std::uint64_t> thread_;  // written under lock_, once
  };

  struct State {
    State() = default;
    explicit State(Inner inner, runtime::Once::State flag)
        : inner(std::move(inner)), normalized(flag) {}
    State(State&& other) noexcept;
    State& operator=(State&& other) noexcept;

    NormalizingThread normalizing_thread;
    Inner inner;
    runtime::Once normalized;
  };

  explicit PyErr(State state) : state_(std::move(state)) {}
  [[nodiscard]] static PyErr normalized(OwnedRef instance);
  PyObject* normalized_instance();

  State state_;
};

template <class T>
using PyResult = std::expected<T, PyErr>;

// Raises a producer's exception into the interpreter (the lazy half of restore).
void raise_lazy(std::unique_ptr<ErrorProducer> producer);

// The text form (str) or debug form (repr) of any object, appended to `sink`. Never fails: a
// failing __str__/__repr__ is reported as unraisable and replaced by "<unprintable T object>".
enum class TextForm : std::uint8_t { text, debug };
void format_object(PyObject* object, TextForm form, std::string& sink);

// A str's UTF-8 bytes; lone surrogates become U+FFFD (three per surrogate). Never fails on content.
[[nodiscard]] std::string str_to_utf8_lossy(PyObject* str);

// The Python type of internal failures that reach Python code. Derived from BaseException so that
// `except Exception` does not swallow them. Created on first use, kept for the process.
[[nodiscard]] PyObject* panic_exception_type();
// The same, except when the interpreter has no memory to make it: then null, with its MemoryError
// pending (other failures to make it are internal failures, as above).
[[nodiscard]] PyObject* panic_exception_type_or_no_memory();
// After Py_FinalizeEx, when no thread runs Python code: the next runtime makes the type again.
void forget_panic_exception_type();

struct PanicException {
  // Any thread. The payload's text (or a default text) as a lazy PanicException.
  [[nodiscard]] static PyErr from_payload(runtime::FailurePayload payload);
};

// A PanicException fetched from Python continues as an internal failure of the native caller:
// two banner lines and the Python traceback on stderr, then the failure resumes (unreported).
[[noreturn]] void resume_failure(PyErr error, std::string message);

// For interpreter calls whose result the code cannot do without: prints the pending exception,
// then starts the internal failure "Python API call failed".
[[noreturn]] void fail_on_api_error();

}  // namespace metronyx::binding
