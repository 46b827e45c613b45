// Building the module object: once per process, tied to the first interpreter that imports it.
//
// Contract: everything runs with the interpreter lock held (the interpreter calls the entry point
// with it). `interpreter_id` is compared and swapped atomically; the module cell is written at
// most once and its reference never released.
#pragma once

#include <atomic>
#include <cstdint>

#include "binding/py_err.hpp"
#include "binding/python.hpp"

namespace metronyx::binding {

struct ModuleDefinition {
  PyResult<void> (*populate_module)(PyObject* module);
  PyModuleDef definition;
  std::atomic<std::int64_t> interpreter_id;  // -1 until the first import records its interpreter
  PyObject* module_cache;                    // written once under the lock, never released
};

// The module's one definition (process-wide, never destroyed).
[[nodiscard]] ModuleDefinition& module_definition();

// The module (new reference), creating and populating it on the first call.
[[nodiscard]] PyResult<OwnedRef> make_module(ModuleDefinition& definition);

// Fills a fresh module: the Scheduler type, under "Scheduler" and in __all__.
[[nodiscard]] PyResult<void> populate_module(PyObject* module);
[[nodiscard]] PyResult<void> add_type_to_module(PyObject* module, std::string_view name,
                                                PyObject* type);
// The module's __all__ (new reference), created as an empty list if it does not exist.
[[nodiscard]] PyResult<OwnedRef> module_all_list(PyObject* module);

}  // namespace metronyx::binding
