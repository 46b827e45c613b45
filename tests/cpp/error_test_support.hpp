// Helpers for the tests of error values: a test body's hold on the interpreter with a namespace
// for Python snippets, capture of file descriptor 2, and small readers that do not go through
// the code under test.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "binding/gil_guard.hpp"
#include "binding/python.hpp"
#include "binding/refs.hpp"
#include "interpreter_calls.hpp"
#include "runtime/failure.hpp"

namespace metronyx::testing {

using binding::GilGuard;
using binding::OwnedRef;

// A test body's hold on the interpreter as an entry point has it (the lock and one assumed
// guard), with a namespace for Python snippets.
class Interpreter {
 public:
  Interpreter() : guard_(GilGuard::assume()), globals_(OwnedRef::steal(PyDict_New())) {
    PyDict_SetItemString(globals_.get(), "__builtins__", PyEval_GetBuiltins());
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString("probe"));
    PyDict_SetItemString(globals_.get(), "__name__", name.get());
  }
  Interpreter(const Interpreter&) = delete;
  Interpreter& operator=(const Interpreter&) = delete;

  // Runs statements; false, with the exception left pending, when they raise.
  bool run(const char* code) {
    PyObject* result = PyRun_String(code, Py_file_input, globals_.get(), globals_.get());
    if (result == nullptr) return false;
    Py_DECREF(result);
    return true;
  }
  // Runs statements that must not raise.
  void exec(const char* code) {
    if (!run(code)) {
      PyErr_Print();
      ADD_FAILURE() << "snippet raised:\n" << code;
    }
  }
  // Evaluates an expression that must not raise (None, and a test failure, when it does).
  OwnedRef eval(const char* expression) {
    PyObject* result = PyRun_String(expression, Py_eval_input, globals_.get(), globals_.get());
    if (result != nullptr) return OwnedRef::steal(result);
    PyErr_Print();
    ADD_FAILURE() << "expression raised: " << expression;
    return OwnedRef::new_ref(Py_None);
  }
  bool truth(const char* expression) { return PyObject_IsTrue(eval(expression).get()) == 1; }
  // Borrowed.
  PyObject* get(const char* name) { return PyDict_GetItemString(globals_.get(), name); }
  void set(const char* name, PyObject* value) { PyDict_SetItemString(globals_.get(), name, value); }

 private:
  HoldGil gil_;
  GilGuard guard_;
  OwnedRef globals_;
};

// str() of an object, read without the code under test.
inline std::string text_of(PyObject* object) {
  OwnedRef str = OwnedRef::steal(PyObject_Str(object));
  if (!str) {
    PyErr_Clear();
    return "<str failed>";
  }
  return PyUnicode_AsUTF8(str.get());
}

// The lines of `text`, without their line ends.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The exception the interpreter holds now, taken without the code under test.
inline OwnedRef raised_exception() {
  return OwnedRef::steal(PyErr_GetRaisedException());
}

// The length of an exception's args, or -1 when args is not a tuple.
inline Py_ssize_t arg_count(PyObject* exception) {
  OwnedRef args = OwnedRef::steal(PyObject_GetAttrString(exception, "args"));
  return PyTuple_Check(args.get()) ? PyTuple_GET_SIZE(args.get()) : -1;
}

// The message of the internal failure that `body` ends with, or a marker when it returns.
template <class F>
std::string failure_message(F&& body) {
  try {
    body();
  } catch (const runtime::InternalFailure& failure) {
    return std::string(failure.message());
  }
  return "<returned normally>";
}

// Sends file descriptor 2, where both the runtime's lines and the interpreter's sys.stderr end
// up, into a temporary file until `finish`. Interpreter lock held at both ends.
class StderrCapture {
 public:
  StderrCapture() : file_(std::tmpfile()) {
    flush_streams();
    saved_ = ::dup(2);
    ::dup2(::fileno(file_), 2);
  }
  ~StderrCapture() {
    if (saved_ >= 0) (void)finish();
    std::fclose(file_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  std::string finish() {
    flush_streams();
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
    std::string captured;
    std::rewind(file_);
    char buffer[4096];
    while (size_t read = std::fread(buffer, 1, sizeof buffer, file_)) captured.append(buffer, read);
    return captured;
  }

 private:
  static void flush_streams() {
    std::fflush(stderr);
    // A capture may start while the exception under test is pending; keep it so.
    PyObject* pending = PyErr_GetRaisedException();
    if (PyObject* stream = PySys_GetObject("stderr"); stream != nullptr && stream != Py_None) {
      PyObject* result = PyObject_CallMethod(stream, "flush", nullptr);
      if (result != nullptr) Py_DECREF(result);
      PyErr_Clear();
    }
    PyErr_SetRaisedException(pending);
  }

  std::FILE* const file_;
  int saved_ = -1;
};

// The interpreter's allocation count; reading it leaves it unchanged.
inline Py_ssize_t allocated_blocks() {
  OwnedRef count = OwnedRef::steal(PyObject_CallNoArgs(PySys_GetObject("getallocatedblocks")));
  return PyLong_AsSsize_t(count.get());
}

inline constexpr const char* kRecordUnraisable =
    "import sys\n"
    "unraisable = []\n"
    "previous_hook = sys.unraisablehook\n"
    "sys.unraisablehook = lambda u: unraisable.append((u.exc_type, u.exc_value, u.object))\n";
inline constexpr const char* kRestoreUnraisable =
    "sys.unraisablehook = previous_hook\n"
    "unraisable.clear()\n";

}  // namespace metronyx::testing
