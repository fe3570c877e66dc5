// Module initialisation: one module object per process, created by the first
// PyInit__vantrel call; the six heap types are created once and kept.
#include "binding/module.hpp"

#include "binding/args.hpp"

namespace vantrel::py {


namespace {

#define VANTREL_FUNCTION(name, signature) {#name, as_method(guarded<name>), METH_FASTCALL | METH_KEYWORDS, signature}

// Each docstring is only the text signature.
PyMethodDef module_functions[] = {
    VANTREL_FUNCTION(parse_bytes, "parse_bytes(data)\n--\n\n"),
    VANTREL_FUNCTION(parse_file, "parse_file(path)\n--\n\n"),
    VANTREL_FUNCTION(parse_all_bytes, "parse_all_bytes(data)\n--\n\n"),
    VANTREL_FUNCTION(parse_all_file, "parse_all_file(path)\n--\n\n"),
    VANTREL_FUNCTION(expand_descriptors, "expand_descriptors(table_dir, descriptors)\n--\n\n"),
    VANTREL_FUNCTION(decode_values, "decode_values(data, table_dir)\n--\n\n"),
    VANTREL_FUNCTION(decode_values_with_tables, "decode_values_with_tables(data, tables)\n--\n\n"),
    VANTREL_FUNCTION(decode_values_with_definitions, "decode_values_with_definitions(data, definitions_root)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vantrel",
    "",  // the module docstring is empty
    0,   // no per-module state
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;                 // the one module object, owned for the process
PyInterpreterState* module_interpreter = nullptr;  // the interpreter that created it

struct TypeEntry {
  const char* name;
  PyType_Spec* signature;
  PyTypeObject** slot;
};

// Creates the module, then adds the classes and the functions in their fixed order.
PyRef create_module() {
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return module;
  const TypeEntry entries[] = {
      {"BufrMessage", &bufr_message_spec, &types.bufr_message},
      {"DecodedValue", &decoded_value_spec, &types.decoded_value},
      {"Descriptor", &descriptor_spec, &types.descriptor},
      {"ElementDefinition", &element_definition_spec, &types.element_definition},
      {"SequenceDefinition", &sequence_definition_spec, &types.sequence_definition},
      {"TableSet", &table_set_spec, &types.table_set},
  };
  for (const TypeEntry& entry : entries) {
    if (*entry.slot == nullptr) {
      // Types live as long as the process: the reference made here is never released.
      PyRef type = PyRef::steal(PyType_FromSpec(entry.signature));
      if (!type) return PyRef();
      *entry.slot = reinterpret_cast<PyTypeObject*>(type.release());
    }
    PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(*entry.slot));
    if (PyModule_AddObject(module.get(), entry.name, type.get()) < 0) return PyRef();
    (void)type.release();  // the module now holds that reference
  }
  if (PyModule_AddFunctions(module.get(), module_functions) < 0) return PyRef();
  return module;
}

}  // namespace
}  // namespace vantrel::py

PyMODINIT_FUNC PyInit__vantrel() {
  using namespace vantrel::py;
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (the_module != nullptr) {
    if (interpreter != module_interpreter) {
      PyErr_SetString(PyExc_ImportError, "_vantrel can only be initialised in one interpreter per process");
      return nullptr;
    }
    return PyRef::borrow(the_module).release();
  }
  PyRef module = create_module();
  if (!module) return nullptr;
  the_module = module.new_ref();  // kept for the life of the process
  module_interpreter = interpreter;
  return module.release();
}
