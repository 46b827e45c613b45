#include "binding/worker_thread_state.hpp"

#include <new>

#include "binding/refs.hpp"

namespace metronyx::binding {

namespace {

// `sys.<name>` as a strong reference; empty when sys has no such attribute. PySys_GetObject lends
// its result from sys's dictionary, and on a free-threaded build another thread may replace the
// entry and free the object while this one still uses it: there the reference is our own.
PyResult<OwnedRef> sys_attribute(const char* name) {
#if defined(Py_GIL_DISABLED)
  OwnedRef sys = OwnedRef::steal(PyImport_ImportModule("sys"));
  if (!sys) return std::unexpected(PyErr::fetch());
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(sys.get(), name, &found) < 0) {
    return std::unexpected(PyErr::fetch());
  }
  return OwnedRef::steal(found);
#else
  PyObject* found = PySys_GetObject(name);  // borrowed, and the lock keeps it alive meanwhile
  return found != nullptr ? OwnedRef::new_ref(found) : OwnedRef();
#endif
}

// `threading.<getter>()`, and if it is set, `sys.<setter>(hook)` on this thread.
PyResult<void> adopt_hook(PyObject* threading, const char* getter, const char* setter) {
  OwnedRef hook = OwnedRef::steal(PyObject_CallMethod(threading, getter, nullptr));
  if (!hook) return std::unexpected(PyErr::fetch());
  if (hook.get() == Py_None) return {};
  PyResult<OwnedRef> install = sys_attribute(setter);
  if (!install) return std::unexpected(std::move(install.error()));
  if (!*install) {
    return std::unexpected(
        PyErr::new_owned(ExceptionKind::runtime_error, std::string("lost sys.") + setter));
  }
  OwnedRef installed = OwnedRef::steal(PyObject_CallOneArg(install->get(), hook.get()));
  if (!installed) return std::unexpected(PyErr::fetch());
  return {};
}

}  // namespace

PyResult<WorkerThreadState> WorkerThreadState::create() {
  WorkerThreadState made;
  // Needs no Python code and no lock but the interpreter's own; fails only when memory runs out,
  // and then sets no exception.
  made.state_ = PyThreadState_New(PyInterpreterState_Get());
  if (made.state_ == nullptr) {
    (void)PyErr_NoMemory();
    return std::unexpected(PyErr::fetch());
  }
  return made;
}

void WorkerThreadState::discard() {
  if (state_ == nullptr) return;
  PyThreadState_Clear(state_);
  PyThreadState_Delete(state_);
  state_ = nullptr;
}

void WorkerThreadState::attach() {
  if (attached_) return;
  attached_ = true;
#if defined(Py_GIL_DISABLED)
  if (adopt_own_state()) return;
#endif
  // Taking the lock with this state makes it the state that PyGILState_Ensure finds on this
  // thread. The thread ids were those of the thread that made it: they are this thread's from now
  // on, so that `sys._current_frames()`, faulthandler and PyThreadState_SetAsyncExc see the
  // worker under its own id and never mistake it for the launching thread.
  PyEval_RestoreThread(state_);
  state_->thread_id = PyThread_get_thread_ident();
#ifdef PY_HAVE_THREAD_NATIVE_ID
  state_->native_thread_id = PyThread_get_thread_native_id();
#endif
  (void)PyEval_SaveThread();
}

#if defined(Py_GIL_DISABLED)
bool WorkerThreadState::adopt_own_state() {
  // Without the lock the interpreter keys each thread's object ownership (biased reference
  // counts) and its allocator heaps by the thread that made the thread state: one made by
  // start() would file the worker's objects under the launching thread, and a reference that
  // another thread drops would be merged while this thread still counts it, corrupting the count.
  // So the worker makes its own, as the interpreter's threads bind theirs on their own thread,
  // and the one start() made (the proof that memory sufficed) is deleted here.
  PyThreadState* own = PyThreadState_New(PyThreadState_GetInterpreter(state_));
  if (own == nullptr) return false;  // memory ran out since start(): the launcher's state serves
  PyEval_RestoreThread(own);
  PyThreadState_Clear(state_);
  PyThreadState_Delete(state_);
  state_ = own;
  (void)PyEval_SaveThread();
  return true;
}
#endif

void WorkerThreadState::finish() {
  if (state_ == nullptr) return;
  attach();
  PyEval_RestoreThread(state_);
  PyThreadState_Clear(state_);
  PyThreadState_DeleteCurrent();  // gives the lock back
  state_ = nullptr;
}

void WorkerThreadState::adopt_threading_hooks() {
  if (hooks_adopted_) return;
  hooks_adopted_ = true;
  // Without the memory to report why, a hook is not adopted and the task goes on without it.
  try {
    adopt_hooks_of_threading();
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
  }
}

void WorkerThreadState::adopt_hooks_of_threading() {
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

std::size_t threading_stack_size() {
  // The interpreter's own reading of the setting: `_thread.stack_size()` without an argument
  // returns it but also sets it back to 0, which would take the program's stack size away from
  // every later thread.
  return PyThread_get_stacksize();
}

}  // namespace metronyx::binding
