#include "binding/handoff_trace.hpp"

#if defined(METRONYX_TRACE_HANDOFF)

#include <atomic>
#include <cstddef>
#include <utility>
#include <vector>

#include "binding/py_err.hpp"
#include "binding/refs.hpp"
#include "runtime/threads.hpp"

namespace metronyx::binding::handoff_trace {

namespace {

// The record being built. The main thread's stamps reach it while the worker waits, so each
// field is an atomic; relaxed is enough, the lock hand-over orders the rest.
struct Building {
  std::atomic<std::int64_t> due, woke, turn, requested, first_offer, last_offer, granted;
  std::atomic<std::int32_t> offers;
  std::atomic<std::uint32_t> outcome;
  std::atomic<int> woke_cpu, worker_cpu, main_cpu;
};
Building building{};

// Enough for every call of a benchmark run; calls beyond it are not recorded.
constexpr std::size_t kMostRecords = 1 << 20;
std::vector<Record>* kept = new std::vector<Record>();  // lock held; never destroyed

std::int64_t now_ns() {
  return nanoseconds(runtime::monotonic_now());
}

constexpr auto relaxed = std::memory_order_relaxed;

}  // namespace

void begin(std::int64_t due_ns, const runtime::Instant& woke) {
  building.due.store(due_ns, relaxed);
  building.woke.store(nanoseconds(woke), relaxed);
  building.turn.store(now_ns(), relaxed);
  for (auto* field :
       {&building.requested, &building.first_offer, &building.last_offer, &building.granted}) {
    field->store(0, relaxed);
  }
  building.offers.store(0, relaxed);
  building.outcome.store(0, relaxed);
  building.main_cpu.store(-1, relaxed);
  building.woke_cpu.store(runtime::current_processor(), relaxed);
  building.worker_cpu.store(building.woke_cpu.load(relaxed), relaxed);
}

void stamp(Stamp step) {
  const std::int64_t now = now_ns();
  switch (step) {
    case Stamp::requested:
      building.requested.store(now, relaxed);
      break;
    case Stamp::offer:
      if (building.offers.fetch_add(1, relaxed) == 0) building.first_offer.store(now, relaxed);
      building.last_offer.store(now, relaxed);
      building.main_cpu.store(runtime::current_processor(), relaxed);
      break;
    case Stamp::granted:
      building.granted.store(now, relaxed);
      // Where the worker holds the lock: a worker woken on the main thread's processor waits
      // behind it.
      building.worker_cpu.store(runtime::current_processor(), relaxed);
      break;
  }
}

void note(std::uint32_t outcome) {
  building.outcome.fetch_or(outcome, relaxed);
}

Record finish() {
  return Record{building.due.load(relaxed),         building.woke.load(relaxed),
                building.turn.load(relaxed),        building.requested.load(relaxed),
                building.first_offer.load(relaxed), building.last_offer.load(relaxed),
                building.granted.load(relaxed),     0,
                building.offers.load(relaxed),      building.outcome.load(relaxed),
                building.woke_cpu.load(relaxed),    building.worker_cpu.load(relaxed),
                building.main_cpu.load(relaxed)};
}

void keep(Record& record) {
  record.called = now_ns();
  if (kept->size() < kMostRecords) kept->push_back(record);
}

PyObject* take(PyObject*, PyObject*) {
  std::vector<Record> records = std::exchange(*kept, {});
  PyObject* created = PyList_New(0);
  if (created == nullptr) return nullptr;
  OwnedRef list = OwnedRef::steal(created);
  for (const Record& r : records) {
    using ll = long long;
    PyObject* entry =
        Py_BuildValue("{sLsLsLsLsLsLsLsLsisIsisisi}", "due", ll{r.due}, "woke", ll{r.woke}, "turn",
                      ll{r.turn}, "requested", ll{r.requested}, "first_offer", ll{r.first_offer},
                      "last_offer", ll{r.last_offer}, "granted", ll{r.granted}, "called",
                      ll{r.called}, "offers", int{r.offers}, "outcome", unsigned{r.outcome},
                      "woke_cpu", r.woke_cpu, "worker_cpu", r.worker_cpu, "main_cpu", r.main_cpu);
    if (entry == nullptr) return nullptr;
    OwnedRef owned = OwnedRef::steal(entry);
    if (PyList_Append(list.get(), owned.get()) == -1) return nullptr;
  }
  return list.into_raw();
}

}  // namespace metronyx::binding::handoff_trace

#endif
