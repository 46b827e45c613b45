#include "runtime/stdio.hpp"

#include <string>

#include "runtime/byte_lock.hpp"
#include "runtime/failure.hpp"

namespace metronyx::runtime {

namespace {

// One per stream, so that a full or slow pipe on one holds up only the lines bound for it: a stop
// line stuck on a full stdout must not stop the error lines of other tasks. Never destroyed:
// workers still write lines while the process exits.
ByteLock& line_lock(StdStream stream) {
  static ByteLock* const output_lock = new ByteLock();
  static ByteLock* const error_lock = new ByteLock();
  return stream == StdStream::output ? *output_lock : *error_lock;
}

[[noreturn]] void fail_write(StdStream stream, const std::string& error) {
  fail(std::string(stream == StdStream::output ? "failed printing to stdout: "
                                               : "failed printing to stderr: ") +
       error);
}

}  // namespace

void write_all(StdStream stream, std::string_view text) {
  auto written = try_write_all(stream, text);
  if (!written) fail_write(stream, written.error());
}

std::expected<void, std::string> try_write_line(StdStream stream, std::string_view line) {
  // Held across the whole write on purpose, even when the kernel blocks: that is what keeps lines
  // whole. The holder runs no Python code and holds no other lock. Streams that lead to one pipe
  // (`2>&1`, the usual way to log a program) are one stream for whole lines, so a line to either
  // takes both locks, in one order; separate pipes keep separate locks, so a full one holds up only
  // its own lines.
  const bool shared = standard_streams_share_file();
  ByteLock& lock = shared ? line_lock(StdStream::output) : line_lock(stream);
  lock.lock();
  if (shared) line_lock(StdStream::error).lock();
  auto written = try_write_all(stream, line);
  if (shared) line_lock(StdStream::error).unlock();
  lock.unlock();
  return written;
}

void write_line(StdStream stream, std::string_view line) {
  auto written = try_write_line(stream, line);
  if (!written) fail_write(stream, written.error());
}

void reset_line_lock_after_fork() {
  line_lock(StdStream::output).reset_after_fork();
  line_lock(StdStream::error).reset_after_fork();
}

}  // namespace metronyx::runtime
