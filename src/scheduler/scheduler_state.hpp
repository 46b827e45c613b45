// The state of one Scheduler and its six operations.
//
// Contract: every operation runs with the interpreter lock held (attached to the interpreter, on
// a free-threaded build), reached only through a method call from Python, and the instance's
// borrow rules serialise them per instance. The only state shared with other threads is each
// RunFlag (see run_flag.hpp); on a free-threaded build `cancel` and `shutdown` also wait for its
// call hand-shake, briefly, before they return.
//
// Every task has its own flag from `schedule` on: its pending record holds it, `start` hands that
// very flag to its worker, and the map holds the flag of the newest task under each id.
//
// Task ids are signed 8-bit and wrap: 127 is followed by -128, -1 by 0. An id that is reused
// replaces the map's flag; the older task, pending or running, keeps its own flag, out of
// `cancel`'s reach but not of `shutdown`'s. So a task cancelled while pending stays cancelled,
// whatever ids come after it.
//
// Running out of memory (std::bad_alloc) in `schedule` or `start` leaves the state as it was
// before the call, and `start` launched what it launched before the failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "binding/py_err.hpp"
#include "binding/refs.hpp"
#include "scheduler/keyed_hash.hpp"
#include "scheduler/run_flag.hpp"

namespace metronyx::scheduler {

struct TaskRecord {
  binding::OwnedRef callable;
  double interval = 0.0;
  std::int8_t task_id = 0;
  RunFlagRef flag;
};

// Pending records in scheduling order. Dropping the list releases every callable in list order,
// then frees the storage.
class TaskList {
 public:
  TaskList() = default;
  TaskList(TaskList&&) noexcept = default;
  TaskList& operator=(TaskList&& other) noexcept;
  ~TaskList() { clear(); }

  void push_back(TaskRecord record) { records_.push_back(std::move(record)); }
  void clear();
  [[nodiscard]] std::vector<TaskRecord>& records() { return records_; }
  [[nodiscard]] const std::vector<TaskRecord>& records() const { return records_; }

 private:
  std::vector<TaskRecord> records_;
};

class SchedulerState {
 public:
  // Empty state; nothing is allocated until the first schedule. Takes this thread's next map keys.
  SchedulerState();
  SchedulerState(SchedulerState&&) noexcept = default;
  SchedulerState& operator=(SchedulerState&&) = delete;
  // Releases in field order: pending callables (list order), then the map's flags. Does not stop
  // any worker.
  ~SchedulerState();

  // The id that the next `schedule` hands out.
  [[nodiscard]] std::int8_t next_task_id() const;
  // Any object and any interval; returns the new id (`next_task_id()`).
  [[nodiscard]] std::int8_t schedule(binding::OwnedRef callable, double interval);
  // Launches every pending task on a worker of its own, each with a stack of `stack_size` bytes
  // (0: the platform's default), and empties the pending list. When a worker's thread state
  // cannot be made (MemoryError, returned) or its thread cannot be created (the internal failure
  // "failed to spawn thread: " and the operating system's error), that task and the ones after it
  // stay pending with their flags; the launched ones keep running. No memory for a worker's
  // record or thread: MemoryError, returned the same way.
  [[nodiscard]] binding::PyResult<void> start(std::size_t stack_size);
  // ValueError "Task id:N not found" for an id without a flag.
  [[nodiscard]] binding::PyResult<void> cancel(std::int8_t task_id);
  // Stops every flag, also those of tasks whose id was reused since they started, and forgets
  // every flag and pending task; the id counter goes on.
  void shutdown();
  // The same, but the pending tasks go to the caller, to be released where it chooses (their
  // callables' finalizers may run Python code).
  [[nodiscard]] TaskList shutdown_keeping_pending();

 private:
  TaskList pending_tasks_;
  std::unordered_map<std::int8_t, RunFlagRef, KeyedHash> run_flags_;
  // Flags that a reused id pushed out of the map while a pending record or a worker still held
  // them: `cancel` no longer reaches those tasks, `shutdown` still does.
  std::vector<RunFlagRef> superseded_flags_;
  std::int8_t last_task_id_ = 0;
};

}  // namespace metronyx::scheduler
