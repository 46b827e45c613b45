#include "binding/module_definition.hpp"

#include <string>

#include "binding/conversions.hpp"
#include "binding/exit_gate.hpp"
#include "binding/fork_safety.hpp"
#include "binding/handoff_trace.hpp"
#include "binding/runtime_round.hpp"
#include "binding/scheduler_type.hpp"
#include "runtime/failure.hpp"

namespace metronyx::binding {

namespace {

ModuleDefinition the_definition{
    populate_module,
    {
        PyModuleDef_HEAD_INIT,
        "metronyx",  // m_name
        "",          // m_doc: the module's __doc__ is the empty string
        0,           // m_size: no per-module state
        nullptr,     // m_methods
        nullptr,     // m_slots: single-phase initialisation
        nullptr,     // m_traverse
        nullptr,     // m_clear
        nullptr,     // m_free
    },
    -1,
    nullptr,
};

// Interned once, kept for the runtime that made it. Interning makes every thread's string the same
// object, so a thread that loses the race to fill the cell keeps the reference it made, as the
// interned table does.
std::atomic<PyObject*> all_name_cell{nullptr};

PyObject* all_name() {
  if (PyObject* known = all_name_cell.load(std::memory_order_acquire)) return known;
  PyObject* created = PyUnicode_FromStringAndSize("__all__", 7);
  if (created == nullptr) fail_on_api_error();
  PyUnicode_InternInPlace(&created);
  all_name_cell.store(created, std::memory_order_release);
  return created;
}

}  // namespace

ModuleDefinition& module_definition() {
  return the_definition;
}

PyResult<OwnedRef> make_module(ModuleDefinition& definition) {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return std::unexpected(PyErr::fetch());
  // Workers take the lock through the main interpreter's thread states, so only the main
  // interpreter may own the module. From 3.13 on the interpreter itself loads the module there
  // before a sub-interpreter's import reaches it; 3.12 lets a sub-interpreter come first, and it
  // is refused here, before it could record itself as the owner.
  const bool main_interpreter = PyInterpreterState_Get() == PyInterpreterState_Main();
  std::int64_t recorded = -1;
  if (!main_interpreter ||
      (!definition.interpreter_id.compare_exchange_strong(recorded, current) &&
       recorded != current)) {
    // Checked before the cache: a module built for one interpreter is never handed to another.
    return std::unexpected(PyErr::new_static(
        ExceptionKind::import_error,
        "metronyx does not support sub-interpreters: it can only be imported once per process, "
        "in the interpreter that imported it first (see the README's section on interpreters)"));
  }
  if (PyObject* made = definition.module_cache.load(std::memory_order_acquire)) {
    return OwnedRef::new_ref(made);
  }

  PyObject* created = PyModule_Create2(&definition.definition, 1013);
  if (created == nullptr) return std::unexpected(PyErr::fetch());
  OwnedRef module = OwnedRef::steal(created);
#if defined(Py_GIL_DISABLED)
  // Without this the interpreter turns its lock back on for the whole process when it loads us.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) != 0) {
    return std::unexpected(PyErr::fetch());
  }
#endif
  if (auto populated = definition.populate_module(module.get()); !populated) {
    return std::unexpected(std::move(populated.error()));  // `module` is destroyed
  }
  // Workers must not enter the interpreter once it starts to finalize; the gate closes from the
  // interpreter's exit hooks, registered here, when the module first meets it. A child made by
  // fork resets what the parent's threads held, registered here too.
  install_exit_gate();
  install_fork_handlers();
  watch_for_runtime_end();
  PyObject* first = nullptr;
  if (definition.module_cache.compare_exchange_strong(
          first, module.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
    return OwnedRef::new_ref(module.into_raw());
  }
  return OwnedRef::new_ref(first);  // made in the meantime: the first one stays
}

void forget_module_for_new_runtime(ModuleDefinition& definition) {
  definition.module_cache.store(nullptr, std::memory_order_relaxed);
  definition.interpreter_id.store(-1);
  all_name_cell.store(nullptr, std::memory_order_relaxed);
}

PyResult<void> populate_module(PyObject* module) {
  PyResult<PyObject*> type = try_scheduler_type();
  if (!type) return std::unexpected(std::move(type.error()));
#if defined(METRONYX_TRACE_HANDOFF)
  // Not in __all__: a tool of the benchmarks, in trace builds only.
  static PyMethodDef trace_definition{"_handoff_trace", handoff_trace::take, METH_NOARGS, nullptr};
  PyObject* trace = PyCFunction_NewEx(&trace_definition, nullptr, nullptr);
  if (trace == nullptr) return std::unexpected(PyErr::fetch());
  if (PyModule_AddObjectRef(module, "_handoff_trace", OwnedRef::steal(trace).get()) == -1) {
    return std::unexpected(PyErr::fetch());
  }
#endif
  return add_type_to_module(module, "Scheduler", *type);
}

PyResult<void> add_type_to_module(PyObject* module, std::string_view name, PyObject* type) {
  PyObject* created =
      PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  if (created == nullptr) fail_on_api_error();
  OwnedRef name_object = OwnedRef::steal(created);

  PyResult<OwnedRef> all = module_all_list(module);
  if (!all) return std::unexpected(std::move(all.error()));
  if (PyList_Append(all->get(), name_object.get()) == -1) {
    PyErr error = PyErr::fetch();
    runtime::fail("could not append __name__ to __all__: " + error.debug_form());
  }
  *all = OwnedRef();
  if (PyObject_SetAttr(module, name_object.get(), type) == -1) {
    return std::unexpected(PyErr::fetch());
  }
  return {};
}

PyResult<OwnedRef> module_all_list(PyObject* module) {
  if (PyObject* existing = PyObject_GetAttr(module, all_name())) {
    OwnedRef value = OwnedRef::steal(existing);
    if (Py_TYPE(existing) == &PyList_Type || PyType_IsSubtype(Py_TYPE(existing), &PyList_Type)) {
      return value;
    }
    return std::unexpected(type_check_error(existing, "PyList"));
  }
  PyErr error = PyErr::fetch();
  if (!error.matches(PyExc_AttributeError)) return std::unexpected(std::move(error));
  PyObject* list = PyList_New(0);
  if (list == nullptr) fail_on_api_error();
  OwnedRef owned = OwnedRef::steal(list);
  if (PyObject_SetAttr(module, all_name(), list) == -1) return std::unexpected(PyErr::fetch());
  return owned;
}

}  // namespace metronyx::binding
