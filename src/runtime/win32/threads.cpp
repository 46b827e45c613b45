#include "runtime/threads.hpp"

#include <windows.h>

#include <memory>

#include "runtime/os_error.hpp"

namespace metronyx::runtime {

namespace {

struct Start {
  ThreadEntry entry;
  void* argument;
};

// No try/catch and no noexcept here, as on other platforms: what the entry lets out is the
// thread's own end.
DWORD WINAPI thread_start(LPVOID raw) {
  const Start start = *static_cast<Start*>(raw);
  delete static_cast<Start*>(raw);
  start.entry(start.argument);
  return 0;
}

}  // namespace

std::expected<void, std::string> spawn_detached(ThreadEntry entry, void* argument,
                                                std::size_t stack_size) {
  auto start = std::make_unique<Start>(Start{entry, argument});
  // The size reserves the stack's address space, as a POSIX thread's stack size does; without the
  // flag it would only be the memory committed up front.
  const HANDLE thread =
      ::CreateThread(nullptr, stack_size, &thread_start, start.get(),
                     stack_size != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
  if (thread == nullptr)
    return std::unexpected(describe_os_error(static_cast<int>(::GetLastError())));
  start.release();        // the new thread owns it now
  ::CloseHandle(thread);  // detached: nothing waits for it
  return {};
}

// Windows gives each new thread of a process the next ideal processor in turn, so a worker does
// not begin behind the thread that launched it.
void begin_away_from(int) {}

// Windows has no fork: a new process starts from nothing and inherits no lock of this one, so
// there is never a child to reset, and the handler is never needed.
bool run_in_child_after_fork(void (*)()) {
  return true;
}

int current_processor() {
  return static_cast<int>(::GetCurrentProcessorNumber());
}

std::uint64_t current_thread_id() {
  return ::GetCurrentThreadId();
}

}  // namespace metronyx::runtime
