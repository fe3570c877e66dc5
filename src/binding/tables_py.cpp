// The classes Descriptor, ElementDefinition, SequenceDefinition and TableSet,
// and the module function expand_descriptors.
//
// Naming: `<Class>_<slot or method>` for the functions behind each class's
// slots and methods; `<class>_spec` for the type specs the module registers.
#include "binding/args.hpp"
#include "binding/module.hpp"

#include <structmember.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "data/plan.hpp"
#include "descriptor/descriptor.hpp"
#include "error/text.hpp"
#include "message/message.hpp"
#include "tables/bufr4_csv.hpp"
#include "tables/eccodes.hpp"
#include "tables/table_set.hpp"

namespace vantrel::py {
namespace {

// ---------------------------------------------------------------------------
// Descriptor

struct DescriptorObject {
  PyObject_HEAD
  std::uint8_t f;  // F part
  std::uint8_t x;  // X part
  std::uint8_t y;  // Y part
};

// The C views of the four object layouts (the object must be of that class).
DescriptorObject* as_descriptor(PyObject* object) { return reinterpret_cast<DescriptorObject*>(object); }

// The code F * 100000 + X * 1000 + Y of a Descriptor object.
std::uint32_t descriptor_code(PyObject* self) {
  const DescriptorObject* d = as_descriptor(self);
  return make_code(d->f, d->x, d->y);
}

// A new Descriptor of `type` with the given parts; null with an exception set on failure.
PyObject* new_descriptor(PyTypeObject* type, std::uint8_t f, std::uint8_t x, std::uint8_t y) {
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  DescriptorObject* d = as_descriptor(object);
  d->f = f;
  d->x = x;
  d->y = y;
  return object;
}

// Descriptor(f, x, y): three ints from 0 to 255, stored unchanged.
PyObject* Descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const FunctionSpec signature{"Descriptor.__new__", {"f", "x", "y"}};
  PyObject* bound[3];
  std::uint8_t f, x, y;
  if (!bind_tuple_arguments(signature, args, kwargs, bound) || !to_u8("f", bound[0], f) || !to_u8("x", bound[1], x) ||
      !to_u8("y", bound[2], y)) {
    return nullptr;
  }
  return new_descriptor(type, f, x, y);
}

// Descriptor.from_fxy(code): the parts of a u32 code, each narrowed to 8 bits.
PyObject* Descriptor_from_fxy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"Descriptor.from_fxy", {"code"}};
  PyObject* bound[1];
  std::uint32_t code;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) || !to_u32("code", bound[0], code)) return nullptr;
  return new_descriptor(types.descriptor, narrow8(code_f(code)), narrow8(code_x(code)), narrow8(code_y(code)));
}

PyObject* Descriptor_get_fxy(PyObject* self, void*) { return PyLong_FromUnsignedLong(descriptor_code(self)); }

// "Descriptor(001001)".
PyObject* Descriptor_repr(PyObject* self) {
  std::string text = "Descriptor(";
  append_code(text, descriptor_code(self));
  text += ')';
  return make_str(text).release();
}

PyMemberDef descriptor_members[] = {
    {"f", T_UBYTE, offsetof(DescriptorObject, f), READONLY, nullptr},
    {"x", T_UBYTE, offsetof(DescriptorObject, x), READONLY, nullptr},
    {"y", T_UBYTE, offsetof(DescriptorObject, y), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef descriptor_getset[] = {
    {"fxy", guarded<Descriptor_get_fxy>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef descriptor_methods[] = {
    {"from_fxy", as_method(guarded<Descriptor_from_fxy>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_fxy(code)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot descriptor_slots[] = {
    {Py_tp_doc, const_cast<char*>("Descriptor(f, x, y)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(guarded<Descriptor_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<Descriptor_repr>)},
    {Py_tp_members, descriptor_members},
    {Py_tp_getset, descriptor_getset},
    {Py_tp_methods, descriptor_methods},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// ElementDefinition

struct ElementObject {
  PyObject_HEAD
  vantrel::ElementDefinition element;  // the copied entry, constructed in place
};

ElementObject* as_element(PyObject* object) { return reinterpret_cast<ElementObject*>(object); }

// Destroys the C++ payload, then frees the object.
void Element_dealloc(PyObject* self) {
  as_element(self)->element.~ElementDefinition();
  free_instance(self);
}

// Getter of one field: str for texts, int for numbers.
template <auto Field>
PyObject* Element_get(PyObject* self, void*) {
  const auto& value = as_element(self)->element.*Field;
  using T = std::remove_cvref_t<decltype(value)>;
  if constexpr (std::is_same_v<T, std::string>) {
    return make_str(value).release();
  } else if constexpr (std::is_signed_v<T>) {
    return PyLong_FromLongLong(value);
  } else {
    return PyLong_FromUnsignedLongLong(value);
  }
}

// "ElementDefinition(001001, name="...")" with the name quoted and escaped.
PyObject* Element_repr(PyObject* self) {
  const vantrel::ElementDefinition& element = as_element(self)->element;
  std::string text = "ElementDefinition(";
  append_code(text, element.code);
  text += ", name=";
  append_quoted(text, element.name);
  text += ')';
  return make_str(text).release();
}

using E = vantrel::ElementDefinition;
#define VANTREL_ELEMENT_FIELD(name) {#name, guarded<Element_get<&E::name>>, nullptr, nullptr, nullptr}
PyGetSetDef element_getset[] = {
    VANTREL_ELEMENT_FIELD(code),
    VANTREL_ELEMENT_FIELD(abbreviation),
    VANTREL_ELEMENT_FIELD(element_type),
    VANTREL_ELEMENT_FIELD(name),
    VANTREL_ELEMENT_FIELD(unit),
    VANTREL_ELEMENT_FIELD(scale),
    VANTREL_ELEMENT_FIELD(reference),
    VANTREL_ELEMENT_FIELD(width),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef VANTREL_ELEMENT_FIELD

PyType_Slot element_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Element_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<Element_repr>)},
    {Py_tp_getset, element_getset},
    {0, nullptr},
};

// A new ElementDefinition object holding a copy of `element`. The copy is
// made before the object exists: a copy that fails part-way must not leave
// an object whose dealloc would destroy members that were never built.
PyObject* wrap_element(const vantrel::ElementDefinition& element) {
  vantrel::ElementDefinition copy(element);
  return new_instance<ElementObject, &ElementObject::element>(types.element_definition, std::move(copy)).release();
}

// ---------------------------------------------------------------------------
// SequenceDefinition

struct SequenceObject {
  PyObject_HEAD
  vantrel::SequenceDefinition sequence;  // the copied entry, constructed in place
};

SequenceObject* as_sequence(PyObject* object) { return reinterpret_cast<SequenceObject*>(object); }

void Sequence_dealloc(PyObject* self) {
  as_sequence(self)->sequence.~SequenceDefinition();
  free_instance(self);
}

PyObject* Sequence_get_code(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as_sequence(self)->sequence.code);
}

// A new list on every access, so changing it changes nothing stored.
PyObject* Sequence_get_members(PyObject* self, void*) { return make_code_list(as_sequence(self)->sequence.members).release(); }

// "SequenceDefinition(301001, members=[1001, 1002])".
PyObject* Sequence_repr(PyObject* self) {
  const vantrel::SequenceDefinition& sequence = as_sequence(self)->sequence;
  std::string text = "SequenceDefinition(";
  append_code(text, sequence.code);
  text += ", members=[";
  for (std::size_t i = 0; i < sequence.members.size(); ++i) {
    if (i != 0) text += ", ";
    text += std::to_string(sequence.members[i]);
  }
  text += "])";
  return make_str(text).release();
}

PyGetSetDef sequence_getset[] = {
    {"code", guarded<Sequence_get_code>, nullptr, nullptr, nullptr},
    {"members", guarded<Sequence_get_members>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sequence_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Sequence_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<Sequence_repr>)},
    {Py_tp_getset, sequence_getset},
    {0, nullptr},
};

// A new SequenceDefinition object holding a copy of `sequence`, copied first
// for the same reason as in wrap_element.
PyObject* wrap_sequence(const vantrel::SequenceDefinition& sequence) {
  vantrel::SequenceDefinition copy(sequence);
  return new_instance<SequenceObject, &SequenceObject::sequence>(types.sequence_definition, std::move(copy))
      .release();
}

// ---------------------------------------------------------------------------
// TableSet

struct TableSetObject {
  PyObject_HEAD
  vantrel::TableSet tables;  // filled once by a loader, constructed in place
  vantrel::PlanCache plans;  // decode plans compiled against `tables`, constructed in place after it
};

TableSetObject* as_table_set(PyObject* object) { return reinterpret_cast<TableSetObject*>(object); }

// A new TableSet object of `type` taking over `tables`; null with an exception set.
PyRef new_table_set(PyTypeObject* type, vantrel::TableSet&& tables) {
  static_assert(std::is_nothrow_constructible_v<vantrel::PlanCache, const vantrel::TableSet&>);
  PyRef object = new_instance<TableSetObject, &TableSetObject::tables>(type, std::move(tables));
  if (object) {
    TableSetObject* self = as_table_set(object.get());
    new (&self->plans) vantrel::PlanCache(self->tables);
  }
  return object;
}

// Wraps a loader's result, or raises its error.
PyObject* table_set_result(Result<vantrel::TableSet>&& result) {
  if (!result) return raise_bufr_error(result.error());
  return new_table_set(types.table_set, std::move(*result)).release();
}

// Expands `codes` through `tables` into a new list, or raises the expansion's error.
PyObject* expand_to_list(const vantrel::TableSet& tables, const std::vector<std::uint32_t>& codes) {
  std::vector<std::uint32_t> output;
  ExpansionState state;
  const auto appended = tables.expand_into(codes, output, state, 0);
  if (!appended) return raise_bufr_error(appended.error());
  return make_code_list(output).release();
}

// TableSet(): an empty table set; any argument is refused.
PyObject* TableSet_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const FunctionSpec signature{"TableSet.__new__", {}};
  if (!bind_tuple_arguments(signature, args, kwargs, nullptr)) return nullptr;
  return new_table_set(type, vantrel::TableSet()).release();
}

void TableSet_dealloc(PyObject* self) {
  as_table_set(self)->plans.~PlanCache();
  as_table_set(self)->tables.~TableSet();
  free_instance(self);
}

// The lookups: a new copy of the entry, or None. `code` is a u32, `raw` a u64.
PyObject* TableSet_get_element(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"TableSet.get_element", {"code"}};
  PyObject* bound[1];
  std::uint32_t code;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) || !to_u32("code", bound[0], code)) return nullptr;
  const vantrel::ElementDefinition* element = as_table_set(self)->tables.element(code);
  if (element == nullptr) Py_RETURN_NONE;
  return wrap_element(*element);
}

PyObject* TableSet_get_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"TableSet.get_sequence", {"code"}};
  PyObject* bound[1];
  std::uint32_t code;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) || !to_u32("code", bound[0], code)) return nullptr;
  const vantrel::SequenceDefinition* sequence = as_table_set(self)->tables.sequence(code);
  if (sequence == nullptr) Py_RETURN_NONE;
  return wrap_sequence(*sequence);
}

PyObject* TableSet_get_meaning(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"TableSet.get_meaning", {"code", "raw"}};
  PyObject* bound[2];
  std::uint32_t code;
  std::uint64_t raw;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) || !to_u32("code", bound[0], code) ||
      !to_u64("raw", bound[1], raw)) {
    return nullptr;
  }
  const std::string* meaning = as_table_set(self)->tables.code_meaning(code, raw);
  if (meaning == nullptr) Py_RETURN_NONE;
  return make_str(*meaning).release();
}

// expand(descriptors): the flat expansion as a new list of ints.
PyObject* TableSet_expand(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"TableSet.expand", {"descriptors"}};
  PyObject* bound[1];
  std::vector<std::uint32_t> codes;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) || !to_code_list("descriptors", bound[0], codes)) {
    return nullptr;
  }
  return expand_to_list(as_table_set(self)->tables, codes);
}

// The loaders (static methods): a new TableSet from a table directory, a
// definitions root and a BufrMessage, or a WMO CSV directory.
PyObject* TableSet_from_eccodes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"TableSet.from_eccodes", {"path"}};
  PyObject* bound[1];
  std::string path;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) || !to_path("path", bound[0], path)) return nullptr;
  return table_set_result(from_eccodes_dir(path));
}

PyObject* TableSet_from_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"TableSet.from_definitions", {"path", "message"}};
  PyObject* bound[2];
  std::string path;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) || !to_path("path", bound[0], path) ||
      !check_instance("message", bound[1], types.bufr_message, "BufrMessage")) {
    return nullptr;
  }
  return table_set_result(from_eccodes_definitions(path, bufr_message_of(bound[1])));
}

PyObject* TableSet_from_bufr4_45(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"TableSet.from_bufr4_45", {"path"}};
  PyObject* bound[1];
  std::string path;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) || !to_path("path", bound[0], path)) return nullptr;
  return table_set_result(from_bufr4_45(path));
}

// Entry counts and "TableSet(elements=N, sequences=M)".
PyObject* TableSet_get_element_count(PyObject* self, void*) {
  return PyLong_FromSize_t(as_table_set(self)->tables.element_count());
}

PyObject* TableSet_get_sequence_count(PyObject* self, void*) {
  return PyLong_FromSize_t(as_table_set(self)->tables.sequence_count());
}

PyObject* TableSet_repr(PyObject* self) {
  const vantrel::TableSet& tables = as_table_set(self)->tables;
  const std::string text = "TableSet(elements=" + std::to_string(tables.element_count()) +
                           ", sequences=" + std::to_string(tables.sequence_count()) + ")";
  return make_str(text).release();
}

PyMethodDef table_set_methods[] = {
    {"from_eccodes", as_method(guarded<TableSet_from_eccodes>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_eccodes(path)\n--\n\n"},
    {"from_definitions", as_method(guarded<TableSet_from_definitions>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_definitions(path, message)\n--\n\n"},
    {"from_bufr4_45", as_method(guarded<TableSet_from_bufr4_45>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_bufr4_45(path)\n--\n\n"},
    {"get_element", as_method(guarded<TableSet_get_element>), METH_FASTCALL | METH_KEYWORDS, "get_element($self, code)\n--\n\n"},
    {"get_sequence", as_method(guarded<TableSet_get_sequence>), METH_FASTCALL | METH_KEYWORDS,
     "get_sequence($self, code)\n--\n\n"},
    {"get_meaning", as_method(guarded<TableSet_get_meaning>), METH_FASTCALL | METH_KEYWORDS,
     "get_meaning($self, code, raw)\n--\n\n"},
    {"expand", as_method(guarded<TableSet_expand>), METH_FASTCALL | METH_KEYWORDS, "expand($self, descriptors)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_set_getset[] = {
    {"element_count", guarded<TableSet_get_element_count>, nullptr, nullptr, nullptr},
    {"sequence_count", guarded<TableSet_get_sequence_count>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_set_slots[] = {
    {Py_tp_doc, const_cast<char*>("TableSet()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(guarded<TableSet_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(TableSet_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<TableSet_repr>)},
    {Py_tp_methods, table_set_methods},
    {Py_tp_getset, table_set_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec descriptor_spec = {
    "builtins.Descriptor",
    sizeof(DescriptorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    descriptor_slots,
};

PyType_Spec element_definition_spec = {
    "builtins.ElementDefinition",
    sizeof(ElementObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    element_slots,
};

PyType_Spec sequence_definition_spec = {
    "builtins.SequenceDefinition",
    sizeof(SequenceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    sequence_slots,
};

PyType_Spec table_set_spec = {
    "builtins.TableSet",
    sizeof(TableSetObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    table_set_slots,
};

const vantrel::TableSet& table_set_of(PyObject* object) { return as_table_set(object)->tables; }

vantrel::PlanCache& plan_cache_of(PyObject* object) { return as_table_set(object)->plans; }

PyRef wrap_table_set(vantrel::TableSet tables) { return new_table_set(types.table_set, std::move(tables)); }

// expand_descriptors(table_dir, descriptors): loads the directory, then expands
// like TableSet.expand; the table set lives only for the call.
PyObject* expand_descriptors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"expand_descriptors", {"table_dir", "descriptors"}};
  PyObject* bound[2];
  std::string table_dir;
  std::vector<std::uint32_t> codes;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) || !to_path("table_dir", bound[0], table_dir) ||
      !to_code_list("descriptors", bound[1], codes)) {
    return nullptr;
  }
  Result<vantrel::TableSet> tables = from_eccodes_dir(table_dir);
  if (!tables) return raise_bufr_error(tables.error());
  return expand_to_list(*tables, codes);
}

}  // namespace vantrel::py
