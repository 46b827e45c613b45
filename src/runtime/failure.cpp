#include "runtime/failure.hpp"

#include <cstdlib>
#include <string>

#include "runtime/stdio.hpp"

namespace metronyx::runtime {

std::string_view InternalFailure::message() const {
  if (const auto* owned = std::get_if<std::string>(&payload_)) return *owned;
  if (const auto* fixed = std::get_if<const char*>(&payload_)) return *fixed;
  return {};
}

// The report is best effort: a failure to write it cannot itself be reported anywhere.
void report_failure(std::string_view message) {
  std::string line = "metronyx: internal failure: ";
  line.append(message);
  line.push_back('\n');
  (void)try_write_all(StdStream::error, line);
}

void fail(std::string message) {
  report_failure(message);
  throw InternalFailure(FailurePayload(std::move(message)));
}

void fail_static(const char* message) {
  report_failure(message);
  throw InternalFailure(FailurePayload(message));
}

void resume(std::string message) {
  throw InternalFailure(FailurePayload(std::move(message)));
}

void abort_with_report(std::string_view report) {
  std::string line = "fatal runtime error: ";
  line.append(report);
  line.push_back('\n');
  (void)try_write_all(StdStream::error, line);
  std::abort();
}

}  // namespace metronyx::runtime
