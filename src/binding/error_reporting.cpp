// Reporting error values: printing, unraisable reports, and the text and debug forms of objects.
#include <string>

#include "binding/gil_guard.hpp"
#include "binding/py_err.hpp"

namespace metronyx::binding {

void PyErr::print() {
  PyErr copy = normalized(OwnedRef::new_ref(value()));
  std::move(copy).restore();
  PyErr_PrintEx(0);
}

void PyErr::write_unraisable(PyObject* context) && {
  PyErr consumed = std::move(*this);
  std::move(consumed).restore();
  PyErr_WriteUnraisable(context);
}

void PyErr::debug_form(std::string& sink) {
  GilGuard guard = GilGuard::acquire();
  PyObject* instance = value();
  OwnedRef type = OwnedRef::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(instance)));
  sink += "PyErr { type: ";
  format_object(type.get(), TextForm::debug, sink);
  sink += ", value: ";
  format_object(instance, TextForm::debug, sink);
  sink += ", traceback: ";
  if (PyObject* traceback = PyException_GetTraceback(instance)) {
    sink += "Some(";
    format_object(traceback, TextForm::debug, sink);
    sink += ')';
    release_reference(traceback);
  } else {
    sink += "None";
  }
  sink += " }";
}

std::string PyErr::debug_form() {
  std::string text;
  debug_form(text);
  return text;
}

void format_object(PyObject* object, TextForm form, std::string& sink) {
  PyObject* result = form == TextForm::text ? PyObject_Str(object) : PyObject_Repr(object);
  if (result != nullptr) {
    sink += str_to_utf8_lossy(result);
    release_reference(result);
    return;
  }
  // One object's broken __str__/__repr__ must not break the surrounding text: report it, then
  // name the object by its type.
  PyErr::fetch().write_unraisable(object);
  OwnedRef type = OwnedRef::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  if (PyObject* name = PyType_GetName(reinterpret_cast<PyTypeObject*>(type.get()))) {
    sink += "<unprintable ";
    format_object(name, TextForm::text, sink);
    sink += " object>";
    release_reference(name);
  } else {
    (void)PyErr::fetch();
    sink += "<unprintable object>";
  }
}

namespace {

// Appends the UTF-8 text `bytes`, replacing each maximal ill-formed subsequence with U+FFFD, as
// the Unicode standard recommends for decoders (so an encoded lone surrogate, ED A0 80, becomes
// three replacement characters: ED cannot start a valid sequence with A0 after it).
void append_utf8_lossy(std::string_view bytes, std::string& out) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  auto in_range = [](unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
  };
  size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    size_t length = 0;
    unsigned char second_low = 0x80, second_high = 0xBF;
    if (lead < 0x80) {
      length = 1;
    } else if (in_range(lead, 0xC2, 0xDF)) {
      length = 2;
    } else if (in_range(lead, 0xE0, 0xEF)) {
      length = 3;
      if (lead == 0xE0) second_low = 0xA0;
      if (lead == 0xED) second_high = 0x9F;
    } else if (in_range(lead, 0xF0, 0xF4)) {
      length = 4;
      if (lead == 0xF0) second_low = 0x90;
      if (lead == 0xF4) second_high = 0x8F;
    }
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    size_t valid = 1;
    while (valid < length && i + valid < bytes.size()) {
      const auto next = static_cast<unsigned char>(bytes[i + valid]);
      const bool ok =
          valid == 1 ? in_range(next, second_low, second_high) : in_range(next, 0x80, 0xBF);
      if (!ok) break;
      ++valid;
    }
    if (valid == length) {
      out.append(bytes.substr(i, length));
    } else {
      out += kReplacement;
    }
    i += valid;
  }
}

}  // namespace

std::string str_to_utf8_lossy(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
    return std::string(utf8, static_cast<size_t>(size));
  }
  // Only a str holding lone surrogates gets here; its error says nothing the text will not show.
  (void)PyErr::take();
  PyObject* bytes = PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass");
  if (bytes == nullptr) fail_on_api_error();
  std::string text;
  append_utf8_lossy(
      std::string_view(PyBytes_AsString(bytes), static_cast<size_t>(PyBytes_Size(bytes))), text);
  release_reference(bytes);
  return text;
}

}  // namespace metronyx::binding
