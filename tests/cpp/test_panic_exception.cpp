// Promises of PanicException: internal failures that reach Python, and PanicExceptions that come
// back from Python and resume as internal failures.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "binding/py_err.hpp"
#include "error_test_support.hpp"

namespace metronyx::binding {
namespace {

using testing::arg_count;
using testing::failure_message;
using testing::Interpreter;
using testing::lines_of;
using testing::raised_exception;
using testing::StderrCapture;
using testing::text_of;

// ---- PanicException ----

// A PanicException raised by Python code and taken resumes as an internal failure, after the
// banner, the stack-trace line and the traceback on stderr, and without a second report.
TEST(PanicException, TakenFromPythonResumesAsInternalFailure) {
  Interpreter py;
  py.set("P", panic_exception_type());
  ASSERT_FALSE(py.run("raise P('boom')\n"));
  StderrCapture capture;
  const std::string message = failure_message([] { (void)PyErr::take(); });
  const std::string printed = capture.finish();
  EXPECT_EQ(message, "boom");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  EXPECT_EQ(gil_count(), 1);
  const std::vector<std::string> lines = lines_of(printed);
  ASSERT_GE(lines.size(), 5u) << printed;
  EXPECT_TRUE(lines[0].starts_with("--- ") && lines[0].ends_with(" ---") && lines[0].size() > 8)
      << printed;
  EXPECT_EQ(lines[1], "Python stack trace below:");
  EXPECT_EQ(lines[2], "Traceback (most recent call last):");
  EXPECT_EQ(lines[3], "  File \"<string>\", line 1, in <module>");
  // The interpreter's own last line; nothing (no second failure report) follows it.
  EXPECT_TRUE(lines.back().ends_with("PanicException: boom")) << printed;
  EXPECT_TRUE(printed.ends_with("\n"));

  // fetch takes the same way.
  ASSERT_FALSE(py.run("raise P('boom again')\n"));
  StderrCapture quiet;
  EXPECT_EQ(failure_message([] { (void)PyErr::fetch(); }), "boom again");
}

// A PanicException whose str() raises still resumes, with the fixed message.
TEST(PanicException, UnprintablePanicResumesWithTheFixedMessage) {
  Interpreter py;
  py.set("P", panic_exception_type());
  py.exec("class NoStr:\n    def __str__(self):\n        raise RuntimeError('no str')\n");
  ASSERT_FALSE(py.run("raise P(NoStr())\n"));
  StderrCapture capture;
  EXPECT_EQ(failure_message([] { (void)PyErr::take(); }), "Unwrapped panic from Python code");
  const std::string printed = capture.finish();
  EXPECT_EQ(printed.rfind("--- ", 0), 0u) << printed;
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

// Only the exact type resumes: a subclass comes back as an ordinary error, silently.
TEST(PanicException, SubclassIsAnOrdinaryError) {
  Interpreter py;
  py.set("P", panic_exception_type());
  ASSERT_FALSE(py.run("class Sub(P): pass\nraise Sub('mine')\n"));
  StderrCapture capture;
  std::optional<PyErr> error = PyErr::take();
  EXPECT_EQ(capture.finish(), "");
  ASSERT_TRUE(error.has_value());
  EXPECT_TRUE(error->matches(panic_exception_type()));
  EXPECT_EQ(text_of(error->value()), "mine");
}

// from_payload, on any thread: the text (or a default) as str(), args a 1-tuple, and a type
// that `except Exception` does not catch.
TEST(PanicException, FromPayloadCarriesTheMessage) {
  std::optional<PyErr> owned, fixed, opaque;
  std::thread([&] {
    owned = PanicException::from_payload(std::string("owned text"));
    fixed = PanicException::from_payload(
        runtime::FailurePayload(std::in_place_type<const char*>, "static text"));
    opaque = PanicException::from_payload(runtime::OpaquePayload{});
  }).join();

  Interpreter py;
  auto raise = [](std::optional<PyErr>& error) {
    std::move(*error).restore();
    error.reset();
    return raised_exception();
  };
  OwnedRef from_owned = raise(owned);
  OwnedRef from_fixed = raise(fixed);
  OwnedRef from_opaque = raise(opaque);
  PyObject* type = panic_exception_type();
  for (PyObject* instance : {from_owned.get(), from_fixed.get(), from_opaque.get()}) {
    EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(instance)), type);
    EXPECT_EQ(arg_count(instance), 1);
  }
  EXPECT_EQ(text_of(from_owned.get()), "owned text");
  EXPECT_EQ(text_of(from_fixed.get()), "static text");
  EXPECT_FALSE(text_of(from_opaque.get()).empty());
  EXPECT_NE(text_of(from_opaque.get()), "owned text");

  py.set("P", type);
  py.set("e", from_owned.get());
  py.exec(
      "def handler(exc):\n"
      "    try:\n"
      "        raise exc\n"
      "    except Exception:\n"
      "        return 'Exception'\n"
      "    except BaseException:\n"
      "        return 'BaseException'\n");
  EXPECT_TRUE(py.truth("handler(e) == 'BaseException' and P.__bases__ == (BaseException,)"));
  EXPECT_TRUE(py.truth("P.__name__ == 'PanicException' and P.__module__ != 'metronyx'"));
  // Docstring: a newline, a one-line first paragraph, an empty line, the fixed paragraph.
  EXPECT_TRUE(py.truth(
      "P.__doc__.startswith('\\n') and '\\n' not in P.__doc__[1:].partition('\\n\\n')[0] and "
      "P.__doc__[1:].partition('\\n\\n')[2] == 'Like SystemExit, this exception is derived "
      "from BaseException so that\\nit will typically propagate all the way through the stack "
      "and cause the\\nPython interpreter to exit.\\n'"));
  EXPECT_EQ(panic_exception_type(), type);
  py.exec("del e, P\n");
}

// Counts the PanicException types that exist in this process (a direct BaseException subclass).
long panic_types(Interpreter& py) {
  return PyLong_AsLong(
      py.eval("sum(c.__name__ == 'PanicException' for c in BaseException.__subclasses__())").get());
}

// The type appears with the first take that finds an exception, related or not, or with the first
// raised PanicException; a take that finds nothing creates nothing.
TEST(PanicExceptionDeathTest, TypeIsCreatedByTheFirstTakeThatFindsAnException) {
  EXPECT_EXIT(
      {
        Interpreter py;
        if (panic_types(py) != 0) std::_Exit(1);
        if (PyErr::take().has_value()) std::_Exit(2);
        (void)PyErr::fetch();
        if (panic_types(py) != 0) std::_Exit(3);
        PyErr_SetString(PyExc_KeyError, "unrelated");
        std::optional<PyErr> taken = PyErr::take();
        if (!taken.has_value() || !taken->matches(PyExc_KeyError)) std::_Exit(4);
        if (panic_types(py) != 1) std::_Exit(5);
        PyObject* type = panic_exception_type();
        PyErr_SetString(PyExc_KeyError, "again");
        (void)PyErr::take();
        std::_Exit(panic_types(py) == 1 && panic_exception_type() == type ? 0 : 6);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        Interpreter py;
        PyErr panic = PanicException::from_payload(std::string("first"));
        if (panic_types(py) != 0) std::_Exit(1);
        std::move(panic).restore();
        OwnedRef instance = raised_exception();
        if (panic_types(py) != 1) std::_Exit(2);
        std::_Exit(
            reinterpret_cast<PyObject*>(Py_TYPE(instance.get())) == panic_exception_type() ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace metronyx::binding
