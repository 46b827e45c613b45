// The exception that a thread library unwinds a thread with when it ends the thread from outside
// (the interpreter does so to a thread that waits for its lock while it finalizes). It is not a
// failure of ours: every catch clause on a worker's path or at a boundary must let it pass, and
// names it through this header as `runtime::ForcedUnwind`.
//
// Where the C++ library has no such exception (MSVC: Windows ends such a thread in place, without
// unwinding it), `ForcedUnwind` is a type that nothing throws, so those clauses never match.
#pragma once

#if defined(__GLIBCXX__) && __has_include(<cxxabi.h>)
#include <cxxabi.h>

namespace metronyx::runtime {
using ForcedUnwind = abi::__forced_unwind;
}  // namespace metronyx::runtime
#else
namespace metronyx::runtime {
struct ForcedUnwind {};
}  // namespace metronyx::runtime
#endif
