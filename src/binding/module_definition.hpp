// Building the module object: once per initialisation of the runtime, tied to the first
// interpreter that imports it.
//
// Contract: everything runs with the interpreter lock held (the interpreter calls the entry point
// with it), except `forget_module_for_new_runtime`, which runs after the runtime is finalized.
// `interpreter_id` is compared and swapped atomically; the module cell is written at most once per
// runtime and its reference never released (the runtime's finalization frees the module). The
// cell is atomic (release on the write, acquire on reads), as a free-threaded build needs.
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
  std::atomic<PyObject*> module_cache;       // written once per runtime, never released
};

// The module's one definition (process-wide, never destroyed).
[[nodiscard]] ModuleDefinition& module_definition();

// The module (new reference), creating and populating it on the first call.
[[nodiscard]] PyResult<OwnedRef> make_module(ModuleDefinition& definition);

// After Py_FinalizeEx: forgets the module and the interpreter it was made for, so that the next
// runtime's import builds them again.
void forget_module_for_new_runtime(ModuleDefinition& definition);

// Fills a fresh module: the Scheduler type, under "Scheduler" and in __all__.
[[nodiscard]] PyResult<void> populate_module(PyObject* module);
[[nodiscard]] PyResult<void> add_type_to_module(PyObject* module, std::string_view name,
                                                PyObject* type);
// The module's __all__ (new reference), created as an empty list if it does not exist.
[[nodiscard]] PyResult<OwnedRef> module_all_list(PyObject* module);

}  // namespace metronyx::binding
