#include "runtime/threads.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>

#include "runtime/os_error.hpp"

namespace metronyx::runtime {

namespace {

struct Start {
  ThreadEntry entry;
  void* argument;
  int launcher_processor;
};

// No try/catch and no noexcept here: a thread that the interpreter ends during its finalization
// unwinds with a forced-unwind exception, which has to pass through to the thread library.
extern "C" void* thread_start(void* raw) {
  // Before anything else: right after the thread's stack could be mapped, rather than at the
  // thread's first exception, which may be a std::bad_alloc when memory has run out.
  touch_cxx_thread_state();
  const Start start = *static_cast<Start*>(raw);
  delete static_cast<Start*>(raw);
  begin_away_from(start.launcher_processor);
  start.entry(start.argument);
  return nullptr;
}

}  // namespace

std::expected<void, std::string> spawn_detached(ThreadEntry entry, void* argument,
                                                std::size_t stack_size) {
  pthread_attr_t attributes;
  if (int rc = ::pthread_attr_init(&attributes); rc != 0) {
    return std::unexpected(describe_os_error(rc));
  }
  if (stack_size != 0) {
    if (int rc = ::pthread_attr_setstacksize(&attributes, stack_size); rc != 0) {
      ::pthread_attr_destroy(&attributes);
      return std::unexpected(describe_os_error(rc));
    }
  }
  ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);

  auto start = std::make_unique<Start>(Start{entry, argument, current_processor()});
  pthread_t thread;
  const int rc = ::pthread_create(&thread, &attributes, thread_start, start.get());
  ::pthread_attr_destroy(&attributes);
  if (rc != 0) return std::unexpected(describe_os_error(rc));
  start.release();  // the new thread owns it now
  return {};
}

void begin_away_from(int avoided) {
#if defined(__linux__)
  if (avoided < 0 || avoided >= CPU_SETSIZE) return;
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  // Fails with more processors than a cpu_set_t holds: the thread then stays where it began.
  if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  if (!CPU_ISSET(avoided, &allowed) || CPU_COUNT(&allowed) < 2) return;
  cpu_set_t elsewhere = allowed;
  CPU_CLR(avoided, &elsewhere);
  // The kernel moves a running thread at once when its processor leaves its set; given back the
  // whole set, it leaves the thread where it now is.
  if (::sched_setaffinity(0, sizeof elsewhere, &elsewhere) != 0) return;
  (void)::sched_setaffinity(0, sizeof allowed, &allowed);
#else
  (void)avoided;
#endif
}

bool run_in_child_after_fork(void (*handler)()) {
  return ::pthread_atfork(nullptr, nullptr, handler) == 0;
}

int current_processor() {
  return ::sched_getcpu();
}

std::uint64_t current_thread_id() {
  static thread_local const std::uint64_t id = static_cast<std::uint64_t>(::syscall(SYS_gettid));
  return id;
}

}  // namespace metronyx::runtime
