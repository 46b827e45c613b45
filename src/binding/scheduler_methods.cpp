// The entry points behind Scheduler's slots and methods. Each runs in the method entry frame; the
// order of steps decides which error a caller sees first: arguments are matched, then the borrow
// is taken, then arguments are converted (so a conversion that runs Python code runs while the
// instance is borrowed), then the operation runs. On a free-threaded build each body after the
// argument matching runs in the instance's section (scheduler_type.hpp), given up where Python
// code may run.
#include <new>

#include "binding/arguments.hpp"
#include "binding/conversions.hpp"
#include "binding/entry_frame.hpp"
#include "binding/scheduler_type.hpp"
#include "binding/worker_thread_state.hpp"
#include "runtime/failure.hpp"

namespace metronyx::binding {

namespace {

PyResult<OwnedRef> none() {
  return OwnedRef::new_ref(Py_None);
}

// Whether converting `argument` may run Python code: only an instance of a heap type (a class
// written in Python) can bring a `__float__` or `__index__` of Python code; the interpreter's own
// types (float, int, str and the like) convert, or refuse, in C.
bool may_run_python(PyObject* argument) {
  return PyType_HasFeature(Py_TYPE(argument), Py_TPFLAGS_HEAPTYPE);
}

PyResult<OwnedRef> task_id_object(std::int8_t task_id) {
  PyObject* id = PyLong_FromLong(task_id);
  if (id == nullptr) return std::unexpected(PyErr::fetch());
  return OwnedRef::steal(id);
}

}  // namespace

PyObject* scheduler_new(PyTypeObject* subtype, PyObject* args, PyObject* kwds) {
  return method_entry_frame([&]() -> PyResult<OwnedRef> {
    ArgumentSlots<slot_count(construction_description)> slots{};
    if (auto parsed = parse_tuple_dict_arguments(construction_description, args, kwds, slots);
        !parsed) {
      return std::unexpected(std::move(parsed.error()));
    }
    scheduler::SchedulerState state;
    allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
    PyObject* object = alloc(subtype, 0);
    if (object == nullptr) return std::unexpected(PyErr::fetch());  // `state` is released
    auto* instance = reinterpret_cast<SchedulerObject*>(object);
    new (&instance->state) scheduler::SchedulerState(std::move(state));
    new (&instance->borrow_flag) std::atomic<std::uint64_t>(0);
#if defined(Py_GIL_DISABLED)
    new (&instance->python_code_holders) std::atomic<std::uint32_t>(0);
    new (&instance->python_code_marks) std::atomic<std::uint32_t>(0);
#endif
    return OwnedRef::steal(object);
  });
}

void scheduler_dealloc(PyObject* self) {
  destructor_frame([&] {
    // The interpreter may deallocate while an exception is pending; releasing the callables can
    // run finalisers, which must not clobber it.
    PyObject* pending = PyErr_GetRaisedException();
    auto* instance = reinterpret_cast<SchedulerObject*>(self);
    instance->state.~SchedulerState();  // callables in list order, then the map's flags
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_free == nullptr) {
      PyErr_SetRaisedException(pending);
      runtime::fail_static("PyBaseObject_Type should have tp_free");
    }
    type->tp_free(self);
    // Every instance of a heap type holds a reference to its type from its allocation.
    release_reference(reinterpret_cast<PyObject*>(type));
    PyErr_SetRaisedException(pending);
  });
}

PyObject* scheduler_schedule(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return method_entry_frame([&]() -> PyResult<OwnedRef> {
    ArgumentSlots<slot_count(schedule_description)> slots{};
    if (auto parsed = parse_fastcall_arguments(schedule_description, args, nargs, kwnames, slots);
        !parsed) {
      return std::unexpected(std::move(parsed.error()));
    }
    InstanceSection section(self);
    PyResult<ExclusiveBorrow> borrow = borrow_exclusive(self);
    if (!borrow) return std::unexpected(std::move(borrow.error()));
    OwnedRef py_func = extract_object(slots[0]);
    PyResult<double> interval = section.running_python(may_run_python(slots[1]), *borrow,
                                                       [&] { return extract_double(slots[1]); });
    if (!interval)
      return std::unexpected(attribute_argument_error("interval", std::move(interval.error())));
    // The id's int first (ids below -5 are not cached and need memory): a call that fails leaves
    // no task behind it.
    PyResult<OwnedRef> task_id = task_id_object(borrow->state().next_task_id());
    if (!task_id) return task_id;
    (void)borrow->state().schedule(std::move(py_func), *interval);
    return task_id;
  });
}

PyObject* scheduler_cancel(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return method_entry_frame([&]() -> PyResult<OwnedRef> {
    ArgumentSlots<slot_count(cancel_description)> slots{};
    if (auto parsed = parse_fastcall_arguments(cancel_description, args, nargs, kwnames, slots);
        !parsed) {
      return std::unexpected(std::move(parsed.error()));
    }
    InstanceSection section(self);
    PyResult<SharedBorrow> borrow = borrow_shared(self);
    if (!borrow) return std::unexpected(std::move(borrow.error()));
    PyResult<std::int8_t> task_id = section.running_python(may_run_python(slots[0]), *borrow,
                                                           [&] { return extract_int8(slots[0]); });
    if (!task_id)
      return std::unexpected(attribute_argument_error("task_id", std::move(task_id.error())));
    if (auto cancelled = borrow->state().cancel(*task_id); !cancelled) {
      return std::unexpected(std::move(cancelled.error()));
    }
    return none();
  });
}

PyObject* scheduler_start(PyObject* self, PyObject*) {
  return method_entry_frame([&]() -> PyResult<OwnedRef> {
    // Workers get the stack that a `threading.Thread` started now would get.
    const std::size_t stack_size = threading_stack_size();
    InstanceSection section(self);
    PyResult<ExclusiveBorrow> borrow = borrow_exclusive(self);
    if (!borrow) return std::unexpected(std::move(borrow.error()));
    if (auto started = borrow->state().start(stack_size); !started) {
      return std::unexpected(std::move(started.error()));
    }
    return none();
  });
}

PyObject* scheduler_list_schedules(PyObject* self, PyObject*) {
  return method_entry_frame([&]() -> PyResult<OwnedRef> {
    InstanceSection section(self);
    PyResult<SharedBorrow> borrow = borrow_shared(self);
    if (!borrow) return std::unexpected(std::move(borrow.error()));
    return none();
  });
}

PyObject* scheduler_shutdown(PyObject* self, PyObject*) {
  return method_entry_frame([&]() -> PyResult<OwnedRef> {
    InstanceSection section(self);
    PyResult<ExclusiveBorrow> borrow = borrow_exclusive(self);
    if (!borrow) return std::unexpected(std::move(borrow.error()));
    scheduler::TaskList pending = borrow->state().shutdown_keeping_pending();
    // The pending callables' release may run finalizers.
    section.running_python(!pending.records().empty(), *borrow, [&] { pending.clear(); });
    return none();
  });
}

}  // namespace metronyx::binding
