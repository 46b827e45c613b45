// Turning parsed argument objects into the values the scheduler's operations take, and the errors
// that name the argument a conversion failed for.
//
// Contract: every function here needs the interpreter lock. Conversions may run Python code
// (`__float__`, `__index__`), so a caller must not hold anything that such code could trip over
// unless that is intended. Conversion errors are returned as they come from the interpreter;
// the entry point passes them through `attribute_argument_error` with the parameter's name.
#pragma once

#include <cstdint>

#include "binding/py_err.hpp"
#include "binding/python.hpp"
#include "binding/refs.hpp"

namespace metronyx::binding {

// Any object at all: a new strong reference to it.
[[nodiscard]] OwnedRef extract_object(PyObject* object);

// A 64-bit float from anything the interpreter accepts as one (floats and their subclasses, ints,
// objects with __float__ or __index__). No range check: NaN, infinities and negatives pass.
[[nodiscard]] PyResult<double> extract_double(PyObject* object);

// A task id: an int (or an object with __index__) in -128..127. Ints outside 32 bits fail with the
// interpreter's own OverflowError; ints inside 32 bits but outside the task-id range fail with
// OverflowError "out of range integral type conversion attempted".
[[nodiscard]] PyResult<std::int8_t> extract_int8(PyObject* object);

// TypeError "'<qualified type name>' object cannot be converted to '<target_name>'". The message
// is formatted only when the error is raised or inspected; until then the error holds a reference
// to the object's type and a copy of `target_name`.
[[nodiscard]] PyErr type_check_error(PyObject* object, const char* target_name);

// Names the parameter in a conversion's TypeError: an error whose instance is exactly a TypeError
// becomes a new TypeError "argument 'NAME': <text of the old one>" that keeps the old one's
// __cause__ (and does not chain the old one itself). Any other error, TypeError subclasses
// included, comes back unchanged. Normalizes `error`.
[[nodiscard]] PyErr attribute_argument_error(const char* parameter_name, PyErr error);

}  // namespace metronyx::binding
