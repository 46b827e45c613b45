// The end of a runtime: the exit gate that closes before finalization, and what the module keeps
// across a finalize and a new initialize.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "binding/exit_gate.hpp"
#include "binding/gil_guard.hpp"
#include "binding/release_pool.hpp"
#include "binding/runtime_round.hpp"
#include "interpreter_calls.hpp"
#include "runtime/sleep.hpp"
#include "runtime/wait_wake.hpp"

namespace metronyx::binding {
namespace {

using testing::HoldGil;

// 0 before the worker reaches the pause point, 1 while it waits there, 2 once it may go on.
std::atomic<std::uint8_t> pause_state{0};

void pause_between_count_and_check() {
  pause_state.store(1);
  runtime::wake_all(pause_state);
  while (pause_state.load() != 2) runtime::wait_on_byte(pause_state, 1);
}

// The exit closes the gate while a worker is between counting itself and looking at the gate: the
// exit must then wait for it, or the worker must find the gate closed. A worker that passes while
// the exit has already gone on would run Python code in a finalizing interpreter.
TEST(ExitGate, AnExitClosingBetweenAWorkersCountAndItsLookAtTheGateMissesNeither) {
  ExitGate::reopen();  // whatever earlier runs of this test left
  {
    HoldGil gil;
    install_exit_gate();
  }
  pause_state.store(0);
  test_hooks::exit_gate_between_count_and_check = &pause_between_count_and_check;
  std::atomic<bool> exit_went_on{false};
  bool admitted = false;
  bool inside_after_the_exit_went_on = false;
  std::thread worker([&] {
    ExitGate::Pass pass = ExitGate::enter(current_runtime_round());
    admitted = static_cast<bool>(pass);
    if (admitted) inside_after_the_exit_went_on = exit_went_on.load();
  });
  while (pause_state.load() != 1) runtime::wait_on_byte(pause_state, 0);

  // The program's exit: the gate's callback runs among the atexit callbacks.
  std::thread exiting([&] {
    HoldGil gil;
    PyObject* atexit = PyImport_ImportModule("atexit");
    PyObject* result = atexit ? PyObject_CallMethod(atexit, "_run_exitfuncs", nullptr) : nullptr;
    if (result == nullptr) PyErr_Print();
    Py_XDECREF(result);
    Py_XDECREF(atexit);
    exit_went_on.store(true);  // before the interpreter lock is given back
  });
  while (!ExitGate::is_closed()) runtime::yield_now();
  // The callback holds the interpreter lock from closing the gate until it either returns or
  // gives the lock up to wait for the workers inside: once the lock is ours it has decided.
  {
    HoldGil gil;
  }
  pause_state.store(2);
  runtime::wake_all(pause_state);
  worker.join();
  exiting.join();
  test_hooks::exit_gate_between_count_and_check = nullptr;
  ExitGate::reopen();

  EXPECT_FALSE(inside_after_the_exit_went_on) << "the exit did not wait for a worker it let in";
  // Counted before the gate closed, looked after: this worker is turned away.
  EXPECT_FALSE(admitted);
}

// A release queued without the lock whose runtime is then finalized: its object went with that
// runtime, so the next runtime must never apply it. A death test, for a process of its own in
// which the interpreter may be finalized.
TEST(RuntimeEndDeathTest, AReleaseQueuedInAFinalizedRuntimeIsNeverAppliedInTheNext) {
  EXPECT_EXIT(
      {
        PyObject* object = nullptr;
        {
          HoldGil gil;
          watch_for_runtime_end();  // as the module's first import does
          object = PyList_New(0);
        }
        release_reference(object);  // no guard on this thread: queued
        const std::size_t queued = detail::pending_release_count();
        // This is the thread that initialized the interpreter; the lock comes with its state.
        (void)__real_PyGILState_Ensure();
        if (Py_FinalizeEx() != 0) std::_Exit(2);
        const PyStatus status = metronyx::testing::initialize_test_interpreter();
        if (PyStatus_Exception(status)) std::_Exit(3);
        const std::size_t left = detail::pending_release_count();
        std::fprintf(stderr, "%zu queued before the finalize, %zu left after it\n", queued, left);
        std::fflush(stderr);
        std::_Exit(queued == 1 && left == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "1 queued before the finalize, 0 left after it");
}

}  // namespace
}  // namespace metronyx::binding
