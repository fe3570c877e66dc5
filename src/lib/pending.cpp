// Placeholders for the classes and functions whose files are still being
// written; each is a weak definition that the real one replaces at link time.
#include "lib/module.hpp"

namespace vantrel::py {
namespace {

PyObject* not_implemented(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
  return nullptr;
}

PyType_Slot empty_slots[] = {{0, nullptr}};

}  // namespace

#define VANTREL_PENDING_TYPE(var, name, flags) \
  __attribute__((weak)) PyType_Spec var = {name, sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | (flags), empty_slots};
VANTREL_PENDING_TYPE(decoded_value_spec, "builtins.DecodedValue", Py_TPFLAGS_DISALLOW_INSTANTIATION)
VANTREL_PENDING_TYPE(descriptor_spec, "builtins.Descriptor", 0)
VANTREL_PENDING_TYPE(element_definition_spec, "builtins.ElementDefinition", Py_TPFLAGS_DISALLOW_INSTANTIATION)
VANTREL_PENDING_TYPE(sequence_definition_spec, "builtins.SequenceDefinition", Py_TPFLAGS_DISALLOW_INSTANTIATION)
VANTREL_PENDING_TYPE(table_set_spec, "builtins.TableSet", 0)

#define VANTREL_PENDING_FUNCTION(name) \
  __attribute__((weak)) VANTREL_FASTCALL(name) { return not_implemented(self, args, nargs, kwnames); }
VANTREL_PENDING_FUNCTION(expand_descriptors)
VANTREL_PENDING_FUNCTION(decode_values)
VANTREL_PENDING_FUNCTION(decode_values_with_tables)
VANTREL_PENDING_FUNCTION(decode_values_with_definitions)

}  // namespace vantrel::py
