// Keeping the module usable in a child process made by fork.
//
// Why: fork copies the whole process but only the thread that called it. Every small lock of ours
// that another thread held at that moment (the lock queue, the release pool's lock, the line lock
// of the standard streams), the exit gate's count of workers inside the interpreter, and the
// main-thread handoff's request would stay taken for good in the child: its tasks would never get
// their turn, and its exit would wait for workers that do not exist. The child handler puts each of
// them back to idle. Workers of the parent do not exist in the child; a worker whose own callable
// called fork finds itself in the child and ends there silently after that call, as the forked
// copy of any Python thread does.
//
// Contract: `install_fork_handlers` is called with the interpreter lock held when the module
// first meets the interpreter; it registers once per process. `fork_generation` may be read from
// any thread: it is the number of forks between the first process and this one.
#pragma once

#include <cstdint>

namespace metronyx::binding {

void install_fork_handlers();

[[nodiscard]] std::uint64_t fork_generation();

}  // namespace metronyx::binding
