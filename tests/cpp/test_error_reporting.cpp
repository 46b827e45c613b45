// Promises of error reporting: the debug form of a value, printing, unraisable reports, and the
// text and debug forms of any object with their fallbacks.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "binding/py_err.hpp"
#include "error_test_support.hpp"

namespace metronyx::binding {
namespace {

using testing::Interpreter;
using testing::kRecordUnraisable;
using testing::kRestoreUnraisable;
using testing::StderrCapture;

// ---- Debug form ----

// The debug form of an error raised in Python code quotes type, repr and traceback object.
TEST(PyErrDebugForm, QuotesTheTracebackOfARaisedError) {
  Interpreter py;
  ASSERT_FALSE(py.run("def fail():\n    raise ValueError('x')\nfail()\n"));
  PyErr error = PyErr::fetch();
  const std::string form = error.debug_form();
  constexpr std::string_view kHead =
      "PyErr { type: <class 'ValueError'>, value: ValueError('x'), traceback: Some(<traceback "
      "object at 0x";
  constexpr std::string_view kTail = ">) }";
  ASSERT_GT(form.size(), kHead.size() + kTail.size()) << form;
  EXPECT_TRUE(form.starts_with(kHead)) << form;
  EXPECT_TRUE(form.ends_with(kTail)) << form;
  const std::string address = form.substr(kHead.size(), form.size() - kHead.size() - kTail.size());
  EXPECT_EQ(address.find_first_not_of("0123456789abcdef"), std::string::npos) << form;
  // The form is written into the caller's sink, after what is already there.
  std::string sink = "Error calling Python function: ";
  error.debug_form(sink);
  EXPECT_EQ(sink, "Error calling Python function: " + form);
}

// ---- Printing and unraisable reports ----

// print shows the error on sys.stderr and leaves the value (and the interpreter) as they were.
TEST(PyErrOperations, PrintLeavesTheValueUnchanged) {
  Interpreter py;
  py.exec(
      "import sys\nfor name in ('last_exc', 'last_type', 'last_value', 'last_traceback'):\n"
      "    sys.__dict__.pop(name, None)\n");
  ASSERT_FALSE(py.run("def fail():\n    raise ValueError('printed')\nfail()\n"));
  PyErr error = PyErr::fetch();
  PyObject* instance = error.value();
  const Py_ssize_t references = Py_REFCNT(instance);
  OwnedRef traceback = OwnedRef::steal(PyException_GetTraceback(instance));
  StderrCapture capture;
  error.print();
  const std::string printed = capture.finish();
  EXPECT_NE(printed.find("Traceback (most recent call last):"), std::string::npos) << printed;
  EXPECT_NE(printed.find("ValueError: printed\n"), std::string::npos) << printed;
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  EXPECT_EQ(error.value(), instance);
  EXPECT_EQ(Py_REFCNT(instance), references);
  OwnedRef after = OwnedRef::steal(PyException_GetTraceback(instance));
  EXPECT_EQ(after.get(), traceback.get());
  EXPECT_FALSE(py.truth("hasattr(sys, 'last_exc') or hasattr(sys, 'last_value')"));
}

// write_unraisable reaches sys.unraisablehook with the context object (None without one).
TEST(PyErrOperations, WriteUnraisableReachesTheHook) {
  Interpreter py;
  py.exec(kRecordUnraisable);
  OwnedRef context = py.eval("object()");
  const Py_ssize_t references = Py_REFCNT(context.get());
  PyErr::new_static(ExceptionKind::value_error, "lost").write_unraisable(context.get());
  PyErr::new_owned(ExceptionKind::runtime_error, "lost too").write_unraisable(nullptr);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  py.set("context", context.get());
  EXPECT_TRUE(
      py.truth("[(t, str(v), o) for t, v, o in unraisable] == "
               "[(ValueError, 'lost', context), (RuntimeError, 'lost too', None)]"));
  py.exec(kRestoreUnraisable);
  py.exec("del context\n");
  EXPECT_EQ(Py_REFCNT(context.get()), references);
}

// ---- Text and debug forms ----

// A failing __repr__/__str__ is reported once as unraisable and replaced by the type's name.
TEST(TextForm, UnprintableObjectsAreNamedByTheirTypeAndReportedOnce) {
  Interpreter py;
  py.exec(kRecordUnraisable);
  py.exec(
      "class BadRepr(ValueError):\n"
      "    def __repr__(self):\n"
      "        raise RuntimeError('no repr')\n"
      "class BadStr:\n"
      "    def __str__(self):\n"
      "        raise KeyError('no str')\n"
      "bad_repr = BadRepr('x')\n"
      "bad_str = BadStr()\n");
  PyObject* bad_repr = py.get("bad_repr");
  const Py_ssize_t references = Py_REFCNT(bad_repr);
  {
    PyErr error = PyErr::from_value(OwnedRef::new_ref(bad_repr));
    EXPECT_EQ(error.debug_form(),
              "PyErr { type: <class 'probe.BadRepr'>, value: <unprintable BadRepr object>, "
              "traceback: None }");
  }
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  EXPECT_TRUE(
      py.truth("len(unraisable) == 1 and unraisable[0][0] is RuntimeError and "
               "str(unraisable[0][1]) == 'no repr' and unraisable[0][2] is bad_repr"));

  std::string sink = "[";
  format_object(py.get("bad_str"), TextForm::text, sink);
  sink += "]";
  EXPECT_EQ(sink, "[<unprintable BadStr object>]");
  EXPECT_TRUE(
      py.truth("len(unraisable) == 2 and unraisable[1][0] is KeyError and "
               "unraisable[1][2] is bad_str"));
  py.exec(kRestoreUnraisable);
  EXPECT_EQ(Py_REFCNT(bad_repr), references);
}

PyObject* raise_from_repr(PyObject*) {
  PyErr_SetString(PyExc_RuntimeError, "no repr");
  return nullptr;
}

// A static type whose name is not valid UTF-8 and whose repr raises: an object whose type name
// cannot be read either.
PyTypeObject* nameless_type() {
  static PyTypeObject type{};
  static const bool ready = [] {
    Py_SET_TYPE(reinterpret_cast<PyObject*>(&type), &PyType_Type);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = "probe.Nameless\xff";
    type.tp_basicsize = sizeof(PyObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_repr = raise_from_repr;
    return PyType_Ready(&type) == 0;
  }();
  return ready ? &type : nullptr;
}

// When the type's name cannot be read either, the fallback names no type.
TEST(TextForm, UnreadableTypeNameFallsBackToUnprintableObject) {
  Interpreter py;
  PyTypeObject* type = nameless_type();
  ASSERT_NE(type, nullptr);
  OwnedRef object = OwnedRef::steal(PyObject_New(PyObject, type));
  py.exec(kRecordUnraisable);
  std::string sink;
  format_object(object.get(), TextForm::debug, sink);
  EXPECT_EQ(sink, "<unprintable object>");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  // Only the repr failure is reported; the name failure is dropped.
  py.set("nameless", object.get());
  EXPECT_TRUE(py.truth("len(unraisable) == 1 and unraisable[0][2] is nameless"));
  py.exec(kRestoreUnraisable);
  py.exec("del nameless\n");
  EXPECT_EQ(Py_REFCNT(object.get()), 1);
}

// Lone surrogates become three U+FFFD each; valid text, astral characters included, is kept.
TEST(TextForm, LoneSurrogatesBecomeReplacementCharacters) {
  Interpreter py;
  constexpr const char* kReplacement = "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";
  OwnedRef lone = py.eval("'a\\ud800b'");
  EXPECT_EQ(str_to_utf8_lossy(lone.get()), std::string("a") + kReplacement + "b");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  OwnedRef mixed = py.eval("'\\u00e9\\U0001F600\\udfff\\ud83d'");
  EXPECT_EQ(str_to_utf8_lossy(mixed.get()),
            std::string("\xC3\xA9\xF0\x9F\x98\x80") + kReplacement + kReplacement);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  std::string sink;
  format_object(lone.get(), TextForm::text, sink);
  EXPECT_EQ(sink, std::string("a") + kReplacement + "b");
  OwnedRef plain = py.eval("'plain \\u00fc'");
  EXPECT_EQ(str_to_utf8_lossy(plain.get()), "plain \xC3\xBC");
}

}  // namespace
}  // namespace metronyx::binding
