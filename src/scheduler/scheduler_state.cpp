#include "scheduler/scheduler_state.hpp"

#include <string>
#include <utility>

#include "runtime/failure.hpp"
#include "scheduler/periodic_worker.hpp"

namespace metronyx::scheduler {

namespace {

void release_in_order(std::vector<TaskRecord> records) {
  for (TaskRecord& record : records) record.callable = binding::OwnedRef();
}

}  // namespace

TaskList& TaskList::operator=(TaskList&& other) noexcept {
  // The old records go last, after the new ones are in place: a release may run a finaliser.
  release_in_order(std::exchange(records_, std::move(other.records_)));
  return *this;
}

void TaskList::clear() {
  // Taken out first so that a finaliser run by a release never sees half-released records here.
  release_in_order(std::exchange(records_, {}));
}

SchedulerState::SchedulerState() : run_flags_(0, next_map_hash()) {}

SchedulerState::~SchedulerState() {
  pending_tasks_.clear();
  run_flags_.clear();
}

std::int8_t SchedulerState::schedule(binding::OwnedRef callable, double interval) {
  // Two's-complement wrap, done in unsigned arithmetic so that it is defined behaviour.
  last_task_id_ = static_cast<std::int8_t>(static_cast<std::uint8_t>(last_task_id_) + 1u);
  pending_tasks_.push_back(TaskRecord{std::move(callable), interval, last_task_id_});
  RunFlagRef fresh = RunFlag::make_running();
  if (auto [entry, inserted] = run_flags_.try_emplace(last_task_id_, fresh); !inserted) {
    keep_if_running(std::exchange(entry->second, std::move(fresh)));
  }
  return last_task_id_;
}

void SchedulerState::keep_if_running(RunFlagRef flag) {
  // Only flags that a worker still holds are worth keeping; dropping the others here keeps the
  // list as short as the number of such workers, however often ids wrap.
  std::erase_if(superseded_flags_, [](const RunFlagRef& kept) {
    return !kept->is_running() || kept.use_count() == 1;
  });
  if (flag->is_running() && flag.use_count() > 1) superseded_flags_.push_back(std::move(flag));
}

binding::PyResult<void> SchedulerState::start(std::size_t stack_size) {
  // Launched in scheduling order. A task whose worker cannot be made stays pending with its
  // callable and its flag, as do the ones after it: a later `start()` launches them, and `cancel`
  // still reaches them. Nothing here runs Python code, so the list cannot change meanwhile.
  std::vector<TaskRecord>& records = pending_tasks_.records();
  auto latch = std::make_shared<StartLatch>();
  struct OpenOnExit {
    StartLatch& latch;
    ~OpenOnExit() { latch.open(); }
  } open_on_exit{*latch};
  std::size_t launched = 0;
  std::expected<void, LaunchFailure> outcome;
  for (; launched < records.size(); ++launched) {
    TaskRecord& record = records[launched];
    auto flag = run_flags_.find(record.task_id);
    if (flag == run_flags_.end()) {
      records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(launched));
      runtime::fail_static("expected a run flag for a pending task, but the value was absent");
    }
    LaunchRecord launch{flag->second,
                        std::move(record.callable),
                        record.interval,
                        record.task_id,
                        latch,
                        stack_size,
                        {},
                        0};
    outcome = launch_worker(launch);
    if (!outcome) {
      record.callable = std::move(launch.callable);
      break;
    }
  }
  // The launched records gave their callables to their workers: nothing is released here.
  records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(launched));
  if (outcome) return {};
  if (outcome.error().error) return std::unexpected(std::move(*outcome.error().error));
  runtime::fail("failed to spawn thread: " + outcome.error().os_error);
}

binding::PyResult<void> SchedulerState::cancel(std::int8_t task_id) {
  auto flag = run_flags_.find(task_id);
  if (flag == run_flags_.end()) {
    return std::unexpected(binding::PyErr::new_owned(
        binding::ExceptionKind::value_error, "Task id:" + std::to_string(task_id) + " not found"));
  }
  flag->second->stop();
  return {};
}

void SchedulerState::shutdown() {
  for (auto& [task_id, flag] : run_flags_) flag->stop();
  for (RunFlagRef& flag : superseded_flags_) flag->stop();
  superseded_flags_.clear();
  run_flags_.clear();
  pending_tasks_.clear();
}

}  // namespace metronyx::scheduler
