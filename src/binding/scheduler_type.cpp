#include "binding/scheduler_type.hpp"

#include <cstring>
#include <optional>
#include <string>

#include "binding/conversions.hpp"
#include "binding/gil_guard.hpp"
#include "runtime/failure.hpp"
#include "runtime/sleep.hpp"

namespace metronyx::binding {

namespace {

constexpr const char kClassName[] = "Scheduler";
constexpr std::uint64_t kExclusive = ~std::uint64_t{0};

// Process-wide cells, never freed: no static destructor may run while a worker still lives. The
// type object is made again for each runtime. Atomic (release on the write, acquire on reads), so
// that on a free-threaded build a thread that finds a cell filled sees what it points to; a thread
// that loses the race to fill one drops its own copy, and the first one stays.
std::atomic<PyObject*> scheduler_type_cache{nullptr};
std::atomic<const std::string*> class_docstring{nullptr};
std::atomic<PyMethodDef*> method_table{nullptr};

// Stores `made` in an empty `cell`, or deletes it when another thread was first; returns the
// cell's content.
template <class T>
T* fill_once(std::atomic<T*>& cell, T* made, void (*drop)(T*)) {
  T* first = nullptr;
  if (cell.compare_exchange_strong(first, made, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    return made;
  }
  drop(made);
  return first;
}

PyResult<const char*> class_doc() {
  const std::string* known = class_docstring.load(std::memory_order_acquire);
  if (known == nullptr) {
    // Name, text signature, separator, then the class's own docstring (empty).
    auto* doc = new std::string(std::string(kClassName) + "()" + "\n--\n\n");
    if (doc->find('\0') != std::string::npos) {
      delete doc;
      return std::unexpected(
          PyErr::new_static(ExceptionKind::value_error, "class doc cannot contain nul bytes"));
    }
    known = fill_once<const std::string>(class_docstring, doc,
                                         [](const std::string* lost) { delete lost; });
  }
  return known->c_str();
}

PyMethodDef* methods() {
  PyMethodDef* known = method_table.load(std::memory_order_acquire);
  if (known == nullptr) {
    auto* table = new PyMethodDef[6]{
        {"schedule",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scheduler_schedule)),
         METH_FASTCALL | METH_KEYWORDS, "schedule($self, py_func, interval)\n--\n\n"},
        {"start", scheduler_start, METH_NOARGS, "start($self)\n--\n\n"},
        {"cancel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scheduler_cancel)),
         METH_FASTCALL | METH_KEYWORDS, "cancel($self, task_id)\n--\n\n"},
        {"list_schedules", scheduler_list_schedules, METH_NOARGS, "list_schedules($self)\n--\n\n"},
        {"shutdown", scheduler_shutdown, METH_NOARGS, "shutdown($self)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    known = fill_once<PyMethodDef>(method_table, table, [](PyMethodDef* lost) { delete[] lost; });
  }
  return known;
}

PyResult<PyObject*> create_type() {
  PyResult<const char*> doc = class_doc();
  if (!doc) return std::unexpected(std::move(doc.error()));
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(*doc)},
      {Py_tp_new, reinterpret_cast<void*>(scheduler_new)},
      {Py_tp_methods, methods()},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(scheduler_dealloc)},
      {0, nullptr},
  };
  // The module's name, a dot and the class name: the interpreter derives __module__ and __name__.
  static constexpr char kTypeName[] = "metronyx.Scheduler";
  PyType_Spec type_slots_and_size{kTypeName, static_cast<int>(sizeof(SchedulerObject)), 0, 0,
                                  slots};
  PyObject* type = PyType_FromSpec(&type_slots_and_size);
  if (type == nullptr) return std::unexpected(PyErr::fetch());
  return type;
}

}  // namespace

PyResult<PyObject*> try_scheduler_type() {
  if (PyObject* known = scheduler_type_cache.load(std::memory_order_acquire)) return known;
  PyResult<PyObject*> created = create_type();
  if (!created) {
    PyErr wrapped =
        PyErr::new_owned(ExceptionKind::runtime_error,
                         std::string("An error occurred while initializing class ") + kClassName);
    wrapped.set_cause(std::move(created.error()));
    return std::unexpected(std::move(wrapped));
  }
  // Filled in the meantime: the first type stored stays.
  return fill_once<PyObject>(scheduler_type_cache, *created,
                             [](PyObject* lost) { release_reference(lost); });
}

void forget_scheduler_type() {
  scheduler_type_cache.store(nullptr, std::memory_order_relaxed);
}

PyObject* scheduler_type() {
  PyResult<PyObject*> type = try_scheduler_type();
  if (!type) {
    type.error().print();
    runtime::fail(std::string("failed to create type object for ") + kClassName);
  }
  return *type;
}

namespace {

PyResult<SchedulerObject*> checked_instance(PyObject* object) {
  // Every method call comes here: an instance of the exact type, once the type exists, needs
  // neither the fallible type access nor the subtype walk.
  PyObject* known = scheduler_type_cache.load(std::memory_order_acquire);
  if (known != nullptr && Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(known)) {
    return reinterpret_cast<SchedulerObject*>(object);
  }
  auto* type = reinterpret_cast<PyTypeObject*>(scheduler_type());
  if (Py_TYPE(object) != type && !PyType_IsSubtype(Py_TYPE(object), type)) {
    return std::unexpected(type_check_error(object, kClassName));
  }
  return reinterpret_cast<SchedulerObject*>(object);
}

bool try_borrow_shared(SchedulerObject& instance) {
  std::atomic<std::uint64_t>& flag = instance.borrow_flag;
  std::uint64_t seen = flag.load(std::memory_order_relaxed);
  do {
    if (seen == kExclusive) return false;
  } while (!flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed));
  return true;
}

bool try_borrow_exclusive(SchedulerObject& instance) {
  std::uint64_t expected = 0;
  return instance.borrow_flag.compare_exchange_strong(
      expected, kExclusive, std::memory_order_acquire, std::memory_order_relaxed);
}

// Takes the borrow, on a free-threaded build after waiting for another thread's (see the header):
// the wait gives the interpreter up (and with it this thread's critical sections), so that the
// holder can go on. False when the borrow is still held after the wait.
bool take_borrow(SchedulerObject& instance, bool (*try_borrow)(SchedulerObject&)) {
  if (try_borrow(instance)) return true;
#if defined(Py_GIL_DISABLED)
  std::optional<runtime::Instant> give_up_at;
  std::uint32_t marking = 0;  // the marking that `give_up_at` is for
  for (;;) {
    const std::uint32_t marks = instance.python_code_marks.load(std::memory_order_seq_cst);
    if (instance.python_code_holders.load(std::memory_order_seq_cst) == 0) {
      give_up_at.reset();  // a holder that runs no Python code ends its method soon
    } else if (!give_up_at || marks != marking) {
      give_up_at = runtime::monotonic_now().saturating_add(kLongestBorrowWait);
      marking = marks;
    } else if (!runtime::monotonic_now().saturating_since(*give_up_at).is_zero()) {
      return false;
    }
    {
      GilSuspension suspension;
      runtime::yield_now();
    }
    if (try_borrow(instance)) return true;
  }
#else
  return false;
#endif
}

}  // namespace

PyResult<SharedBorrow> borrow_shared(PyObject* object) {
  PyResult<SchedulerObject*> instance = checked_instance(object);
  if (!instance) return std::unexpected(std::move(instance.error()));
  if (!take_borrow(**instance, &try_borrow_shared)) {
    return std::unexpected(
        PyErr::new_owned(ExceptionKind::runtime_error, "Already mutably borrowed"));
  }
  Py_INCREF(object);
  return SharedBorrow(*instance);
}

PyResult<ExclusiveBorrow> borrow_exclusive(PyObject* object) {
  PyResult<SchedulerObject*> instance = checked_instance(object);
  if (!instance) return std::unexpected(std::move(instance.error()));
  if (!take_borrow(**instance, &try_borrow_exclusive)) {
    return std::unexpected(PyErr::new_owned(ExceptionKind::runtime_error, "Already borrowed"));
  }
  Py_INCREF(object);
  return ExclusiveBorrow(*instance);
}

// Giving a borrow back always happens inside the method's guard, so the reference is released at
// once; it may destroy the instance.
SharedBorrow::~SharedBorrow() {
  if (object_ == nullptr) return;
  object_->borrow_flag.fetch_sub(1, std::memory_order_release);
  release_reference(reinterpret_cast<PyObject*>(object_));
}

ExclusiveBorrow::~ExclusiveBorrow() {
  if (object_ == nullptr) return;
  object_->borrow_flag.store(0, std::memory_order_release);
  release_reference(reinterpret_cast<PyObject*>(object_));
}

}  // namespace metronyx::binding
