// The module's only exported symbol: the interpreter calls it on `import metronyx`.
#include "binding/entry_frame.hpp"
#include "binding/module_definition.hpp"
#include "runtime/threads.hpp"

PyMODINIT_FUNC PyInit_metronyx(void) {
  using namespace metronyx::binding;
  // The importing thread (as a rule the main thread) gets its C++ runtime state now, while memory
  // is there, so that running out later is a MemoryError of a method there.
  metronyx::runtime::touch_cxx_thread_state();
  return method_entry_frame([] { return make_module(module_definition()); });
}
