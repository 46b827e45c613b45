#include "binding/error_producer.hpp"

#include "binding/py_err.hpp"

namespace metronyx::binding {

PyObject* kind_type(ExceptionKind kind) {
  switch (kind) {
    case ExceptionKind::value_error:
      return PyExc_ValueError;
    case ExceptionKind::type_error:
      return PyExc_TypeError;
    case ExceptionKind::overflow_error:
      return PyExc_OverflowError;
    case ExceptionKind::runtime_error:
      return PyExc_RuntimeError;
    case ExceptionKind::system_error:
      return PyExc_SystemError;
    case ExceptionKind::import_error:
      return PyExc_ImportError;
  }
  return PyExc_SystemError;
}

namespace {

// Empty, with the interpreter's error pending, when the str cannot be made.
OwnedRef new_str(std::string_view text) {
  return OwnedRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// The yield of a producer, or the empty one when a part could not be made.
ErrorProducer::Yield yield_of(PyObject* type, OwnedRef argument) {
  if (!argument) return {};
  return {OwnedRef::new_ref(type), std::move(argument)};
}

class StaticText final : public ErrorProducer {
 public:
  StaticText(ExceptionKind kind, const char* text) : kind_(kind), text_(text) {}
  Yield run() override { return yield_of(kind_type(kind_), new_str(text_)); }

 private:
  const ExceptionKind kind_;
  const char* const text_;
};

class OwnedText final : public ErrorProducer {
 public:
  OwnedText(ExceptionKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Yield run() override {
    OwnedRef argument = new_str(text_);
    std::string().swap(text_);
    return yield_of(kind_type(kind_), std::move(argument));
  }

 private:
  const ExceptionKind kind_;
  std::string text_;
};

class DeferredMessage final : public ErrorProducer {
 public:
  DeferredMessage(ExceptionKind kind, std::move_only_function<std::string()> format)
      : kind_(kind), format_(std::move(format)) {}
  Yield run() override {
    // Formatting happens only now, and what the formatter captured goes with it.
    auto format = std::move(format_);
    return yield_of(kind_type(kind_), new_str(format()));
  }

 private:
  const ExceptionKind kind_;
  std::move_only_function<std::string()> format_;
};

class PanicText final : public ErrorProducer {
 public:
  explicit PanicText(std::string text) : text_(std::move(text)) {}
  Yield run() override {
    PyObject* type = panic_exception_type_or_no_memory();
    if (type == nullptr) return {};
    OwnedRef message = new_str(text_);
    if (!message) return {};
    PyObject* tuple = PyTuple_New(1);
    if (tuple == nullptr) return {};
    PyTuple_SET_ITEM(tuple, 0, message.into_raw());
    return yield_of(type, OwnedRef::steal(tuple));
  }

 private:
  std::string text_;
};

class ObjectAndNone final : public ErrorProducer {
 public:
  ObjectAndNone(OwnedRef object, OwnedRef none)
      : object_(std::move(object)), none_(std::move(none)) {}
  Yield run() override { return {std::move(object_), std::move(none_)}; }

 private:
  OwnedRef object_;
  OwnedRef none_;
};

}  // namespace

std::unique_ptr<ErrorProducer> ErrorProducer::static_text(ExceptionKind kind, const char* text) {
  return std::make_unique<StaticText>(kind, text);
}
std::unique_ptr<ErrorProducer> ErrorProducer::owned_text(ExceptionKind kind, std::string text) {
  return std::make_unique<OwnedText>(kind, std::move(text));
}
std::unique_ptr<ErrorProducer> ErrorProducer::deferred_message(
    ExceptionKind kind, std::move_only_function<std::string()> format) {
  return std::make_unique<DeferredMessage>(kind, std::move(format));
}
std::unique_ptr<ErrorProducer> ErrorProducer::panic(std::string text) {
  return std::make_unique<PanicText>(std::move(text));
}
std::unique_ptr<ErrorProducer> ErrorProducer::object_and_none(OwnedRef object, OwnedRef none) {
  return std::make_unique<ObjectAndNone>(std::move(object), std::move(none));
}

}  // namespace metronyx::binding
