#include "binding/arguments.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/error_producer.hpp"
#include "runtime/failure.hpp"

namespace metronyx::binding {

namespace {

PyErr parser_error(std::string message) {
  return PyErr::new_owned(ExceptionKind::type_error, std::move(message));
}

PyErr too_many_positional_error(const MethodDescription& description, std::size_t given) {
  const std::size_t most = description.positional_names.size();
  std::string message = qualified_method_name(description);
  if (description.required_positional_count == most) {
    message += " takes ";
  } else {
    message += " takes from ";
    message += std::to_string(description.required_positional_count);
    message += " to ";
  }
  // The noun stays plural whatever the count: callers match on this exact wording.
  message += std::to_string(most);
  message += " positional arguments but ";
  message += std::to_string(given);
  message += given == 1 ? " was given" : " were given";
  return parser_error(std::move(message));
}

PyErr multiple_values_error(const MethodDescription& description, std::string_view name) {
  std::string message = qualified_method_name(description);
  message += " got multiple values for argument '";
  message += name;
  message += "'";
  return parser_error(std::move(message));
}

// Uses the name object's own text form rather than its UTF-8 bytes, because the name that
// ends up here may be one that has no UTF-8 form at all.
PyErr unexpected_keyword_error(const MethodDescription& description, PyObject* name) {
  std::string message = qualified_method_name(description);
  message += " got an unexpected keyword argument '";
  format_object(name, TextForm::text, message);
  message += "'";
  return parser_error(std::move(message));
}

PyErr positional_only_error(const MethodDescription& description,
                            std::span<const std::string_view> names) {
  std::string message = qualified_method_name(description);
  message += " got some positional-only arguments passed as keyword arguments: ";
  message += format_parameter_list(names);
  return parser_error(std::move(message));
}

PyErr missing_arguments_error(const MethodDescription& description, std::string_view kind,
                              std::span<const std::string_view> names) {
  std::string message = qualified_method_name(description);
  message += " missing ";
  message += std::to_string(names.size());
  message += " required ";
  message += kind;
  message += names.size() == 1 ? " argument: " : " arguments: ";
  message += format_parameter_list(names);
  return parser_error(std::move(message));
}

// Slots are sized by the caller from the same description; a mismatch is a programming error in
// an entry point, not something a Python caller can cause.
void prepare_slots(const MethodDescription& description, std::span<PyObject*> slots) {
  if (slots.size() != slot_count(description)) {
    runtime::fail_static("argument slots do not match the method description");
  }
  std::ranges::fill(slots, nullptr);
}

// Steps shared by both conventions, fed the positional arguments as a plain array.
PyResult<void> place_positional(const MethodDescription& description, PyObject* const* items,
                                std::size_t count, std::span<PyObject*> slots) {
  const std::size_t most = description.positional_names.size();
  if (items != nullptr) std::copy_n(items, std::min(most, count), slots.begin());
  if (count > most) return std::unexpected(too_many_positional_error(description, count));
  return {};
}

// Places keywords one at a time and then checks that nothing required is missing. Positional-only
// names given by keyword are only collected while placing: the caller hears about all of them at
// once, after every other keyword had its chance to be the first fault.
class KeywordPlacer {
 public:
  KeywordPlacer(const MethodDescription& description, std::span<PyObject*> slots)
      : description_(description), slots_(slots) {}

  [[nodiscard]] PyResult<void> place(PyObject* name, PyObject* value) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) {
      // Every parameter name is UTF-8, so a name without a UTF-8 form matches none of them. The
      // encoding error says nothing useful to the caller; the unexpected keyword does.
      static_cast<void>(PyErr::fetch());
      return std::unexpected(unexpected_keyword_error(description_, name));
    }
    // string_view equality compares the lengths before it compares any bytes.
    const std::string_view text(utf8, static_cast<std::size_t>(size));
    const std::size_t positional = description_.positional_names.size();

    std::size_t target = slots_.size();
    for (std::size_t k = 0; k < description_.keyword_only.size(); ++k) {
      if (description_.keyword_only[k].name == text) {
        target = positional + k;
        break;
      }
    }
    if (target == slots_.size()) {
      for (std::size_t k = 0; k < positional; ++k) {
        if (description_.positional_names[k] != text) continue;
        if (k < description_.positional_only_count) {
          positional_only_by_keyword_.push_back(description_.positional_names[k]);
          return {};
        }
        target = k;
        break;
      }
    }
    if (target == slots_.size()) {
      return std::unexpected(unexpected_keyword_error(description_, name));
    }
    if (slots_[target] != nullptr) {
      return std::unexpected(multiple_values_error(description_, text));
    }
    slots_[target] = value;
    return {};
  }

  // The checks that follow the keywords, given how many positional arguments the call had.
  [[nodiscard]] PyResult<void> finish(std::size_t positional_count) {
    if (!positional_only_by_keyword_.empty()) {
      return std::unexpected(positional_only_error(description_, positional_only_by_keyword_));
    }
    // The name lists only grow when something is missing, so a complete call allocates nothing.
    std::vector<std::string_view> missing;
    for (std::size_t k = positional_count; k < description_.required_positional_count; ++k) {
      if (slots_[k] == nullptr) missing.push_back(description_.positional_names[k]);
    }
    if (!missing.empty()) {
      return std::unexpected(missing_arguments_error(description_, "positional", missing));
    }
    const std::size_t positional = description_.positional_names.size();
    for (std::size_t k = 0; k < description_.keyword_only.size(); ++k) {
      const KeywordOnlyParameter& parameter = description_.keyword_only[k];
      if (parameter.required && slots_[positional + k] == nullptr)
        missing.push_back(parameter.name);
    }
    if (!missing.empty()) {
      return std::unexpected(missing_arguments_error(description_, "keyword", missing));
    }
    return {};
  }

 private:
  const MethodDescription& description_;
  std::span<PyObject*> slots_;
  std::vector<std::string_view> positional_only_by_keyword_;
};

}  // namespace

std::string qualified_method_name(const MethodDescription& description) {
  std::string name;
  if (description.class_name) {
    name += *description.class_name;
    name += ".";
  }
  name += description.method_name;
  name += "()";
  return name;
}

std::string format_parameter_list(std::span<const std::string_view> names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      const bool last = i + 1 == names.size();
      if (names.size() == 2) {
        list += " and ";
      } else {
        list += last ? ", and " : ", ";
      }
    }
    list += "'";
    list += names[i];
    list += "'";
  }
  return list;
}

PyResult<void> parse_fastcall_arguments(const MethodDescription& description, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames,
                                        std::span<PyObject*> slots) {
  prepare_slots(description, slots);
  const Py_ssize_t positional_count = PyVectorcall_NARGS(static_cast<std::size_t>(nargs));
  const auto count = static_cast<std::size_t>(positional_count);
  if (auto placed = place_positional(description, args, count, slots); !placed) return placed;

  KeywordPlacer placer(description, slots);
  if (kwnames != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
      PyObject* value = args[positional_count + i];
      if (auto placed = placer.place(PyTuple_GET_ITEM(kwnames, i), value); !placed) return placed;
    }
  }
  return placer.finish(count);
}

PyResult<void> parse_tuple_dict_arguments(const MethodDescription& description,
                                          PyObject* args_tuple, PyObject* kwargs_dict_or_null,
                                          std::span<PyObject*> slots) {
  prepare_slots(description, slots);
  const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(args_tuple));
  PyObject* const* items = reinterpret_cast<PyTupleObject*>(args_tuple)->ob_item;
  if (auto placed = place_positional(description, items, count, slots); !placed) return placed;

  KeywordPlacer placer(description, slots);
  if (kwargs_dict_or_null != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs_dict_or_null, &position, &name, &value)) {
      if (auto placed = placer.place(name, value); !placed) return placed;
    }
  }
  return placer.finish(count);
}

}  // namespace metronyx::binding
