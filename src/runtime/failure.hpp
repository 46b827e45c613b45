// Internal failures: the one way native code gives up on an operation.
//
// An internal failure is a broken invariant or an impossible state. It carries a payload (as a rule
// a text), unwinds the current native operation, and is caught only at a boundary with the
// interpreter: a method entry frame turns it into a raised PanicException, the deallocation slot
// reports it as unraisable, and a worker thread simply ends.
//
// Threads: any. `fail` writes its report to standard error before it throws; `resume` does not,
// because the failure was already reported where it first started.
#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace metronyx::runtime {

// What a failure carries. Owned and static texts become the PanicException's message; anything
// else (`OpaquePayload`) gets a fixed default message at the boundary.
struct OpaquePayload {};
using FailurePayload = std::variant<std::string, const char*, OpaquePayload>;

// Deliberately not derived from std::exception: only the boundaries name this type, so no generic
// `catch (const std::exception&)` anywhere can swallow a failure by accident.
class InternalFailure {
 public:
  explicit InternalFailure(FailurePayload payload) : payload_(std::move(payload)) {}

  // The payload's text, or an empty view for an opaque payload.
  [[nodiscard]] std::string_view message() const;
  [[nodiscard]] FailurePayload take_payload() { return std::move(payload_); }

 private:
  FailurePayload payload_;
};

// Starts an internal failure: writes the report with `message` to standard error, then throws.
[[noreturn]] void fail(std::string message);
[[noreturn]] void fail_static(const char* message);
// Continues a failure that was already reported elsewhere: throws without writing anything.
[[noreturn]] void resume(std::string message);

// Writes the report that marks the start of a failure, without starting one (for scopes that
// detect a failure while another is already unwinding through them).
void report_failure(std::string_view message);

// Ends the process at once after writing `report` and a newline to standard error. For failures
// that would otherwise leave an entry point into the interpreter.
[[noreturn]] void abort_with_report(std::string_view report);

}  // namespace metronyx::runtime
