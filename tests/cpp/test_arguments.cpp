// Promises of argument parsing: which slot each argument lands in, which fault wins, and the exact
// wording Python callers see.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "allocation_counter.hpp"
#include "binding/arguments.hpp"
#include "binding/gil_guard.hpp"
#include "interpreter_calls.hpp"
#include "runtime/failure.hpp"

namespace metronyx::binding {
namespace {

// What the module's own descriptions cannot show: no class, positional-only parameters, an
// optional positional and keyword-only parameters.
constexpr std::array<std::string_view, 3> probe_positional = {"a", "b", "c"};
constexpr std::array<KeywordOnlyParameter, 2> probe_keyword_only = {{{"k", true}, {"opt", false}}};
constexpr MethodDescription probe{.method_name = "probe",
                                  .class_name = std::nullopt,
                                  .positional_names = probe_positional,
                                  .positional_only_count = 2,
                                  .required_positional_count = 1,
                                  .keyword_only = probe_keyword_only};

// Three required positionals, for the longest form of a name list.
constexpr std::array<std::string_view, 3> triple_positional = {"x", "y", "z"};
constexpr MethodDescription triple{.method_name = "triple",
                                   .class_name = "Holder",
                                   .positional_names = triple_positional,
                                   .positional_only_count = 0,
                                   .required_positional_count = 3,
                                   .keyword_only = {}};

// A call in the vector convention; owns its argument objects and its keyword-name tuple.
class VectorCall {
 public:
  VectorCall(std::vector<PyObject*> positional,
             std::vector<std::pair<PyObject*, PyObject*>> keywords = {})
      : positional_count_(static_cast<Py_ssize_t>(positional.size())), vector_(positional) {
    if (keywords.empty()) return;
    kwnames_ = PyTuple_New(static_cast<Py_ssize_t>(keywords.size()));
    for (std::size_t i = 0; i < keywords.size(); ++i) {
      PyTuple_SET_ITEM(kwnames_, static_cast<Py_ssize_t>(i), keywords[i].first);
      vector_.push_back(keywords[i].second);
    }
  }
  ~VectorCall() {
    Py_XDECREF(kwnames_);
    for (PyObject* object : vector_) Py_DECREF(object);
  }
  VectorCall(const VectorCall&) = delete;
  VectorCall& operator=(const VectorCall&) = delete;

  PyResult<void> parse(const MethodDescription& description, std::span<PyObject*> slots,
                       Py_ssize_t flags = 0) const {
    return parse_fastcall_arguments(description, vector_.data(), positional_count_ | flags,
                                    kwnames_, slots);
  }
  [[nodiscard]] PyObject* at(std::size_t i) const { return vector_[i]; }

 private:
  Py_ssize_t positional_count_;
  std::vector<PyObject*> vector_;  // positional values, then keyword values
  PyObject* kwnames_ = nullptr;
};

PyObject* name(const char* text) {
  return PyUnicode_FromString(text);
}
PyObject* number(long value) {
  return PyLong_FromLong(value);
}

// Raises the error and reads back what Python code would catch: exactly a TypeError, and its str().
std::string type_error_text(PyErr error) {
  std::move(error).restore();
  PyObject* raised = PyErr_GetRaisedException();
  EXPECT_EQ(Py_TYPE(raised), reinterpret_cast<PyTypeObject*>(PyExc_TypeError));
  PyObject* text = PyObject_Str(raised);
  std::string result = PyUnicode_AsUTF8(text);
  Py_DECREF(text);
  Py_DECREF(raised);
  return result;
}

// One call of integer arguments: positional values, then (name, value) keywords.
struct Case {
  const MethodDescription& description;
  std::vector<long> positional;
  std::vector<std::pair<const char*, long>> keywords;
  const char* message;
};

void expect_messages(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    std::vector<PyObject*> positional;
    for (long value : c.positional) positional.push_back(number(value));
    std::vector<std::pair<PyObject*, PyObject*>> keywords;
    for (auto [key, value] : c.keywords) keywords.emplace_back(name(key), number(value));
    VectorCall call(std::move(positional), std::move(keywords));
    std::array<PyObject*, 8> storage{};
    PyResult<void> result =
        call.parse(c.description, std::span(storage).first(slot_count(c.description)));
    ASSERT_FALSE(result.has_value()) << c.message;
    EXPECT_EQ(type_error_text(std::move(result).error()), c.message);
  }
}

// The interpreter lock plus a guard, as an entry point has them, so owed releases happen at once.
class Arguments : public ::testing::Test {
 protected:
  testing::HoldGil gil_;
  GilGuard guard_ = GilGuard::assume();
};

TEST_F(Arguments, TooManyPositionalReportsBothBoundFormsAndTheVerb) {
  // clang-format off
  expect_messages({
      {schedule_description, {1, 2, 3}, {},
       "Scheduler.schedule() takes 2 positional arguments but 3 were given"},
      {cancel_description, {1, 2}, {},
       "Scheduler.cancel() takes 1 positional arguments but 2 were given"},
      {construction_description, {1}, {},
       "Scheduler.__new__() takes 0 positional arguments but 1 was given"},
      {probe, {1, 2, 3, 4}, {{"k", 5}},
       "probe() takes from 1 to 3 positional arguments but 4 were given"},
  });
  // clang-format on
}

TEST_F(Arguments, MissingArgumentsAreListedInDeclarationOrder) {
  // clang-format off
  expect_messages({
      {schedule_description, {}, {},
       "Scheduler.schedule() missing 2 required positional arguments: 'py_func' and 'interval'"},
      {schedule_description, {1}, {},
       "Scheduler.schedule() missing 1 required positional argument: 'interval'"},
      {schedule_description, {}, {{"interval", 1}},
       "Scheduler.schedule() missing 1 required positional argument: 'py_func'"},
      {triple, {}, {},
       "Holder.triple() missing 3 required positional arguments: 'x', 'y', and 'z'"},
      // Keyword-only parameters are checked once every required positional is present.
      {probe, {1}, {}, "probe() missing 1 required keyword argument: 'k'"},
  });
  // clang-format on
}

TEST_F(Arguments, KeywordFaultsAreMultipleValuesUnexpectedOrPositionalOnly) {
  // clang-format off
  expect_messages({
      {schedule_description, {1}, {{"py_func", 2}},
       "Scheduler.schedule() got multiple values for argument 'py_func'"},
      {schedule_description, {1, 2}, {{"interval", 3}},
       "Scheduler.schedule() got multiple values for argument 'interval'"},
      {schedule_description, {1, 2}, {{"x", 3}},
       "Scheduler.schedule() got an unexpected keyword argument 'x'"},
      // Positional-only names are collected in the order met and reported after the loop; given
      // positionally as well, such a name is still this error rather than multiple values.
      {probe, {}, {{"b", 1}, {"a", 2}},
       "probe() got some positional-only arguments passed as keyword arguments: 'b' and 'a'"},
      {probe, {1}, {{"a", 2}, {"k", 3}},
       "probe() got some positional-only arguments passed as keyword arguments: 'a'"},
  });
  // clang-format on
}

TEST_F(Arguments, TheFirstFailingCheckDecides) {
  // clang-format off
  expect_messages({
      // The positional count comes before any keyword; an unknown keyword before a missing one.
      {schedule_description, {1, 2, 3}, {{"x", 1}},
       "Scheduler.schedule() takes 2 positional arguments but 3 were given"},
      {schedule_description, {}, {{"x", 1}},
       "Scheduler.schedule() got an unexpected keyword argument 'x'"},
      // Keywords are examined in call order.
      {schedule_description, {1}, {{"x", 2}, {"py_func", 3}},
       "Scheduler.schedule() got an unexpected keyword argument 'x'"},
      {schedule_description, {1}, {{"py_func", 2}, {"x", 3}},
       "Scheduler.schedule() got multiple values for argument 'py_func'"},
      {probe, {1}, {{"a", 2}, {"zz", 3}}, "probe() got an unexpected keyword argument 'zz'"},
  });
  // clang-format on
}

TEST_F(Arguments, KeywordsFillTheirSlotsInAnyOrderWithoutTakingReferences) {
  VectorCall call({},
                  {{name("interval"), PyFloat_FromDouble(2.0)}, {name("py_func"), PyList_New(0)}});
  const Py_ssize_t interval_count = Py_REFCNT(call.at(0));
  const Py_ssize_t func_count = Py_REFCNT(call.at(1));
  ArgumentSlots<slot_count(schedule_description)> slots{};
  ASSERT_TRUE(call.parse(schedule_description, slots).has_value());
  EXPECT_EQ(slots, (ArgumentSlots<2>{call.at(1), call.at(0)}));
  EXPECT_EQ(Py_REFCNT(call.at(0)), interval_count);
  EXPECT_EQ(Py_REFCNT(call.at(1)), func_count);

  // Keyword-only slots follow the positional ones; unsupplied optional slots stay empty.
  VectorCall mixed({number(1), number(2)}, {{name("k"), number(3)}});
  ArgumentSlots<slot_count(probe)> probe_slots{};
  ASSERT_TRUE(mixed.parse(probe, probe_slots).has_value());
  EXPECT_EQ(probe_slots,
            (ArgumentSlots<5>{mixed.at(0), mixed.at(1), nullptr, mixed.at(2), nullptr}));
}

TEST_F(Arguments, ASuccessfulParseAllocatesNothing) {
  // Every call from Python parses its arguments: the successful path must not touch the heap.
  VectorCall call({PyList_New(0)}, {{name("interval"), PyFloat_FromDouble(0.5)}});
  VectorCall wrong({PyList_New(0)}, {});
  ArgumentSlots<slot_count(schedule_description)> slots{};
  const long before = testing::cpp_allocations_on_this_thread();
  ASSERT_TRUE(call.parse(schedule_description, slots).has_value());
  EXPECT_EQ(testing::cpp_allocations_on_this_thread(), before);
  // The counter does see the failing path's allocations (its message text).
  EXPECT_FALSE(wrong.parse(schedule_description, slots).has_value());
  EXPECT_GT(testing::cpp_allocations_on_this_thread(), before);
}

TEST_F(Arguments, TheVectorcallOffsetFlagIsNotCountedAsArguments) {
  VectorCall call({number(1)});
  ArgumentSlots<1> slots{};
  ASSERT_TRUE(call.parse(cancel_description, slots, PY_VECTORCALL_ARGUMENTS_OFFSET).has_value());
  EXPECT_EQ(slots[0], call.at(0));
}

TEST_F(Arguments, AKeywordNameWithoutUtf8FormIsUnexpectedAndLeavesNothingPending) {
  PyObject* surrogate = PyUnicode_DecodeUTF8("\xed\xa0\x80", 3, "surrogatepass");
  ASSERT_NE(surrogate, nullptr);
  VectorCall call({number(1), number(2)}, {{surrogate, number(3)}});
  ArgumentSlots<2> slots{};
  PyResult<void> result = call.parse(schedule_description, slots);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  EXPECT_EQ(type_error_text(std::move(result).error()),
            "Scheduler.schedule() got an unexpected keyword argument "
            "'\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd'");
}

TEST_F(Arguments, TheTupleAndDictConventionFollowsTheSameRules) {
  auto construct = [](PyObject* args, PyObject* kwargs) -> std::string {
    std::array<PyObject*, 0> slots{};
    PyResult<void> result =
        parse_tuple_dict_arguments(construction_description, args, kwargs, slots);
    Py_DECREF(args);
    Py_XDECREF(kwargs);
    return result.has_value() ? "ok" : type_error_text(std::move(result).error());
  };
  EXPECT_EQ(construct(PyTuple_New(0), nullptr), "ok");
  EXPECT_EQ(construct(PyTuple_New(0), PyDict_New()), "ok");
  EXPECT_EQ(construct(Py_BuildValue("(i)", 1), nullptr),
            "Scheduler.__new__() takes 0 positional arguments but 1 was given");
  EXPECT_EQ(construct(Py_BuildValue("(ii)", 1, 2), Py_BuildValue("{s:i}", "a", 1)),
            "Scheduler.__new__() takes 0 positional arguments but 2 were given");
  EXPECT_EQ(construct(PyTuple_New(0), Py_BuildValue("{s:i}", "a", 1)),
            "Scheduler.__new__() got an unexpected keyword argument 'a'");

  PyObject* args = Py_BuildValue("(i)", 7);
  PyObject* kwargs = Py_BuildValue("{s:i}", "interval", 8);
  ArgumentSlots<2> slots{};
  ASSERT_TRUE(parse_tuple_dict_arguments(schedule_description, args, kwargs, slots).has_value());
  EXPECT_EQ(slots, (ArgumentSlots<2>{PyTuple_GET_ITEM(args, 0),
                                     PyDict_GetItemString(kwargs, "interval")}));
  Py_DECREF(args);
  Py_DECREF(kwargs);
}

TEST_F(Arguments, SlotsOfTheWrongSizeAreAnInternalFailure) {
  VectorCall call({number(1)});
  ArgumentSlots<2> slots{};
  EXPECT_THROW(static_cast<void>(call.parse(cancel_description, slots)), runtime::InternalFailure);
}

TEST(ArgumentsFormatting, LongNameListsPutACommaBeforeEveryNameButTheLast) {
  constexpr std::array<std::string_view, 4> names = {"a", "b", "c", "d"};
  EXPECT_EQ(format_parameter_list(names), "'a', 'b', 'c', and 'd'");
}

}  // namespace
}  // namespace metronyx::binding
