// Promises of the error values: laziness, making from objects, raising and fetching, the
// operations on a value, and normalization on one and on two threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "binding/gil_guard.hpp"
#include "binding/py_err.hpp"
#include "binding/release_pool.hpp"
#include "error_test_support.hpp"

namespace metronyx::binding {
namespace {

using testing::allocated_blocks;
using testing::arg_count;
using testing::calls_on_this_thread;
using testing::failure_message;
using testing::HoldGil;
using testing::Interpreter;
using testing::raised_exception;
using testing::text_of;

// ---- Lazy values ----

// Making a lazy error allocates no Python object; raising builds exactly the promised exception.
TEST(PyErrLazy, BuildsNoPythonObjectUntilRaised) {
  Interpreter py;
  int formatted = 0;
  const Py_ssize_t before = allocated_blocks();
  ASSERT_EQ(allocated_blocks(), before);  // the probe itself is neutral
  std::optional<PyErr> owned = PyErr::new_owned(ExceptionKind::value_error, "unknown task id 7");
  std::optional<PyErr> deferred =
      PyErr::new_lazy(ErrorProducer::deferred_message(ExceptionKind::type_error, [&formatted] {
        ++formatted;
        return std::string("formatted late");
      }));
  std::optional<PyErr> fixed = PyErr::new_static(ExceptionKind::overflow_error, "too big");
  std::optional<PyErr> panic = PanicException::from_payload(std::string("not yet"));
  EXPECT_EQ(allocated_blocks(), before);
  EXPECT_EQ(formatted, 0);

  std::move(*owned).restore();
  OwnedRef value_error = raised_exception();
  ASSERT_TRUE(value_error);
  EXPECT_EQ(Py_TYPE(value_error.get()), reinterpret_cast<PyTypeObject*>(PyExc_ValueError));
  EXPECT_EQ(text_of(value_error.get()), "unknown task id 7");
  EXPECT_EQ(arg_count(value_error.get()), 1);

  // Raising a lazy value does not normalize it: the interpreter gets type and argument.
  const int ensures = calls_on_this_thread().ensure;
  std::move(*deferred).restore();
  EXPECT_EQ(calls_on_this_thread().ensure, ensures);
  EXPECT_EQ(formatted, 1);
  OwnedRef type_error = raised_exception();
  EXPECT_EQ(Py_TYPE(type_error.get()), reinterpret_cast<PyTypeObject*>(PyExc_TypeError));
  EXPECT_EQ(text_of(type_error.get()), "formatted late");

  std::move(*fixed).restore();
  OwnedRef overflow = raised_exception();
  EXPECT_EQ(Py_TYPE(overflow.get()), reinterpret_cast<PyTypeObject*>(PyExc_OverflowError));
  EXPECT_EQ(text_of(overflow.get()), "too big");
  EXPECT_EQ(formatted, 1);
}

// A deferred message is formatted once, at normalization, and the instance never changes after.
TEST(PyErrLazy, NormalizesOnceAndKeepsTheInstance) {
  Interpreter py;
  int formatted = 0;
  PyErr error =
      PyErr::new_lazy(ErrorProducer::deferred_message(ExceptionKind::value_error, [&formatted] {
        ++formatted;
        return std::string("late");
      }));
  EXPECT_EQ(formatted, 0);
  PyObject* first = error.value();
  PyObject* second = error.value();
  EXPECT_EQ(first, second);
  EXPECT_EQ(formatted, 1);
  EXPECT_EQ(text_of(first), "late");
  EXPECT_EQ(gil_count(), 1);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

// Errors can be made and dropped on a thread that never touched the interpreter; only owed
// releases of a value that holds objects are deferred.
TEST(PyErrLazy, MadeAndDroppedOffTheInterpreter) {
  { Interpreter drain; }
  const std::size_t pending = detail::pending_release_count();
  std::thread([pending] {
    bool formatted = false;
    {
      PyErr owned = PyErr::new_owned(ExceptionKind::runtime_error, "borrowed elsewhere");
      PyErr fixed = PyErr::new_static(ExceptionKind::import_error, "second interpreter");
      PyErr deferred =
          PyErr::new_lazy(ErrorProducer::deferred_message(ExceptionKind::type_error, [&formatted] {
            formatted = true;
            return std::string();
          }));
      PyErr panic = PanicException::from_payload(runtime::OpaquePayload{});
      PyErr moved = std::move(owned);
    }
    EXPECT_FALSE(formatted);
    EXPECT_EQ(calls_on_this_thread().ensure, 0);
    EXPECT_EQ(detail::pending_release_count(), pending);
  }).join();

  OwnedRef instance;
  std::optional<PyErr> normalized;
  std::optional<PyErr> object_and_none;
  {
    Interpreter py;
    instance = py.eval("KeyError('k')");
    normalized = PyErr::from_value(OwnedRef::new_ref(instance.get()));
    object_and_none = PyErr::from_value(py.eval("10**30"));
  }
  {
    HoldGil gil;
    const Py_ssize_t references = Py_REFCNT(instance.get());
    std::thread([&] {
      normalized.reset();
      object_and_none.reset();
    }).join();
    EXPECT_EQ(Py_REFCNT(instance.get()), references);
    EXPECT_EQ(detail::pending_release_count(), pending + 3);  // instance, the int, None
  }
  Interpreter py;  // entering the guard drains
  EXPECT_EQ(detail::pending_release_count(), 0u);
  EXPECT_EQ(Py_REFCNT(instance.get()), 1);
  instance = OwnedRef();
}

// ---- Making from objects, raising and fetching ----

// from_value: non-exceptions raise TypeError, classes raise bare instances, instances stay as is.
TEST(PyErrFromValue, ClassifiesTheObject) {
  Interpreter py;
  OwnedRef big = py.eval("10**30");
  const Py_ssize_t big_references = Py_REFCNT(big.get());
  PyErr::from_value(OwnedRef::new_ref(big.get())).restore();
  OwnedRef type_error = raised_exception();
  EXPECT_EQ(Py_TYPE(type_error.get()), reinterpret_cast<PyTypeObject*>(PyExc_TypeError));
  EXPECT_EQ(text_of(type_error.get()), "exceptions must derive from BaseException");
  EXPECT_EQ(Py_REFCNT(big.get()), big_references);

  PyErr::from_value(OwnedRef::new_ref(PyExc_KeyError)).restore();
  OwnedRef key_error = raised_exception();
  EXPECT_EQ(Py_TYPE(key_error.get()), reinterpret_cast<PyTypeObject*>(PyExc_KeyError));
  EXPECT_EQ(arg_count(key_error.get()), 0);

  // A class of our own: its reference count shows nothing is kept once the instance is gone.
  py.exec("class Custom(Exception): pass\n");
  PyObject* custom = py.get("Custom");
  const Py_ssize_t custom_references = Py_REFCNT(custom);
  {
    PyErr lazy = PyErr::from_value(OwnedRef::new_ref(custom));
    EXPECT_TRUE(lazy.matches(custom));
    EXPECT_EQ(arg_count(lazy.value()), 0);
  }
  EXPECT_EQ(Py_REFCNT(custom), custom_references);

  OwnedRef instance = py.eval("ValueError('v')");
  const Py_ssize_t references = Py_REFCNT(instance.get());
  {
    PyErr normalized = PyErr::from_value(OwnedRef::new_ref(instance.get()));
    const int ensures = calls_on_this_thread().ensure;
    EXPECT_EQ(normalized.value(), instance.get());
    // A value made normalized is read without suspending the lock: no step, no Ensure.
    EXPECT_EQ(calls_on_this_thread().ensure, ensures);
    EXPECT_EQ(Py_REFCNT(instance.get()), references + 1);
  }
  EXPECT_EQ(Py_REFCNT(instance.get()), references);
}

// Fetching with nothing pending yields the fixed SystemError, without a traceback.
TEST(PyErrFetch, NothingPendingGivesTheSystemError) {
  Interpreter py;
  EXPECT_FALSE(PyErr::take().has_value());
  PyErr error = PyErr::fetch();
  EXPECT_TRUE(error.matches(PyExc_SystemError));
  EXPECT_EQ(error.debug_form(),
            "PyErr { type: <class 'SystemError'>, value: SystemError('attempted to fetch "
            "exception but none was set'), traceback: None }");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

// A taken exception goes back to the interpreter as the very same instance, traceback and all.
TEST(PyErrFetch, TakeAndRestoreRoundTripTheInstance) {
  Interpreter py;
  ASSERT_FALSE(py.run("def fail():\n    raise ValueError('x')\nfail()\n"));
  std::optional<PyErr> error = PyErr::take();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  PyObject* instance = error->value();
  Py_INCREF(instance);
  const Py_ssize_t references = Py_REFCNT(instance);
  std::move(*error).restore();
  OwnedRef again = raised_exception();
  EXPECT_EQ(again.get(), instance);
  EXPECT_EQ(Py_REFCNT(instance), references);
  again = OwnedRef();
  EXPECT_EQ(Py_REFCNT(instance), 1);
  Py_DECREF(instance);
}

// A normalized value that was moved away fails with the fixed message instead of crashing.
TEST(PyErrMoves, MovedFromValueFailsCleanly) {
  Interpreter py;
  PyErr error = PyErr::from_value(py.eval("ValueError('moved')"));
  PyErr moved = std::move(error);
  EXPECT_EQ(failure_message([&] { (void)error.value(); }),
            "internal error: entered unreachable code");
  EXPECT_EQ(text_of(moved.value()), "moved");
}

// ---- Operations on values ----

// cause/set_cause carry __cause__ between values; set_cause(nullopt) clears it.
TEST(PyErrOperations, CauseAndSetCause) {
  Interpreter py;
  PyErr outer = PyErr::new_static(ExceptionKind::value_error, "outer");
  EXPECT_FALSE(outer.cause().has_value());
  outer.set_cause(PyErr::new_static(ExceptionKind::type_error, "inner"));
  std::optional<PyErr> cause = outer.cause();
  ASSERT_TRUE(cause.has_value());
  EXPECT_TRUE(cause->matches(PyExc_TypeError));
  EXPECT_EQ(text_of(cause->value()), "inner");
  OwnedRef seen = OwnedRef::steal(PyObject_GetAttrString(outer.value(), "__cause__"));
  EXPECT_EQ(seen.get(), cause->value());
  const Py_ssize_t references = Py_REFCNT(seen.get());
  cause.reset();
  EXPECT_EQ(Py_REFCNT(seen.get()), references - 1);

  outer.set_cause(std::nullopt);
  EXPECT_FALSE(outer.cause().has_value());
  // Only __cause__ held it now, plus `seen`.
  EXPECT_EQ(Py_REFCNT(seen.get()), 1);
}

// clone_ref shares one instance; dropping the copy gives its reference back.
TEST(PyErrOperations, CloneRefSharesTheInstance) {
  Interpreter py;
  PyErr error = PyErr::new_owned(ExceptionKind::runtime_error, "shared");
  PyObject* instance = error.value();
  const Py_ssize_t references = Py_REFCNT(instance);
  {
    PyErr copy = error.clone_ref();
    EXPECT_EQ(copy.value(), instance);
    EXPECT_EQ(Py_REFCNT(instance), references + 1);
  }
  EXPECT_EQ(Py_REFCNT(instance), references);
}

// matches follows the interpreter's rules: subclasses and tuples of types match.
TEST(PyErrOperations, MatchesLikeTheInterpreter) {
  Interpreter py;
  PyErr error = PyErr::new_static(ExceptionKind::overflow_error, "too big");
  EXPECT_TRUE(error.matches(PyExc_OverflowError));
  EXPECT_TRUE(error.matches(PyExc_ArithmeticError));
  EXPECT_TRUE(error.matches(PyExc_BaseException));
  EXPECT_FALSE(error.matches(PyExc_AttributeError));
  OwnedRef types = py.eval("(KeyError, OverflowError)");
  EXPECT_TRUE(error.matches(types.get()));
}

// into_value hands out the instance with its traceback, and the value's reference goes with it.
TEST(PyErrOperations, IntoValueKeepsTheTraceback) {
  Interpreter py;
  ASSERT_FALSE(py.run("def fail():\n    raise ValueError('x')\nfail()\n"));
  PyErr error = PyErr::fetch();
  PyObject* instance = error.value();
  const Py_ssize_t references = Py_REFCNT(instance);
  OwnedRef traceback = OwnedRef::steal(PyException_GetTraceback(instance));
  ASSERT_TRUE(traceback);
  OwnedRef value = std::move(error).into_value();
  EXPECT_EQ(value.get(), instance);
  EXPECT_EQ(Py_REFCNT(instance), references);
  OwnedRef after = OwnedRef::steal(PyException_GetTraceback(value.get()));
  EXPECT_EQ(after.get(), traceback.get());
}

// ---- Normalization across threads ----

// Two threads inside guards reading one lazy value: one runs the step, the other waits without
// the interpreter lock, both get the same instance, the message is formatted once.
TEST(PyErrThreads, TwoReadersOfOneLazyValueShareOneInstance) {
  using namespace std::chrono_literals;
  constexpr int kRounds = 200;
  for (int round = 0; round < kRounds; ++round) {
    // Every other round the step holds off until the other reader has arrived, so that the
    // waiting path is certainly taken; the other rounds race freely.
    const bool overlap = round % 2 == 0;
    std::atomic<int> arrived{0};
    std::atomic<int> formatted{0};
    std::optional<PyErr> error = PyErr::new_lazy(ErrorProducer::deferred_message(
        ExceptionKind::value_error, [&arrived, &formatted, overlap] {
          ++formatted;
          if (overlap) {
            GilSuspension suspension;
            while (arrived.load() < 2) std::this_thread::yield();
            std::this_thread::sleep_for(100us);
          }
          return std::string("shared");
        }));
    PyObject* seen[2] = {nullptr, nullptr};
    auto reader = [&](int index) {
      GilGuard guard = GilGuard::acquire();
      ++arrived;
      seen[index] = error->value();
      EXPECT_EQ(gil_count(), 1);
    };
    std::thread first(reader, 0);
    std::thread second(reader, 1);
    first.join();
    second.join();

    Interpreter py;
    ASSERT_EQ(formatted.load(), 1) << "round " << round;
    ASSERT_NE(seen[0], nullptr);
    ASSERT_EQ(seen[0], seen[1]) << "round " << round;
    ASSERT_EQ(error->value(), seen[0]);
    ASSERT_EQ(text_of(seen[0]), "shared");
    ASSERT_EQ(Py_REFCNT(seen[0]), 1);
    error.reset();
  }
}

// Reading a value during its own normalization fails, and the value is unusable afterwards:
// re-entrancy again on this thread, poisoned on any other.
TEST(PyErrThreads, ReentrantNormalizationFailsAndPoisonsTheValue) {
  Interpreter py;
  PyErr* self = nullptr;
  PyErr error =
      PyErr::new_lazy(ErrorProducer::deferred_message(ExceptionKind::value_error, [&self] {
        (void)self->value();
        return std::string("never");
      }));
  self = &error;
  EXPECT_EQ(failure_message([&] { (void)error.value(); }),
            "Re-entrant normalization of PyErrState detected");
  EXPECT_EQ(gil_count(), 1);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  EXPECT_EQ(failure_message([&] { (void)error.value(); }),
            "Re-entrant normalization of PyErrState detected");

  std::string elsewhere;
  {
    GilSuspension suspension;
    std::thread([&] {
      GilGuard guard = GilGuard::acquire();
      elsewhere = failure_message([&] { (void)error.value(); });
      EXPECT_EQ(gil_count(), 1);
    }).join();
  }
  EXPECT_EQ(elsewhere, "Once instance has previously been poisoned");
  EXPECT_EQ(failure_message([&] { std::move(error).restore(); }),
            "PyErr state should never be invalid outside of normalization");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

}  // namespace
}  // namespace metronyx::binding
