// What the module's files share: the six heap types (created once by
// PyInit__vantrel and kept for the life of the process) and the entry points
// each file contributes to the module's function table.
#pragma once

#include "binding/py_ref.hpp"

#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <vector>
#include <type_traits>

#include "error/error.hpp"

namespace vantrel::py {

struct ModuleTypes {
  PyTypeObject* bufr_message = nullptr;
  PyTypeObject* decoded_value = nullptr;
  PyTypeObject* descriptor = nullptr;
  PyTypeObject* element_definition = nullptr;
  PyTypeObject* sequence_definition = nullptr;
  PyTypeObject* table_set = nullptr;
};
extern ModuleTypes types;

// A new instance of `type` whose C++ payload, the member `Member` of the
// instance struct `Object`, is move-constructed from `payload`. The payload is
// complete before the object exists, and moving it cannot throw, so a failure
// never leaves an object whose dealloc would destroy an unbuilt member.
template <class Object, auto Member, class Payload>
PyRef new_instance(PyTypeObject* type, Payload&& payload) {
  static_assert(std::is_nothrow_move_constructible_v<std::remove_cvref_t<Payload>>);
  PyRef object = PyRef::steal(type->tp_alloc(type, 0));
  if (!object) return object;
  auto* instance = reinterpret_cast<Object*>(object.get());
  new (&(instance->*Member)) std::remove_cvref_t<Payload>(std::move(payload));
  return object;
}

// Frees an instance of one of these heap types once its C++ payload has been
// destroyed, and drops the reference every instance holds to its type.
inline void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Type specs, each in the file of its class.
extern PyType_Spec bufr_message_spec;         // message_py.cpp
extern PyType_Spec decoded_value_spec;        // values_py.cpp
extern PyType_Spec descriptor_spec;           // tables_py.cpp
extern PyType_Spec element_definition_spec;   // tables_py.cpp
extern PyType_Spec sequence_definition_spec;  // tables_py.cpp
extern PyType_Spec table_set_spec;            // tables_py.cpp

// Module functions (METH_FASTCALL | METH_KEYWORDS).
#define VANTREL_FASTCALL(name) PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
VANTREL_FASTCALL(parse_bytes);                     // message_py.cpp
VANTREL_FASTCALL(parse_file);                      // message_py.cpp
VANTREL_FASTCALL(parse_all_bytes);                 // message_py.cpp
VANTREL_FASTCALL(parse_all_file);                  // message_py.cpp
VANTREL_FASTCALL(expand_descriptors);              // tables_py.cpp
VANTREL_FASTCALL(decode_values);                   // values_py.cpp
VANTREL_FASTCALL(decode_values_with_tables);       // values_py.cpp
VANTREL_FASTCALL(decode_values_with_definitions);  // values_py.cpp

}  // namespace vantrel::py

namespace vantrel {
struct BufrMessage;
class TableSet;
class PlanCache;
struct DecodeReport;
enum class Rules : std::uint8_t;
}  // namespace vantrel

namespace vantrel::py {

// The record inside a BufrMessage object (object must be an instance of types.bufr_message).
const vantrel::BufrMessage& bufr_message_of(PyObject* object);     // message_py.cpp
// A new BufrMessage object holding `message`; null with an exception set on failure.
PyRef wrap_bufr_message(vantrel::BufrMessage message);              // message_py.cpp
// A new list of DecodedValue objects for the section 4 `data` of `message`
// decoded with `tables` under `rules`; null with an exception set on failure.
// For non-compressed data `subset_starts`, when given, receives the list
// index where each subset's records start; `report`, when given, what the
// decode tells besides its values; `failed`, when given, the kind of the
// decode's error when it fails. `plans` caches decode plans for `tables` (or
// is null).
PyObject* decode_to_list(const vantrel::BufrMessage& message, std::span<const std::uint8_t> data,
                         const vantrel::TableSet& tables, vantrel::Rules rules, vantrel::PlanCache* plans,
                         std::vector<std::size_t>* subset_starts = nullptr, vantrel::DecodeReport* report = nullptr,
                         std::optional<vantrel::ErrorKind>* failed = nullptr);  // values_py.cpp
// The table set inside a TableSet object (object must be an instance of types.table_set).
const vantrel::TableSet& table_set_of(PyObject* object);           // tables_py.cpp
// Its cache of decode plans (serving that table set only).
vantrel::PlanCache& plan_cache_of(PyObject* object);               // tables_py.cpp
// A new TableSet object taking over `tables`; null with an exception set on failure.
PyRef wrap_table_set(vantrel::TableSet tables);                    // tables_py.cpp

}  // namespace vantrel::py
