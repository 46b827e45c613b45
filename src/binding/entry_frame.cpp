#include "binding/entry_frame.hpp"

namespace metronyx::binding::detail {

void abort_cannot_unwind() {
  runtime::abort_with_report("panic in a function that cannot unwind");
}

void abort_foreign_exception() {
  runtime::abort_with_report(
      "a foreign exception reached an entry point from the interpreter; foreign exceptions "
      "cannot be caught there, so the process is aborted");
}

}  // namespace metronyx::binding::detail
