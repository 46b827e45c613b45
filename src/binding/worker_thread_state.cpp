#include "binding/worker_thread_state.hpp"

#include "binding/refs.hpp"

namespace metronyx::binding {

namespace {

// `threading.<getter>()`, and if it is set, `sys.<setter>(hook)` on this thread.
PyResult<void> adopt_hook(PyObject* threading, const char* getter, const char* setter) {
  OwnedRef hook = OwnedRef::steal(PyObject_CallMethod(threading, getter, nullptr));
  if (!hook) return std::unexpected(PyErr::fetch());
  if (hook.get() == Py_None) return {};
  PyObject* install = PySys_GetObject(setter);  // borrowed
  if (install == nullptr) {
    return std::unexpected(
        PyErr::new_owned(ExceptionKind::runtime_error, std::string("lost sys.") + setter));
  }
  OwnedRef installed = OwnedRef::steal(PyObject_CallOneArg(install, hook.get()));
  if (!installed) return std::unexpected(PyErr::fetch());
  return {};
}

}  // namespace

void WorkerThreadState::start() {
  if (started_) return;
  outer_state_ = PyGILState_Ensure();
  // Hand the lock back but keep the thread state: later PyGILState_Ensure calls on this thread
  // find it and only take the lock.
  (void)PyEval_SaveThread();
  started_ = true;
}

void WorkerThreadState::finish() {
  if (!started_) return;
  started_ = false;
  PyThreadState* state = PyGILState_GetThisThreadState();
  PyEval_RestoreThread(state);
  PyGILState_Release(outer_state_);  // the outermost release clears and deletes the thread state
}

void WorkerThreadState::adopt_threading_hooks() {
  if (hooks_adopted_) return;
  hooks_adopted_ = true;
  OwnedRef name = OwnedRef::steal(PyUnicode_FromString("threading"));
  if (!name) {
    PyErr::fetch().write_unraisable(nullptr);
    return;
  }
  // Only a program that loaded `threading` can have set its hooks; importing it here would cost
  // every program that never uses it.
  OwnedRef threading = OwnedRef::steal(PyImport_GetModule(name.get()));
  if (!threading) {
    if (PyErr_Occurred() != nullptr) PyErr::fetch().write_unraisable(nullptr);
    return;
  }
  for (auto [getter, setter] : {std::pair{"gettrace", "settrace"}, {"getprofile", "setprofile"}}) {
    if (auto adopted = adopt_hook(threading.get(), getter, setter); !adopted) {
      std::move(adopted.error()).write_unraisable(threading.get());
    }
  }
}

PyResult<std::size_t> threading_stack_size() {
  OwnedRef thread_module = OwnedRef::steal(PyImport_ImportModule("_thread"));
  if (!thread_module) return std::unexpected(PyErr::fetch());
  OwnedRef size = OwnedRef::steal(PyObject_CallMethod(thread_module.get(), "stack_size", nullptr));
  if (!size) return std::unexpected(PyErr::fetch());
  const std::size_t bytes = PyLong_AsSize_t(size.get());
  if (bytes == static_cast<std::size_t>(-1) && PyErr_Occurred() != nullptr) {
    return std::unexpected(PyErr::fetch());
  }
  return bytes;
}

}  // namespace metronyx::binding
