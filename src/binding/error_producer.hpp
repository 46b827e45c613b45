// What a lazy error value will become once it is raised: the producer runs (once, with the
// interpreter lock held) and yields the exception type and its constructor argument.
//
// A producer that is destroyed without running releases what it captured through
// release_reference, so it may be destroyed on any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "binding/python.hpp"
#include "binding/refs.hpp"

namespace metronyx::binding {

// The interpreter's standard exception types that this module makes errors of.
enum class ExceptionKind : std::uint8_t {
  value_error,
  type_error,
  overflow_error,
  runtime_error,
  system_error,
  import_error,
};

// Borrowed: the interpreter's own type object for `kind`.
[[nodiscard]] PyObject* kind_type(ExceptionKind kind);

class ErrorProducer {
 public:
  struct Yield {
    OwnedRef type;
    OwnedRef argument;
  };

  virtual ~ErrorProducer() = default;
  ErrorProducer(const ErrorProducer&) = delete;
  ErrorProducer& operator=(const ErrorProducer&) = delete;

  // Interpreter lock held. Uses up the captured data; call at most once. When the interpreter
  // cannot make the exception's parts (no memory for a str or a tuple), the yield is empty and the
  // interpreter's own error (its MemoryError) is pending instead.
  [[nodiscard]] virtual Yield run() = 0;

  // The forms this module makes errors of:
  // kind and a text that lives as long as the program;
  [[nodiscard]] static std::unique_ptr<ErrorProducer> static_text(ExceptionKind kind,
                                                                  const char* text);
  // kind and an owned text;
  [[nodiscard]] static std::unique_ptr<ErrorProducer> owned_text(ExceptionKind kind,
                                                                 std::string text);
  // kind and a message formatted only when the producer runs (interpreter lock held then);
  [[nodiscard]] static std::unique_ptr<ErrorProducer> deferred_message(
      ExceptionKind kind, std::move_only_function<std::string()> format);
  // PanicException, whose argument is a 1-tuple holding the text;
  [[nodiscard]] static std::unique_ptr<ErrorProducer> panic(std::string text);
  // any object as the "type", with None as the argument.
  [[nodiscard]] static std::unique_ptr<ErrorProducer> object_and_none(OwnedRef object,
                                                                      OwnedRef none);

 protected:
  ErrorProducer() = default;
};

}  // namespace metronyx::binding
