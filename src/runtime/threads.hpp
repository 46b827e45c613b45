// Native threads that nobody joins.
//
// Threads: `spawn_detached` may be called from any thread. The new thread gets a 2 MiB stack and
// no name, and is detached at once: no handle is kept and nothing waits for it.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace metronyx::runtime {

using ThreadEntry = void (*)(void* argument);

// Starts `entry(argument)` on a new detached thread. On failure nothing was started, ownership of
// `argument` stays with the caller, and the error is the operating system's, rendered as text.
[[nodiscard]] std::expected<void, std::string> spawn_detached(ThreadEntry entry, void* argument);

// A process-unique number for the calling thread (the kernel's thread id).
[[nodiscard]] std::uint64_t current_thread_id();

}  // namespace metronyx::runtime
