#include "binding/py_err.hpp"

#include <new>
#include <utility>

#include "binding/gil_guard.hpp"
#include "runtime/threads.hpp"

namespace metronyx::binding {

// ---- The state's parts ----

PyErr::NormalizingThread::NormalizingThread(NormalizingThread&& other) noexcept
    : thread_(other.thread_) {
  if (other.lock_.is_poisoned()) lock_.mark_poisoned();
}

PyErr::NormalizingThread& PyErr::NormalizingThread::operator=(NormalizingThread&& other) noexcept {
  thread_ = other.thread_;
  if (other.lock_.is_poisoned()) lock_.mark_poisoned();
  return *this;
}

std::optional<std::uint64_t> PyErr::NormalizingThread::read() {
  runtime::PoisonableGuard guard(lock_);
  if (guard.was_poisoned()) {
    runtime::fail_static("the lock of an error value's normalizing thread is poisoned");
  }
  return thread_;
}

void PyErr::NormalizingThread::write(std::uint64_t thread) {
  runtime::PoisonableGuard guard(lock_);
  if (guard.was_poisoned()) {
    runtime::fail_static("the lock of an error value's normalizing thread is poisoned");
  }
  thread_ = thread;
}

PyErr::State::State(State&& other) noexcept
    : normalizing_thread(std::move(other.normalizing_thread)),
      // The moved-from value is left empty, so misuse of it fails cleanly instead of running a
      // null producer.
      inner(std::exchange(other.inner, Inner(Empty{}))),
      normalized(other.normalized.state()) {}

PyErr::State& PyErr::State::operator=(State&& other) noexcept {
  normalizing_thread = std::move(other.normalizing_thread);
  inner = std::exchange(other.inner, Inner(Empty{}));
  normalized.assign_unshared(other.normalized.state());
  return *this;
}

// ---- Making ----

PyErr PyErr::new_lazy(std::unique_ptr<ErrorProducer> producer) {
  return PyErr(State(Inner(std::move(producer)), runtime::Once::kNotRun));
}

PyErr PyErr::normalized(OwnedRef instance) {
  return PyErr(State(Inner(std::move(instance)), runtime::Once::kComplete));
}

PyErr PyErr::from_value(OwnedRef object) {
  PyTypeObject* type = Py_TYPE(object.get());
  auto* base = reinterpret_cast<PyTypeObject*>(PyExc_BaseException);
  if (type == base || PyType_IsSubtype(type, base)) return normalized(std::move(object));
  return new_lazy(ErrorProducer::object_and_none(std::move(object), OwnedRef::new_ref(Py_None)));
}

PyErr PyErr::no_memory() {
  // The interpreter keeps MemoryError instances in reserve, for when it has no memory either.
  (void)PyErr_NoMemory();
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return fetch();
  return normalized(OwnedRef::steal(raised));
}

// ---- Moving between the interpreter and native code ----

void raise_lazy(std::unique_ptr<ErrorProducer> producer) {
  ErrorProducer::Yield yield;
  try {
    yield = producer->run();
  } catch (const std::bad_alloc&) {
    // No memory to format the message: the error becomes the MemoryError it ran into.
    (void)PyErr_NoMemory();
  }
  producer.reset();
  // The interpreter could not make the exception: its own error (MemoryError) is pending.
  if (!yield.type) return;
  if (PyExceptionClass_Check(yield.type.get())) {
    PyErr_SetObject(yield.type.get(), yield.argument.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  yield.argument = OwnedRef();
  yield.type = OwnedRef();
}

void PyErr::restore() && {
  if (auto* producer = std::get_if<std::unique_ptr<ErrorProducer>>(&state_.inner)) {
    raise_lazy(std::move(*producer));
  } else if (auto* instance = std::get_if<OwnedRef>(&state_.inner)) {
    PyErr_SetRaisedException(instance->into_raw());
  } else {
    runtime::fail_static("PyErr state should never be invalid outside of normalization");
  }
}

std::optional<PyErr> PyErr::take() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return std::nullopt;
  OwnedRef instance = OwnedRef::steal(raised);
  // Identity, not a subclass test: a subclass of PanicException is an ordinary error. A type that
  // there is no memory to make has no instances yet: the exception taken is an ordinary one (as a
  // rule that very MemoryError).
  PyObject* panic_type = panic_exception_type_or_no_memory();
  if (panic_type == nullptr) PyErr_Clear();
  if (panic_type == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(raised)) != panic_type) {
    return normalized(std::move(instance));
  }
  std::string message;
  if (PyObject* str = PyObject_Str(raised)) {
    message = str_to_utf8_lossy(str);
    release_reference(str);
  } else {
    (void)take();
    message = "Unwrapped panic from Python code";
  }
  resume_failure(normalized(std::move(instance)), std::move(message));
}

PyErr PyErr::fetch() {
  if (std::optional<PyErr> taken = take()) return std::move(*taken);
  return new_static(ExceptionKind::system_error, "attempted to fetch exception but none was set");
}

// ---- Normalization ----

PyObject* PyErr::normalized_instance() {
  if (auto* instance = std::get_if<OwnedRef>(&state_.inner); instance != nullptr && *instance) {
    return instance->get();
  }
  runtime::fail_static("internal error: entered unreachable code");
}

PyObject* PyErr::value() {
  if (state_.normalized.is_complete()) return normalized_instance();

  const std::uint64_t this_thread = runtime::current_thread_id();
  if (std::optional<std::uint64_t> runner = state_.normalizing_thread.read();
      runner && *runner == this_thread) {
    runtime::fail_static("Re-entrant normalization of PyErrState detected");
  }
  auto normalize = [&] {
    state_.normalizing_thread.write(this_thread);
    Inner taken = std::exchange(state_.inner, Inner(Empty{}));
    if (std::holds_alternative<Empty>(taken)) {
      runtime::fail_static("Cannot normalize a PyErr while already normalizing it.");
    }
    GilGuard guard = GilGuard::acquire();
    if (auto* producer = std::get_if<std::unique_ptr<ErrorProducer>>(&taken)) {
      raise_lazy(std::move(*producer));
      PyObject* instance = PyErr_GetRaisedException();
      if (instance == nullptr) {
        runtime::fail_static("exception missing after writing to the interpreter");
      }
      state_.inner = OwnedRef::steal(instance);
    } else {
      state_.inner = std::move(taken);
    }
  };
  // Nobody else normalizing (the usual case: a value made and read on one thread): the step runs
  // here, keeping the lock. Giving the lock up would let other threads run Python code in the
  // middle of a method, and find its instance still borrowed.
  if (!state_.normalized.call_once_unless_running(normalize)) {
    // Another thread runs the step and needs the interpreter lock to finish it, so this thread
    // must not wait for it while holding that lock.
    GilSuspension suspension;
    state_.normalized.call_once(normalize);
  }
  return normalized_instance();
}

// ---- Reading ----

OwnedRef PyErr::into_value() && {
  OwnedRef instance = OwnedRef::new_ref(value());
  if (PyObject* traceback = PyException_GetTraceback(instance.get())) {
    PyException_SetTraceback(instance.get(), traceback);
    release_reference(traceback);
  }
  PyErr consumed = std::move(*this);
  return instance;
}

PyErr PyErr::clone_ref() {
  return normalized(OwnedRef::new_ref(value()));
}

std::optional<PyErr> PyErr::cause() {
  PyObject* cause = PyException_GetCause(value());
  if (cause == nullptr) return std::nullopt;
  return from_value(OwnedRef::steal(cause));
}

void PyErr::set_cause(std::optional<PyErr> cause) {
  PyObject* instance = value();
  PyObject* cause_instance = cause ? std::move(*cause).into_value().into_raw() : nullptr;
  PyException_SetCause(instance, cause_instance);  // steals the cause
}

bool PyErr::matches(PyObject* exception_type) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value()));
  return PyErr_GivenExceptionMatches(type, exception_type) != 0;
}

}  // namespace metronyx::binding
