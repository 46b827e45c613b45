// One initialisation of the interpreter runtime, from Py_Initialize to Py_FinalizeEx: the span
// that the module's one-time state belongs to.
//
// Why: a host that embeds the interpreter may finalize it and initialize it again in the same
// process. Everything the module keeps for the process (the module object, the Scheduler and
// PanicException types, the interned names, the releases still owed) is made of objects of the
// runtime that made it; after finalization they are gone, and a fresh import must build them
// again. The exit gate, closed when the first runtime finalized, must open for the workers of the
// next one but stay closed to the workers of the old one, which may still wake up later.
//
// Contract:
// - `watch_for_runtime_end` is called with the interpreter lock held when the module first meets a
//   runtime; it registers, once per round, a low-level exit function (Py_AtExit) that runs after
//   that runtime is fully finalized. It forgets the round's Python objects (never releasing them:
//   their runtime freed them) and begins the next round.
// - `current_runtime_round` may be read from any thread (sequentially consistent); a worker keeps
//   the round it was launched in and is turned away by the exit gate once that round is over.
#pragma once

#include <cstdint>

namespace metronyx::binding {

[[nodiscard]] std::uint32_t current_runtime_round();

void watch_for_runtime_end();

}  // namespace metronyx::binding
