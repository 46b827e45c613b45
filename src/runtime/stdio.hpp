// Writing whole lines to the process's standard streams, bypassing the interpreter's sys.stdout and
// sys.stderr on purpose: worker output must reach the real file descriptors even when Python code
// has redirected its own streams.
//
// Threads: any, with or without the interpreter lock. Each line is handed to the kernel in as few
// write(2) calls as it takes (one, unless the kernel accepts only part of it), so lines from
// different threads do not interleave inside a line when the descriptor is a pipe or a terminal.
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

}  // namespace metronyx::runtime
