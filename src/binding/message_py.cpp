// The BufrMessage class and the four message functions.
#include <new>
#include <string>
#include <type_traits>

#include "binding/args.hpp"
#include "binding/module.hpp"
#include "message/message.hpp"

namespace vantrel::py {
namespace {

struct MessageObject {
  PyObject_HEAD
  vantrel::BufrMessage message;  // constructed in place by wrap_bufr_message
};

MessageObject* as_message_object(PyObject* object) { return reinterpret_cast<MessageObject*>(object); }

void Message_dealloc(PyObject* self) {
  as_message_object(self)->message.~BufrMessage();
  free_instance(self);
}

// Getter of one numeric or boolean field: ints for numbers, bools for flags.
template <auto Field>
PyObject* Message_get(PyObject* self, void*) {
  const auto value = as_message_object(self)->message.*Field;
  if constexpr (std::is_same_v<std::remove_cv_t<decltype(value)>, bool>) {
    return PyBool_FromLong(value);
  } else {
    return PyLong_FromUnsignedLongLong(value);
  }
}

PyObject* Message_get_descriptors(PyObject* self, void*) {
  return make_code_list(as_message_object(self)->message.unexpanded_descriptors).release();
}

PyObject* Message_repr(PyObject* self) {
  const auto& m = as_message_object(self)->message;
  std::string text = "BufrMessage(edition=" + std::to_string(m.edition) + ", length=" +
                     std::to_string(m.total_length) + ", subsets=" + std::to_string(m.number_of_subsets) +
                     ", descriptors=[";
  for (std::size_t i = 0; i < m.unexpanded_descriptors.size(); ++i) {
    if (i != 0) text += ", ";
    text += std::to_string(m.unexpanded_descriptors[i]);
  }
  text += "])";
  return make_str(text).release();
}

using M = vantrel::BufrMessage;
#define VANTREL_FIELD(name) {#name, guarded<Message_get<&M::name>>, nullptr, nullptr, nullptr}

PyGetSetDef message_getset[] = {
    VANTREL_FIELD(total_length),
    VANTREL_FIELD(edition),
    VANTREL_FIELD(section1_length),
    VANTREL_FIELD(master_table_number),
    VANTREL_FIELD(originating_centre),
    VANTREL_FIELD(originating_subcentre),
    VANTREL_FIELD(update_sequence_number),
    VANTREL_FIELD(local_section_present),
    VANTREL_FIELD(data_category),
    VANTREL_FIELD(international_data_subcategory),
    VANTREL_FIELD(local_data_subcategory),
    VANTREL_FIELD(master_tables_version_number),
    VANTREL_FIELD(local_tables_version_number),
    VANTREL_FIELD(typical_year),
    VANTREL_FIELD(typical_month),
    VANTREL_FIELD(typical_day),
    VANTREL_FIELD(typical_hour),
    VANTREL_FIELD(typical_minute),
    VANTREL_FIELD(typical_second),
    VANTREL_FIELD(section2_length),
    VANTREL_FIELD(section3_length),
    VANTREL_FIELD(number_of_subsets),
    VANTREL_FIELD(observed_data),
    VANTREL_FIELD(compressed_data),
    {"unexpanded_descriptors", guarded<Message_get_descriptors>, nullptr, nullptr, nullptr},
    VANTREL_FIELD(section4_length),
    VANTREL_FIELD(section4_data_offset),
    VANTREL_FIELD(section4_data_length),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef VANTREL_FIELD

PyType_Slot message_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Message_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<Message_repr>)},
    {Py_tp_getset, message_getset},
    {0, nullptr},
};

// Parses every message of `buffer` into a new list.
PyObject* parse_all(vantrel::Bytes buffer) {
  auto slices = vantrel::split_messages(buffer);
  if (!slices) return raise_bufr_error(slices.error());
  // Parse them all first: a failure returns nothing, not a partial list.
  std::vector<vantrel::BufrMessage> messages;
  messages.reserve(slices->size());
  for (vantrel::Bytes slice : *slices) {
    auto message = vantrel::parse_message(slice);
    if (!message) return raise_bufr_error(message.error());
    messages.push_back(std::move(*message));
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(messages.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    PyRef item = wrap_bufr_message(std::move(messages[i]));
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list.release();
}

// Binds the one `data` argument of a function and views its bytes.
bool data_argument(const FunctionSpec& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   vantrel::Bytes& data) {
  PyObject* bound[1];
  return bind_arguments(signature, args, nargs, kwnames, bound) && to_bytes("data", bound[0], data);
}

// Binds the one `path` argument of a function and reads the whole file it names.
bool file_argument(const FunctionSpec& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::string& contents) {
  PyObject* bound[1];
  std::string path;
  return bind_arguments(signature, args, nargs, kwnames, bound) && to_path("path", bound[0], path) &&
         read_file(path, contents);
}

// The bytes of a file read whole.
vantrel::Bytes as_bytes(const std::string& contents) {
  return {reinterpret_cast<const std::uint8_t*>(contents.data()), contents.size()};
}

PyObject* parse_one(vantrel::Bytes buffer) {
  auto message = vantrel::parse_message(buffer);
  if (!message) return raise_bufr_error(message.error());
  return wrap_bufr_message(std::move(*message)).release();
}

}  // namespace

PyType_Spec bufr_message_spec = {
    "builtins.BufrMessage",
    sizeof(MessageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    message_slots,
};

const vantrel::BufrMessage& bufr_message_of(PyObject* object) { return as_message_object(object)->message; }

PyRef wrap_bufr_message(vantrel::BufrMessage message) {
  return new_instance<MessageObject, &MessageObject::message>(types.bufr_message, std::move(message));
}

PyObject* parse_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  vantrel::Bytes data;
  if (!data_argument({"parse_bytes", {"data"}}, args, nargs, kwnames, data)) return nullptr;
  return parse_one(data);
}

PyObject* parse_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string contents;
  if (!file_argument({"parse_file", {"path"}}, args, nargs, kwnames, contents)) return nullptr;
  return parse_one(as_bytes(contents));
}

PyObject* parse_all_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  vantrel::Bytes data;
  if (!data_argument({"parse_all_bytes", {"data"}}, args, nargs, kwnames, data)) return nullptr;
  return parse_all(data);
}

PyObject* parse_all_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string contents;
  if (!file_argument({"parse_all_file", {"path"}}, args, nargs, kwnames, contents)) return nullptr;
  return parse_all(as_bytes(contents));
}

}  // namespace vantrel::py
