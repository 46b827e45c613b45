#include "scheduler/scheduler_state.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "binding/gil_guard.hpp"
#include "runtime/failure.hpp"
#include "scheduler/periodic_worker.hpp"

namespace metronyx::scheduler {

namespace {

void release_in_order(std::vector<TaskRecord> records) {
  for (TaskRecord& record : records) record.callable = binding::OwnedRef();
}

// Room for one more element, growing geometrically as push_back would: the push_back after it
// cannot throw, so it can come after the state has begun to change.
template <class T>
void reserve_one_more(std::vector<T>& items) {
  if (items.size() == items.capacity()) {
    items.reserve(std::max<std::size_t>(4, 2 * items.capacity()));
  }
}

// On a free-threaded build a stop is a barrier only once the flag's hand-shake is through (see
// run_flag.hpp): `cancel` and `shutdown` return after it, without holding anything a call could
// need, so a call that is already under way delays them by `kLongestWaitForCall` at most. The
// wait holds the instance's borrow but not the interpreter (GilPause): a call that needs every
// thread to pause (the garbage collector) can go on meanwhile.
runtime::Instant call_wait_deadline() {
  return runtime::monotonic_now().saturating_add(kLongestWaitForCall);
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

std::int8_t SchedulerState::next_task_id() const {
  // Two's-complement wrap, done in unsigned arithmetic so that it is defined behaviour.
  return static_cast<std::int8_t>(static_cast<std::uint8_t>(last_task_id_) + 1u);
}

std::int8_t SchedulerState::schedule(binding::OwnedRef callable, double interval) {
  // Whatever allocates comes first, and each step that may throw has no effect when it does: a
  // `schedule` that runs out of memory leaves the state as it was.
  const std::int8_t task_id = next_task_id();
  RunFlagRef flag = RunFlag::make_running();
  reserve_one_more(pending_tasks_.records());
  if (auto entry = run_flags_.find(task_id); entry == run_flags_.end()) {
    run_flags_.try_emplace(task_id, flag);
  } else {
    // The older task with this id leaves `cancel`'s reach. Only a flag that its pending record or
    // its worker still holds is worth keeping for `shutdown`; the others are dropped whenever the
    // list would grow, which keeps it as short as the number of such tasks, however often ids wrap.
    const bool keep = entry->second->is_running() && entry->second.use_count() > 1;
    if (keep) {
      if (superseded_flags_.size() == superseded_flags_.capacity()) {
        std::erase_if(superseded_flags_, [](const RunFlagRef& kept) {
          return !kept->is_running() || kept.use_count() == 1;
        });
      }
      reserve_one_more(superseded_flags_);
    }
    RunFlagRef replaced = std::exchange(entry->second, flag);
    if (keep) superseded_flags_.push_back(std::move(replaced));
  }
  pending_tasks_.push_back(TaskRecord{std::move(callable), interval, task_id, std::move(flag)});
  last_task_id_ = task_id;
  return task_id;
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
    LaunchRecord launch{record.flag,
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
    record.flag->mark_launched();
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
  if constexpr (binding::compat::kFreeThreaded) {
    binding::GilPause pause;
    (void)flag->second->wait_for_calls(call_wait_deadline());
  }
  return {};
}

void SchedulerState::shutdown() {
  TaskList pending = shutdown_keeping_pending();
}

TaskList SchedulerState::shutdown_keeping_pending() {
  for (auto& [task_id, flag] : run_flags_) flag->stop();
  for (RunFlagRef& flag : superseded_flags_) flag->stop();
  if constexpr (binding::compat::kFreeThreaded) {
    // One deadline for every task: a shutdown waits for calls under way at most once.
    const runtime::Instant deadline = call_wait_deadline();
    binding::GilPause pause;
    for (auto& [task_id, flag] : run_flags_) (void)flag->wait_for_calls(deadline);
    for (RunFlagRef& flag : superseded_flags_) (void)flag->wait_for_calls(deadline);
  }
  superseded_flags_.clear();
  run_flags_.clear();
  return std::exchange(pending_tasks_, TaskList());
}

}  // namespace metronyx::scheduler
