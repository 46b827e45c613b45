// PanicException: how internal failures reach Python code, and how one that comes back from Python
// continues as an internal failure of the native code that fetched it.
#include <atomic>
#include <string>

#include "binding/py_err.hpp"
#include "runtime/stdio.hpp"

namespace metronyx::binding {

namespace {

constexpr const char* kTypeName = "metronyx_native.PanicException";
constexpr const char* kTypeDoc =
    "\nThe exception raised when native code called from Python fails with an internal failure."
    "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
constexpr const char* kDefaultMessage = "native code failed with an internal failure";

// Trivially destructible on purpose: no static destructor may run while a worker still lives.
struct PanicTypeCell {
  std::atomic<PyObject*> type{nullptr};  // written once, inside the one-time step
  runtime::Once created;
};
PanicTypeCell panic_type_cell;

// The pending error that stopped the type's creation, as an internal failure.
[[noreturn]] void fail_type_creation() {
  // Not PyErr::fetch: its PanicException check would call back in here and, while creation
  // keeps failing, recurse until the stack runs out. The error cannot be a PanicException.
  PyObject* raised = PyErr_GetRaisedException();
  PyErr error = raised != nullptr ? PyErr::from_value(OwnedRef::steal(raised)) : PyErr::fetch();
  runtime::fail("Failed to initialize new exception type.: " + error.debug_form());
}

}  // namespace

PyObject* panic_exception_type_or_no_memory() {
  if (panic_type_cell.created.is_complete()) {
    return panic_type_cell.type.load(std::memory_order_relaxed);
  }
  PyObject* created;
  {
    OwnedRef base = OwnedRef::new_ref(PyExc_BaseException);
    created = PyErr_NewExceptionWithDoc(kTypeName, kTypeDoc, base.get(), nullptr);
  }
  if (created == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
    fail_type_creation();
  }
  // Creating the type can run Python code and so switch threads; the first type stored wins.
  OwnedRef candidate = OwnedRef::steal(created);
  panic_type_cell.created.call_once_force(
      [&] { panic_type_cell.type.store(candidate.into_raw(), std::memory_order_relaxed); });
  return panic_type_cell.type.load(std::memory_order_relaxed);
}

PyObject* panic_exception_type() {
  PyObject* type = panic_exception_type_or_no_memory();
  if (type == nullptr) fail_type_creation();
  return type;
}

void forget_panic_exception_type() {
  panic_type_cell.type.store(nullptr, std::memory_order_relaxed);
  panic_type_cell.created.assign_unshared(runtime::Once::kNotRun);
}

PyErr PanicException::from_payload(runtime::FailurePayload payload) {
  std::string message;
  if (auto* owned = std::get_if<std::string>(&payload)) {
    message = *owned;
  } else if (auto* fixed = std::get_if<const char*>(&payload)) {
    message = *fixed;
  } else {
    message = kDefaultMessage;
  }
  return PyErr::new_lazy(ErrorProducer::panic(std::move(message)));
}

void resume_failure(PyErr error, std::string message) {
  runtime::write_all(runtime::StdStream::error,
                     "--- Native code is resuming an internal failure after fetching a "
                     "PanicException from Python. ---\n");
  runtime::write_all(runtime::StdStream::error, "Python stack trace below:\n");
  std::move(error).restore();
  PyErr_PrintEx(0);
  runtime::resume(std::move(message));
}

void fail_on_api_error() {
  PyErr_Print();
  runtime::fail_static("Python API call failed");
}

}  // namespace metronyx::binding
