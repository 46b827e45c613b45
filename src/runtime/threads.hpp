// Native threads that nobody joins.
//
// Threads: `spawn_detached` may be called from any thread. The new thread gets no name and is
// detached at once: no handle is kept and nothing waits for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <string>

namespace metronyx::runtime {

using ThreadEntry = void (*)(void* argument);

// Starts `entry(argument)` on a new detached thread with a stack of `stack_size` bytes, or the
// platform's default thread stack when it is 0 (what the interpreter's own threads get unless the
// program set a size). On failure nothing was started, ownership of `argument` stays with the
// caller, and the error is the operating system's, rendered as text.
//
// Linux: the new thread begins on another processor than the one the launching thread ran on,
// where its affinity allows one (see `begin_away_from`). Windows spreads new threads by itself.
[[nodiscard]] std::expected<void, std::string> spawn_detached(ThreadEntry entry, void* argument,
                                                              std::size_t stack_size);

// Moves the calling thread off processor `avoided` if the thread may run elsewhere, and leaves its
// affinity as it found it. Why: Linux starts a thread on its creator's processor, and a thread
// that did its first work there behind a busy creator (a main thread computing in Python) has
// used up its share of that processor: its next wake-ups wait there, milliseconds each, until
// the kernel moves it. Best effort: on a single allowed processor, without the permission, or
// off Linux, nothing changes. An affinity set for this thread by another thread while this runs
// may be undone.
void begin_away_from(int avoided);

// Runs `handler` in the child process after every fork from now on, while the child still has
// only the thread that forked. The handler must be async-signal-safe in spirit: it may only reset
// plain memory. Returns false if the handler could not be registered. Windows has no fork: there
// the handler is never needed, and registering it succeeds.
[[nodiscard]] bool run_in_child_after_fork(void (*handler)());

// A process-unique number for the calling thread (the kernel's thread id; Windows: the thread id).
[[nodiscard]] std::uint64_t current_thread_id();

// The processor the calling thread runs on right now, or -1 where the system cannot say. For
// diagnostics only: the thread may move at any moment.
[[nodiscard]] int current_processor();

// Makes the C++ runtime's per-thread state (its exception globals) exist for the calling thread.
// Where that runtime is a shared library, the C library allocates the state on a thread's first
// use and ends the process if there is no memory for it, so each thread should touch it while
// memory is still there. Linked into the module (the default), the state comes with the thread
// and this costs a load.
inline void touch_cxx_thread_state() {
  // Kept in a volatile: the function is declared pure, and a call whose result is unused dropped.
  volatile const int touched = std::uncaught_exceptions();
  (void)touched;
}

}  // namespace metronyx::runtime
