// Matching the arguments of a call to the parameters of a method.
//
// Each method that takes parameters has one `MethodDescription`: static, immutable data built at
// compile time, read from any thread without synchronisation. A parse fills a fixed array of
// slots in the caller's frame, one per positional parameter followed by one per keyword-only
// parameter, with borrowed references to the argument objects. The slots take no references: they
// are valid only while the call that supplied the arguments runs.
//
// Contract:
// - Both parsers need the interpreter lock (they read str objects and may take a pending error).
// - The slots must be exactly `slot_count(description)` long (any other length is an internal
//   failure). A parse empties them first; after a failed parse their contents mean nothing.
// - A successful parse allocates nothing. Only a failing parse allocates: its message, and the
//   list of positional-only names that were passed by keyword.
// - The first failing check decides the error; keywords are examined one at a time in the order
//   the call gave them, so the first offending keyword decides the message.
// - Every error is a lazy TypeError whose text is formatted when it is made; the Python exception
//   object is built only when the error is raised.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "binding/py_err.hpp"
#include "binding/python.hpp"

namespace metronyx::binding {

struct KeywordOnlyParameter {
  std::string_view name;
  bool required;
};

// Names are UTF-8 and compared byte for byte with the UTF-8 form of a call's keyword names.
struct MethodDescription {
  std::string_view method_name;
  // Absent only for free functions; every description of this module names its class.
  std::optional<std::string_view> class_name;
  // Positional-or-keyword parameters, in declaration order.
  std::span<const std::string_view> positional_names;
  // The leading entries of `positional_names` that cannot be passed by keyword.
  std::size_t positional_only_count;
  // The leading entries of `positional_names` that must be supplied.
  std::size_t required_positional_count;
  std::span<const KeywordOnlyParameter> keyword_only;
};

[[nodiscard]] constexpr std::size_t slot_count(const MethodDescription& description) {
  return description.positional_names.size() + description.keyword_only.size();
}

// The parse output for a description with N slots; value-initialise it (`ArgumentSlots<N> s{}`)
// so that every slot starts empty.
template <std::size_t N>
using ArgumentSlots = std::array<PyObject*, N>;

// The vector calling convention: `args` holds the positional arguments, then the values of the
// keywords named by `kwnames` (a tuple of str, or nullptr for none), in that order.
//
// `nargs` is masked with PyVectorcall_NARGS here, so a caller may pass the count exactly as it
// received it, offset flag included. (CPython strips the flag itself before calling a
// METH_FASTCALL method, so for those entry points the mask changes nothing.)
[[nodiscard]] PyResult<void> parse_fastcall_arguments(const MethodDescription& description,
                                                      PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames,
                                                      std::span<PyObject*> slots);

// The tuple-and-dict calling convention (type slots such as tp_new): the positional arguments are
// the items of `args_tuple`, the keywords the dict's pairs in iteration order. A null dict means no
// keywords.
[[nodiscard]] PyResult<void> parse_tuple_dict_arguments(const MethodDescription& description,
                                                        PyObject* args_tuple,
                                                        PyObject* kwargs_dict_or_null,
                                                        std::span<PyObject*> slots);

// "Scheduler.schedule()", or "name()" for a description without a class.
[[nodiscard]] std::string qualified_method_name(const MethodDescription& description);

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'. Empty text for no names.
[[nodiscard]] std::string format_parameter_list(std::span<const std::string_view> names);

// ---- The module's descriptions ----

namespace descriptions {

inline constexpr std::string_view class_name = "Scheduler";
inline constexpr std::array<std::string_view, 2> schedule_positional = {"py_func", "interval"};
inline constexpr std::array<std::string_view, 1> cancel_positional = {"task_id"};

}  // namespace descriptions

// `Scheduler()`: no parameters at all.
inline constexpr MethodDescription construction_description{
    .method_name = "__new__",
    .class_name = descriptions::class_name,
    .positional_names = {},
    .positional_only_count = 0,
    .required_positional_count = 0,
    .keyword_only = {},
};

// `schedule(py_func, interval)`.
inline constexpr MethodDescription schedule_description{
    .method_name = "schedule",
    .class_name = descriptions::class_name,
    .positional_names = descriptions::schedule_positional,
    .positional_only_count = 0,
    .required_positional_count = 2,
    .keyword_only = {},
};

// `cancel(task_id)`.
inline constexpr MethodDescription cancel_description{
    .method_name = "cancel",
    .class_name = descriptions::class_name,
    .positional_names = descriptions::cancel_positional,
    .positional_only_count = 0,
    .required_positional_count = 1,
    .keyword_only = {},
};

}  // namespace metronyx::binding
