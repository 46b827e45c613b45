// Ownership of Python references, visible in the types.
//
// `OwnedRef` holds one strong reference and gives it up exactly once, through release_reference,
// so it may be destroyed on any thread (the release is deferred without the interpreter lock).
// It is made explicitly: `steal` takes over a reference the caller owns (a new reference returned
// by the C API), `new_ref` takes a new one (and needs the interpreter lock).
#pragma once

#include <utility>

#include "binding/python.hpp"
#include "binding/release_pool.hpp"

namespace metronyx::binding {

class OwnedRef {
 public:
  OwnedRef() = default;
  [[nodiscard]] static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
  // Interpreter lock required.
  [[nodiscard]] static OwnedRef new_ref(PyObject* object) {
    Py_INCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  // The old value is released last, after the new one is in place: its release may run Python
  // code that looks at this very holder.
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    if (old != nullptr) release_reference(old);
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() {
    if (object_ != nullptr) release_reference(object_);
  }

  [[nodiscard]] PyObject* get() const { return object_; }
  [[nodiscard]] explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (for returning it to the interpreter).
  [[nodiscard]] PyObject* into_raw() { return std::exchange(object_, nullptr); }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace metronyx::binding
