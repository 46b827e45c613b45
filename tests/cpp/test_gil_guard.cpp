// Promises of the interpreter-lock guard and the deferred release pool.
#include <gtest/gtest.h>

#include <barrier>
#include <thread>
#include <vector>

#include "binding/gil_guard.hpp"
#include "binding/release_pool.hpp"
#include "interpreter_calls.hpp"
#include "runtime/failure.hpp"

namespace metronyx::binding {
namespace {

using testing::calls_on_this_thread;
using testing::HoldGil;

// A fresh Python object whose reference count the test controls.
PyObject* new_object() {
  HoldGil gil;
  return PyList_New(0);
}

// On a free-threaded build another thread's release of an object that this thread made is queued
// for this thread (biased reference counting), and reaches the count at this thread's next check
// of the eval breaker: a line of Python code runs one first. Call it on the thread that made the
// object.
Py_ssize_t refcount(PyObject* object) {
  HoldGil gil;
  if constexpr (compat::kFreeThreaded) {
    EXPECT_EQ(PyRun_SimpleString("pass"), 0);
  }
  return Py_REFCNT(object);
}

void drop(PyObject* object) {
  HoldGil gil;
  Py_DECREF(object);
}

// Runs `body` on a brand-new thread, as a worker would.
template <class F>
void on_new_thread(F body) {
  std::thread thread(body);
  thread.join();
}

// Drains whatever earlier tests left queued, so each test starts from an empty pool.
void drain_now() {
  HoldGil gil;
  GilGuard guard = GilGuard::assume();
}

TEST(GilGuard, FirstAcquireOnAFreshThreadEnsuresOnceAndReleasesWithTheSameState) {
  on_new_thread([] {
    auto& calls = calls_on_this_thread();
    {
      GilGuard guard = GilGuard::acquire();
      EXPECT_EQ(gil_count(), 1);
      EXPECT_EQ(PyGILState_Check(), 1);
      EXPECT_EQ(calls.ensure, 1);
      EXPECT_EQ(calls.release, 0);
    }
    EXPECT_EQ(calls.release, 1);
    EXPECT_EQ(calls.last_release_state.load(), calls.last_ensure_state.load());
    EXPECT_EQ(gil_count(), 0);
    // The thread state the interpreter made for this thread is gone again.
    EXPECT_EQ(PyGILState_GetThisThreadState(), nullptr);
  });
}

TEST(GilGuard, NestedGuardsCountWithoutCallingTheInterpreter) {
  on_new_thread([] {
    HoldGil gil;  // as if the interpreter had called in
    auto& calls = calls_on_this_thread();
    {
      GilGuard outer = GilGuard::assume();
      EXPECT_EQ(gil_count(), 1);
      {
        GilGuard middle = GilGuard::acquire();
        EXPECT_EQ(gil_count(), 2);
        {
          GilGuard inner = GilGuard::acquire();
          EXPECT_EQ(gil_count(), 3);
        }
        EXPECT_EQ(gil_count(), 2);
      }
      EXPECT_EQ(gil_count(), 1);
    }
    EXPECT_EQ(gil_count(), 0);
    EXPECT_EQ(calls.ensure, 0);
    EXPECT_EQ(calls.release, 0);
    EXPECT_EQ(calls.is_initialized, 0);
  });
}

TEST(GilGuard, InterpreterCheckRetriesAfterFailureAndStopsAfterSuccess) {
  // The check is once per process, so the scenario runs in a fresh child process.
  EXPECT_EXIT(
      {
        auto& calls = calls_on_this_thread();
        calls.report_uninitialized = 1;
        bool failed = false;
        try {
          GilGuard guard = GilGuard::acquire();
        } catch (const runtime::InternalFailure& failure) {
          failed = failure.message().find("left: 0\n right: 0") != std::string_view::npos;
        }
        if (!failed || calls.ensure != 0) std::_Exit(1);
        { GilGuard guard = GilGuard::acquire(); }  // checks again, succeeds
        { GilGuard guard = GilGuard::acquire(); }  // no further check
        std::_Exit(calls.is_initialized == 2 && calls.ensure == 2 ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "not initialized");
}

TEST(GilGuard, NegativeCountRefusesWithTheTraverseOrGeneralMessage) {
  on_new_thread([] {
    HoldGil gil;
    auto expect_refusal = [](std::int64_t count, std::string_view message, bool ensured) {
      detail::set_gil_count_for_testing(count);
      try {
        if (ensured) {
          GilGuard guard = GilGuard::acquire();
        } else {
          GilGuard guard = GilGuard::assume();
        }
        ADD_FAILURE() << "guard entered with count " << count;
      } catch (const runtime::InternalFailure& failure) {
        EXPECT_EQ(failure.message(), message);
      }
      EXPECT_EQ(gil_count(), count);
      detail::set_gil_count_for_testing(0);
    };
    expect_refusal(-1,
                   "Access to the GIL is prohibited while a __traverse__ implmentation is running.",
                   false);
    expect_refusal(-2, "Access to the GIL is currently prohibited.", false);
    expect_refusal(
        -1, "Access to the GIL is prohibited while a __traverse__ implmentation is running.", true);
    expect_refusal(-7, "Access to the GIL is currently prohibited.", true);
  });
}

TEST(ReleasePool, ReleaseWithoutTheLockDefersUntilTheNextGuardEntryOnAnyThread) {
  drain_now();
  PyObject* object = new_object();
  {
    HoldGil gil;
    Py_INCREF(object);
  }
  const Py_ssize_t before = refcount(object);
  on_new_thread([object] { release_reference(object); });
  EXPECT_EQ(refcount(object), before);
  EXPECT_EQ(detail::pending_release_count(), 1u);
  on_new_thread([] { GilGuard guard = GilGuard::acquire(); });
  EXPECT_EQ(refcount(object), before - 1);
  EXPECT_EQ(detail::pending_release_count(), 0u);
  drop(object);
}

TEST(ReleasePool, DrainReleasesInAppendOrderAndDeallocatesBetweenNeighbours) {
  drain_now();
  PyObject* globals = nullptr;
  PyObject *a = nullptr, *b = nullptr, *c = nullptr;
  {
    HoldGil gil;
    globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    // B's finaliser records how many references A and C have at the moment B dies.
    PyObject* result = PyRun_String(
        "import sys\n"
        "record = []\n"
        "class Probe:\n"
        "    def __del__(self):\n"
        "        record.append((sys.getrefcount(a), sys.getrefcount(c)))\n"
        "a, b, c = [], Probe(), []\n",
        Py_file_input, globals, globals);
    ASSERT_NE(result, nullptr);
    Py_DECREF(result);
    a = PyDict_GetItemString(globals, "a");
    b = PyDict_GetItemString(globals, "b");
    c = PyDict_GetItemString(globals, "c");
    Py_INCREF(a);
    Py_INCREF(b);
    Py_INCREF(c);
    PyDict_DelItemString(globals, "b");  // the test now holds B's only reference
  }
  on_new_thread([&] {
    release_reference(a);
    release_reference(b);
    release_reference(c);
  });
  EXPECT_EQ(detail::pending_release_count(), 3u);
  drain_now();
  {
    HoldGil gil;
    PyObject* record = PyDict_GetItemString(globals, "record");
    ASSERT_EQ(PyList_Size(record), 1);
    // getrefcount counts its own argument: A is back to the dict's reference alone (2), C still
    // carries the test's reference (3).
    PyObject* expected = Py_BuildValue("(ii)", 2, 3);
    EXPECT_EQ(PyObject_RichCompareBool(PyList_GetItem(record, 0), expected, Py_EQ), 1);
    Py_DECREF(expected);
    EXPECT_EQ(Py_REFCNT(c), 1);
    Py_DECREF(globals);
  }
}

TEST(ReleasePool, ImmortalObjectsAreNeverTouched) {
  drain_now();
  PyObject* none = Py_None;
  const Py_ssize_t before = refcount(none);
  on_new_thread([none] { release_reference(none); });
  drain_now();
  {
    HoldGil gil;
    GilGuard guard = GilGuard::assume();
    release_reference(none);
  }
  EXPECT_EQ(refcount(none), before);
}

TEST(ReleasePool, ConcurrentDeferralsAndDrainsLoseAndLeakNothing) {
  drain_now();
  constexpr int kDeferrers = 4;
  constexpr int kPerThread = 5000;
  PyObject* object = new_object();
  {
    HoldGil gil;
    for (int i = 0; i < kDeferrers * kPerThread; ++i) Py_INCREF(object);
  }
  const Py_ssize_t before = refcount(object);
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kDeferrers; ++t) {
    threads.emplace_back([object] {
      for (int i = 0; i < kPerThread; ++i) release_reference(object);
    });
  }
  std::thread drainer([&] {
    while (!done.load()) {
      GilGuard guard = GilGuard::acquire();
    }
  });
  for (auto& thread : threads) thread.join();
  done = true;
  drainer.join();
  drain_now();
  EXPECT_EQ(refcount(object), before - kDeferrers * kPerThread);
  drop(object);
}

TEST(GilSuspension, ClearsTheCountWhileInForceThenRestoresItAndDrains) {
  drain_now();
  PyObject* object = new_object();
  {
    HoldGil gil;
    Py_INCREF(object);
  }
  const Py_ssize_t before = refcount(object);
  on_new_thread([object] {
    HoldGil gil;
    GilGuard outer = GilGuard::assume();
    GilGuard nested = GilGuard::acquire();
    auto& calls = calls_on_this_thread();
    {
      GilSuspension suspension;
      EXPECT_EQ(gil_count(), 0);
      release_reference(object);  // defers: the thread counts as not holding the lock
      EXPECT_EQ(detail::pending_release_count(), 1u);
      {
        GilGuard inside = GilGuard::acquire();
        EXPECT_EQ(calls.ensure, 1);
      }
      EXPECT_EQ(calls.release, 1);
      // The acquire above drained the pool already; queue once more for the suspension's end.
      PyObject* again = object;
      {
        GilGuard inside = GilGuard::acquire();
        Py_INCREF(again);
      }
      release_reference(again);
    }
    EXPECT_EQ(gil_count(), 2);
    EXPECT_EQ(detail::pending_release_count(), 0u);
  });
  EXPECT_EQ(refcount(object), before - 1);  // on the object's own thread (see refcount)
  drop(object);
}

}  // namespace
}  // namespace metronyx::binding
