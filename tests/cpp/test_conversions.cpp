// Promises of argument conversion: what each parameter accepts, which errors are attributed to
// their parameter, and which reach Python unchanged.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>

#include "binding/conversions.hpp"
#include "binding/gil_guard.hpp"
#include "interpreter_calls.hpp"

namespace metronyx::binding {
namespace {

class Conversions : public ::testing::Test {
 protected:
  // Interpreter lock plus a guard, as in an entry point, so owed releases happen at once.
  testing::HoldGil gil_;
  GilGuard guard_ = GilGuard::assume();
  // Definitions the expressions below may use.
  OwnedRef globals_ = OwnedRef::steal(PyDict_New());

  void SetUp() override {
    PyDict_SetItemString(globals_.get(), "__builtins__", PyEval_GetBuiltins());
    OwnedRef done = OwnedRef::steal(PyRun_String(R"(
class Index:
    def __index__(self): return 5
class Float:
    def __float__(self): return 2.5
class MinusOne:
    def __float__(self): return -1.0
class Chained:
    def __float__(self): raise TypeError("inner") from KeyError("root")
class SubTypeError(TypeError): pass
class Picky:
    def __float__(self): raise SubTypeError("picky")
class Outer:
    class Inner: pass
)",
                                                 Py_file_input, globals_.get(), globals_.get()));
    ASSERT_TRUE(done) << "test definitions failed";
  }

  OwnedRef eval(const char* expression) {
    OwnedRef value =
        OwnedRef::steal(PyRun_String(expression, Py_eval_input, globals_.get(), globals_.get()));
    EXPECT_TRUE(value) << expression;
    return value;
  }
};

// What Python code would catch once the error is raised.
struct Raised {
  OwnedRef instance;
  std::string text;
  [[nodiscard]] bool is(PyObject* type) const {
    return Py_TYPE(instance.get()) == reinterpret_cast<PyTypeObject*>(type);
  }
};

Raised raise_and_catch(PyErr error) {
  std::move(error).restore();
  Raised raised{OwnedRef::steal(PyErr_GetRaisedException()), {}};
  OwnedRef text = OwnedRef::steal(PyObject_Str(raised.instance.get()));
  raised.text = PyUnicode_AsUTF8(text.get());
  return raised;
}

// The conversion error as the entry point hands it to Python.
Raised attributed(const char* parameter, PyErr error) {
  return raise_and_catch(attribute_argument_error(parameter, std::move(error)));
}

TEST_F(Conversions, IntervalsAcceptWhatTheInterpreterTakesAsAFloat) {
  EXPECT_EQ(extract_double(eval("0.5").get()), 0.5);
  EXPECT_EQ(extract_double(eval("-1.0").get()), -1.0);
  EXPECT_EQ(extract_double(eval("5").get()), 5.0);
  EXPECT_EQ(extract_double(eval("True").get()), 1.0);
  EXPECT_EQ(extract_double(eval("Float()").get()), 2.5);
  EXPECT_EQ(extract_double(eval("Index()").get()), 5.0);
  // -1.0 is also the interpreter's failure value; without a pending error it is a value.
  EXPECT_EQ(extract_double(eval("MinusOne()").get()), -1.0);
  // Not `.value()` on the temporary: newer standard libraries want a copyable error type there.
  PyResult<double> nan = extract_double(eval("float('nan')").get());
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(*nan));
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

TEST_F(Conversions, AnIntervalTypeErrorIsAttributedAndKeepsOnlyItsCause) {
  PyResult<double> text = extract_double(eval("'1'").get());
  ASSERT_FALSE(text.has_value());
  Raised plain = attributed("interval", std::move(text).error());
  EXPECT_TRUE(plain.is(PyExc_TypeError));
  EXPECT_EQ(plain.text, "argument 'interval': must be real number, not str");
  EXPECT_EQ(PyException_GetCause(plain.instance.get()), nullptr);

  PyResult<double> chained = extract_double(eval("Chained()").get());
  ASSERT_FALSE(chained.has_value());
  Raised rewritten = attributed("interval", std::move(chained).error());
  EXPECT_EQ(rewritten.text, "argument 'interval': inner");
  OwnedRef cause = OwnedRef::steal(PyException_GetCause(rewritten.instance.get()));
  ASSERT_TRUE(cause);
  EXPECT_EQ(Py_TYPE(cause.get()), reinterpret_cast<PyTypeObject*>(PyExc_KeyError));
}

TEST_F(Conversions, ErrorsOtherThanAPlainTypeErrorPassThroughUnchanged) {
  PyResult<double> subclass = extract_double(eval("Picky()").get());
  ASSERT_FALSE(subclass.has_value());
  Raised picky = attributed("interval", std::move(subclass).error());
  EXPECT_EQ(picky.text, "picky");
  EXPECT_STREQ(Py_TYPE(picky.instance.get())->tp_name, "SubTypeError");

  PyResult<double> huge = extract_double(eval("2**2000").get());
  ASSERT_FALSE(huge.has_value());
  Raised overflow = attributed("interval", std::move(huge).error());
  EXPECT_TRUE(overflow.is(PyExc_OverflowError));
  EXPECT_EQ(overflow.text.rfind("argument", 0), std::string::npos);
}

TEST_F(Conversions, TaskIdsAcceptTheSignedByteRange) {
  EXPECT_EQ(extract_int8(eval("127").get()), 127);
  EXPECT_EQ(extract_int8(eval("-128").get()), -128);
  EXPECT_EQ(extract_int8(eval("-1").get()), -1);
  EXPECT_EQ(extract_int8(eval("Index()").get()), 5);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

TEST_F(Conversions, TaskIdsOutsideTheRangeOverflowWithTheirOwnOrTheInterpretersMessage) {
  for (const char* expression : {"128", "-129", "2**31 - 1", "-2**31"}) {
    PyResult<std::int8_t> result = extract_int8(eval(expression).get());
    ASSERT_FALSE(result.has_value()) << expression;
    Raised raised = attributed("task_id", std::move(result).error());
    EXPECT_TRUE(raised.is(PyExc_OverflowError)) << expression;
    EXPECT_EQ(raised.text, "out of range integral type conversion attempted") << expression;
  }
  // Beyond 32 bits the interpreter refuses first, whatever the width of a C long.
  for (const char* expression : {"2**31", "2**40", "-2**40"}) {
    PyResult<std::int8_t> result = extract_int8(eval(expression).get());
    ASSERT_FALSE(result.has_value()) << expression;
    Raised raised = attributed("task_id", std::move(result).error());
    EXPECT_TRUE(raised.is(PyExc_OverflowError)) << expression;
    EXPECT_EQ(raised.text, "Python int too large to convert to C int") << expression;
  }
}

TEST_F(Conversions, ATaskIdOfTheWrongTypeIsAttributed) {
  for (const char* expression : {"1.0", "'1'"}) {
    PyResult<std::int8_t> result = extract_int8(eval(expression).get());
    ASSERT_FALSE(result.has_value()) << expression;
    Raised raised = attributed("task_id", std::move(result).error());
    EXPECT_TRUE(raised.is(PyExc_TypeError)) << expression;
    EXPECT_EQ(raised.text.rfind("argument 'task_id': ", 0), 0u) << raised.text;
  }
}

TEST_F(Conversions, TypeCheckErrorsNameTheQualifiedTypeWhenRaised) {
  OwnedRef inner = eval("Outer.Inner()");
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(inner.get()));
  const Py_ssize_t before = Py_REFCNT(type);
  {
    PyErr error = type_check_error(inner.get(), "Scheduler");
    EXPECT_EQ(Py_REFCNT(type), before + 1);
    Raised raised = raise_and_catch(std::move(error));
    EXPECT_TRUE(raised.is(PyExc_TypeError));
    EXPECT_EQ(raised.text, "'Outer.Inner' object cannot be converted to 'Scheduler'");
  }
  EXPECT_EQ(Py_REFCNT(type), before);

  // The name is read only when the error is raised, and a name without UTF-8 form is replaced.
  PyErr error = type_check_error(inner.get(), "Scheduler");
  ASSERT_EQ(PyObject_SetAttrString(type, "__qualname__", eval("'\\ud800'").get()), 0);
  EXPECT_EQ(raise_and_catch(std::move(error)).text,
            "'<failed to extract type name>' object cannot be converted to 'Scheduler'");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

}  // namespace
}  // namespace metronyx::binding
