// The module's only exported symbol: the interpreter calls it on `import metronyx`.
#include "binding/entry_frame.hpp"
#include "binding/module_definition.hpp"

PyMODINIT_FUNC PyInit_metronyx(void) {
  using namespace metronyx::binding;
  return method_entry_frame([] { return make_module(module_definition()); });
}
