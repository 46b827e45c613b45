#include "binding/conversions.hpp"

#include <cstdint>
#include <string>
#include <utility>

#include "binding/error_producer.hpp"

namespace metronyx::binding {

namespace {

// Deferred-message errors run this when they are raised, with the interpreter lock held.
std::string qualified_type_name(PyTypeObject* type) {
  OwnedRef name = OwnedRef::steal(PyType_GetQualName(type));
  if (name) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size); utf8 != nullptr) {
      return std::string(utf8, static_cast<std::size_t>(size));
    }
  }
  // A message about a bad argument must not fail in its turn: the name is replaced instead.
  static_cast<void>(PyErr::take());
  return "<failed to extract type name>";
}

}  // namespace

OwnedRef extract_object(PyObject* object) {
  // Every type derives from `object`, so the type check an argument of type object would get can
  // never fail: any object is accepted, callable or not.
  return OwnedRef::new_ref(object);
}

PyResult<double> extract_double(PyObject* object) {
  // The common case, an exact float, is read in place without a call into the interpreter.
  if (Py_IS_TYPE(object, &PyFloat_Type)) return PyFloat_AS_DOUBLE(object);
  const double value = PyFloat_AsDouble(object);
  // -1.0 is also an ordinary interval value; only a pending exception makes it a failure.
  if (value == -1.0 && PyErr_Occurred() != nullptr) return std::unexpected(PyErr::fetch());
  return value;
}

PyResult<std::int8_t> extract_int8(PyObject* object) {
  // Task ids were first defined against a 32-bit C long: an int beyond 32 bits is refused by the
  // interpreter's own conversion (its OverflowError reaches the caller unchanged), and only ints
  // within 32 bits meet the task-id range check below. Where a C long is 64 bits wide,
  // PyLong_AsLong would move ints between 2^31 and 2^63 from the first group to the second;
  // converting through a C int keeps the split where it was on every platform.
  const int value = PyLong_AsInt(object);
  if (value == -1 && PyErr_Occurred() != nullptr) return std::unexpected(PyErr::fetch());
  if (value < INT8_MIN || value > INT8_MAX) {
    return std::unexpected(PyErr::new_owned(ExceptionKind::overflow_error,
                                            "out of range integral type conversion attempted"));
  }
  return static_cast<std::int8_t>(value);
}

PyErr type_check_error(PyObject* object, const char* target_name) {
  OwnedRef type = OwnedRef::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  return PyErr::new_lazy(ErrorProducer::deferred_message(
      ExceptionKind::type_error, [type = std::move(type), target = std::string(target_name)] {
        std::string message = "'";
        message += qualified_type_name(reinterpret_cast<PyTypeObject*>(type.get()));
        message += "' object cannot be converted to '";
        message += target;
        message += "'";
        return message;
      }));
}

PyErr attribute_argument_error(const char* parameter_name, PyErr error) {
  PyObject* instance = error.value();
  // Only the interpreter's plain TypeError is a complaint about the argument's type; a subclass
  // carries a meaning of its own and passes through untouched, like every other error.
  if (Py_TYPE(instance) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return error;

  std::string message = "argument '";
  message += parameter_name;
  message += "': ";
  format_object(instance, TextForm::text, message);
  PyErr attributed = PyErr::new_owned(ExceptionKind::type_error, std::move(message));
  // The new error stands in for the old one rather than wrapping it, so only the old cause moves.
  attributed.set_cause(error.cause());
  return attributed;
}

}  // namespace metronyx::binding
