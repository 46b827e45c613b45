// Writing whole lines to the process's standard streams, bypassing the interpreter's sys.stdout and
// sys.stderr on purpose: worker output must reach the real file descriptors even when Python code
// has redirected its own streams.
//
// Threads: any, with or without the interpreter lock (the line forms: without it). Each line is
// handed to the kernel in as few write(2) calls as it takes (one, unless the kernel accepts only
// part of it), so lines from different threads do not interleave inside a line when the descriptor
// is a pipe or a terminal.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace metronyx::runtime {

enum class StdStream { output = 1, error = 2 };

// Writes all of `text`, retrying on EINTR and partial writes. Returns the errno text on failure.
[[nodiscard]] std::expected<void, std::string> try_write_all(StdStream stream,
                                                             std::string_view text);

// Writes all of `text`; a failed write is an internal failure whose message names the stream.
void write_all(StdStream stream, std::string_view text);

// Whether standard output and standard error lead to the same file, pipe or terminal (`2>&1`),
// as the operating system tells now. False when either cannot be examined.
[[nodiscard]] bool standard_streams_share_file();

// Writes one whole line as `try_write_all` does, holding the stream's line lock meanwhile (one per
// stream, process-wide; both, always output's first, while the two streams share a file), so that
// no other line written this way lands inside it, however long it is and however many pieces the
// kernel takes it in. For threads that do not hold the interpreter
// lock: a slow or full pipe then holds up only the writers, never the interpreter (a program that
// reads its own stderr pipe on a Python thread must be able to run to drain it).
[[nodiscard]] std::expected<void, std::string> try_write_line(StdStream stream,
                                                              std::string_view line);
// The same; a failed write is an internal failure as in `write_all`.
void write_line(StdStream stream, std::string_view line);

// In a child process right after fork: frees the line locks that threads of the parent held.
void reset_line_lock_after_fork();

}  // namespace metronyx::runtime
