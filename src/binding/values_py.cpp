// The DecodedValue class, the Python value sink that builds DecodedValue
// objects from the walkers' events, and the three decoding functions.
//
// Naming: `Value_<slot>` for the class's slots and getters; the sink's
// `build_*` helpers create objects.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "data/decode.hpp"
#include "data/decoded_value.hpp"
#include "data/plan.hpp"
#include "data/value_sink.hpp"
#include "descriptor/descriptor.hpp"
#include "binding/args.hpp"
#include "binding/module.hpp"
#include "message/message.hpp"
#include "tables/eccodes.hpp"
#include "tables/table_set.hpp"

namespace vantrel::py {
namespace {

// ---------------------------------------------------------------------------
// DecodedValue: C fields, converted to Python objects on attribute access.

constexpr std::uint8_t HAS_RAW = 1;    // `raw` is present
constexpr std::uint8_t HAS_VALUE = 2;  // `raw_value` is present

struct ValueObject {
  PyObject_HEAD
  std::uint32_t descriptor;  // element, operator or associated-field code
  std::uint8_t flags;        // HAS_RAW | HAS_VALUE
  std::uint64_t raw;         // valid with HAS_RAW
  double raw_value;          // valid with HAS_VALUE
  PyRef name;                // str, shared by every value of one definition
  PyRef text;                // str or null
  PyRef meaning;             // str or null, shared per distinct meaning
};

ValueObject* as_value(PyObject* object) { return reinterpret_cast<ValueObject*>(object); }

// A new DecodedValue; `name`, `text` and `meaning` are borrowed (text and
// meaning may be null). Null with MemoryError set on failure.
PyObject* build_value(PyTypeObject* type, std::uint32_t descriptor, PyObject* name, std::uint8_t flags,
                      std::uint64_t raw, double raw_value, PyObject* text, PyObject* meaning) {
  auto* self = static_cast<ValueObject*>(PyObject_Malloc(sizeof(ValueObject)));
  if (self == nullptr) return PyErr_NoMemory();
  PyObject_Init(reinterpret_cast<PyObject*>(self), type);  // also references the heap type
  self->descriptor = descriptor;
  self->flags = flags;
  self->raw = raw;
  self->raw_value = raw_value;
  new (&self->name) PyRef(PyRef::borrow(name));
  new (&self->text) PyRef(PyRef::borrow(text));
  new (&self->meaning) PyRef(PyRef::borrow(meaning));
  return reinterpret_cast<PyObject*>(self);
}

void Value_dealloc(PyObject* object) {
  ValueObject* self = as_value(object);
  self->name.~PyRef();
  self->text.~PyRef();
  self->meaning.~PyRef();
  free_instance(object);
}

PyObject* new_ref_or_none(const PyRef& ref) { return ref ? ref.new_ref() : Py_NewRef(Py_None); }

PyObject* Value_descriptor(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_value(self)->descriptor); }
PyObject* Value_name(PyObject* self, void*) { return as_value(self)->name.new_ref(); }
PyObject* Value_raw_value(PyObject* self, void*) {
  const ValueObject* v = as_value(self);
  return (v->flags & HAS_VALUE) ? PyFloat_FromDouble(v->raw_value) : Py_NewRef(Py_None);
}
PyObject* Value_raw(PyObject* self, void*) {
  const ValueObject* v = as_value(self);
  return (v->flags & HAS_RAW) ? PyLong_FromUnsignedLongLong(v->raw) : Py_NewRef(Py_None);
}
PyObject* Value_raw_text(PyObject* self, void*) { return new_ref_or_none(as_value(self)->text); }
PyObject* Value_raw_meaning(PyObject* self, void*) { return new_ref_or_none(as_value(self)->meaning); }
// The text, else the meaning, else the value as a float, else None.
PyObject* Value_data(PyObject* self, void*) {
  const ValueObject* v = as_value(self);
  if (v->text) return v->text.new_ref();
  if (v->meaning) return v->meaning.new_ref();
  return Value_raw_value(self, nullptr);
}

// The UTF-8 view of a str field, or none for null.
bool utf8_of(const PyRef& ref, std::optional<std::string_view>& out) {
  if (!ref) return true;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(ref.get(), &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

PyObject* Value_repr(PyObject* self) {
  const ValueObject* v = as_value(self);
  std::optional<std::string_view> text;
  std::optional<std::string_view> meaning;
  if (!utf8_of(v->text, text) || !utf8_of(v->meaning, meaning)) return nullptr;
  std::string out;
  append_value_repr(out, v->descriptor, text, meaning,
                    (v->flags & HAS_VALUE) ? std::optional<double>(v->raw_value) : std::nullopt);
  return make_str(out).release();
}

PyGetSetDef value_getset[] = {
    {"descriptor", Value_descriptor, nullptr, nullptr, nullptr},
    {"name", Value_name, nullptr, nullptr, nullptr},
    {"raw_value", Value_raw_value, nullptr, nullptr, nullptr},
    {"raw", Value_raw, nullptr, nullptr, nullptr},
    {"raw_text", Value_raw_text, nullptr, nullptr, nullptr},
    {"raw_meaning", Value_raw_meaning, nullptr, nullptr, nullptr},
    {"data", Value_data, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot value_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Value_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<Value_repr>)},
    {Py_tp_getset, value_getset},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Caches of the sink: str objects keyed by the address of what they were made
// from (a definition for names, a code-table entry for meanings). The table
// set does not change during a call, so addresses identify their contents.

class PointerCache {
 public:
  PointerCache() : slots_(64) {}

  // The str cached for `key`, or null.
  PyObject* find(const void* key) const {
    for (std::size_t i = slot_of(key);; i = (i + 1) & (slots_.size() - 1)) {
      const Slot& slot = slots_[i];
      if (slot.key == key) return slot.value.get();
      if (slot.key == nullptr) return nullptr;
    }
  }
  // Stores `value` for `key` (not yet present); returns the borrowed value.
  PyObject* insert(const void* key, PyRef value) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    std::size_t i = slot_of(key);
    while (slots_[i].key != nullptr) i = (i + 1) & (slots_.size() - 1);
    slots_[i].key = key;
    slots_[i].value = std::move(value);
    ++used_;
    return slots_[i].value.get();
  }

 private:
  struct Slot {
    const void* key = nullptr;  // null: empty
    PyRef value;                // the cached str
  };
  std::size_t slot_of(const void* key) const {
    const auto bits = reinterpret_cast<std::uintptr_t>(key);
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 40) & (slots_.size() - 1);
  }
  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    used_ = 0;
    for (Slot& slot : old) {
      if (slot.key != nullptr) insert(slot.key, std::move(slot.value));
    }
  }
  std::vector<Slot> slots_;  // open addressing, size a power of two
  std::size_t used_ = 0;     // occupied slots
};

// ---------------------------------------------------------------------------
// The Python value sink. Non-compressed values become objects at once, in
// list order. Compressed columns are kept as compact native entries (one per
// column when every subset shares the value) and become objects only after
// the walk succeeded, built straight into the list in subset order: a message
// that fails on a limit builds nothing.

class PythonValueSink final : public vantrel::ValueSink {
 public:
  // `subsets`: the message's number of subsets. `position_codes`: character
  // values carry their position code as raw_value (else none: the package
  // hands no position code to its users as data).
  PythonValueSink(std::uint32_t subsets, bool position_codes)
      : type_(types.decoded_value), subsets_(subsets), position_codes_(position_codes) {}

  // Creates the shared strs; false with an exception set on failure.
  bool init() {
    associated_name_ = make_str(ASSOCIATED_FIELD_NAME);
    operator_name_ = make_str(OPERATOR_NAME);
    return associated_name_ && operator_name_;
  }

  // The result list (after a successful decode).
  PyRef take_list() { return std::move(list_); }

  bool begin_column(const ColumnInfo& column) override {
    PyObject* name = column.element != nullptr               ? name_of(*column.element)
                     : column.kind == ColumnKind::AssociatedField ? associated_name_.get()
                                                                  : operator_name_.get();
    if (name == nullptr) return false;
    columns_.push_back(Column{column.code, column.uniform, name, entries_.size()});
    in_column_ = true;
    return true;
  }
  bool end_column() override {
    in_column_ = false;
    return true;
  }

  bool numeric(Place, const ElementDefinition& element, std::uint64_t raw, const std::optional<double>& value,
               const std::string* meaning) override {
    PyObject* meaning_object = nullptr;
    if (meaning != nullptr && (meaning_object = meaning_str(*meaning)) == nullptr) return false;
    const std::uint8_t flags = HAS_RAW | (value ? HAS_VALUE : 0);
    if (in_column_) return store(flags, raw, value.value_or(0.0), nullptr, meaning_object);
    PyObject* name = name_of(element);
    if (name == nullptr) return false;
    return append(build_value(type_, element.code, name, flags, raw, value.value_or(0.0), nullptr, meaning_object));
  }

  bool character(Place, const ElementDefinition& element, double position_code,
                 std::optional<std::string_view> text) override {
    PyObject* text_object = nullptr;
    if (text && (text_object = new_text(*text)) == nullptr) return false;
    const std::uint8_t flags = position_codes_ ? HAS_VALUE : 0;
    if (in_column_) return store(flags, 0, position_code, text_object, nullptr);
    PyObject* name = name_of(element);
    if (name == nullptr) return false;
    return append(build_value(type_, element.code, name, flags, 0, position_code, text_object, nullptr));
  }

  bool associated_field(Place, std::uint64_t raw) override {
    const double value = static_cast<double>(raw);
    if (in_column_) return store(HAS_RAW | HAS_VALUE, raw, value, nullptr, nullptr);
    return append(build_value(type_, ASSOCIATED_FIELD_CODE, associated_name_.get(), HAS_RAW | HAS_VALUE, raw,
                              value, nullptr, nullptr));
  }

  bool operator_record(Place, std::uint32_t code) override {
    if (in_column_) return store(HAS_RAW | HAS_VALUE, 0, 0.0, nullptr, nullptr);
    return append(build_value(type_, code, operator_name_.get(), HAS_RAW | HAS_VALUE, 0, 0.0, nullptr, nullptr));
  }

  bool operator_text(Place, std::uint32_t code, std::optional<std::string_view> text) override {
    PyObject* text_object = nullptr;
    if (text && (text_object = new_text(*text)) == nullptr) return false;
    if (in_column_) return store(0, 0, 0.0, text_object, nullptr);
    return append(build_value(type_, code, operator_name_.get(), 0, 0, 0.0, text_object, nullptr));
  }

  // Non-compressed data: where each subset's records start in the list.
  bool begin_subset(std::uint32_t) override {
    subset_starts_.push_back(items_.size());
    return true;
  }
  std::vector<std::size_t>& subset_starts() { return subset_starts_; }

  bool end_message() override {
    if (columns_.empty()) return finish_items();
    return finish_columns();
  }

 private:
  // One value of a compressed column, waiting to become an object.
  struct Entry {
    std::uint64_t raw;      // raw (with HAS_RAW)
    double value;           // raw_value (with HAS_VALUE)
    PyObject* text;         // borrowed text str, or null
    PyObject* meaning;      // borrowed meaning str, or null
    std::uint8_t flags;     // HAS_RAW | HAS_VALUE
  };
  struct Column {
    std::uint32_t code;     // descriptor of the records
    bool uniform;           // one entry for every subset
    PyObject* name;         // borrowed name str
    std::size_t first;      // index of its first entry
  };

  PyObject* name_of(const ElementDefinition& element) {
    if (&element == last_element_) return last_name_;
    PyObject* name = names_.find(&element);
    if (name == nullptr) {
      PyRef made = make_str(element.name);
      if (!made) return nullptr;
      name = names_.insert(&element, std::move(made));
    }
    last_element_ = &element;
    last_name_ = name;
    return name;
  }

  PyObject* meaning_str(const std::string& meaning) {
    PyObject* found = meanings_.find(&meaning);
    if (found != nullptr) return found;
    PyRef made = make_str(meaning);
    if (!made) return nullptr;
    return meanings_.insert(&meaning, std::move(made));
  }

  // A str for IA5 text (ASCII only), kept alive by `texts_`; borrowed. In a
  // column, subsets that repeat the previous text share its str.
  PyObject* new_text(std::string_view text) {
    if (in_column_ && !texts_.empty() && last_text_ == text) return texts_.back().get();
    if (in_column_) last_text_.assign(text);
    PyRef made;
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      made = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
      if (!made) return nullptr;
      std::memcpy(PyUnicode_DATA(made.get()), text.data(), text.size());
    } else {  // Latin-1 characters of the WMO rules, in UTF-8
      made = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
      if (!made) return nullptr;
    }
    texts_.push_back(std::move(made));
    return texts_.back().get();
  }

  bool append(PyObject* object) {
    if (object == nullptr) return false;
    items_.push_back(PyRef::steal(object));
    if (!texts_.empty()) texts_.clear();  // the object now holds its own reference
    return true;
  }

  bool store(std::uint8_t flags, std::uint64_t raw, double value, PyObject* text, PyObject* meaning) {
    entries_.push_back(Entry{raw, value, text, meaning, flags});
    return true;
  }

  bool finish_items() {
    list_ = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items_.size())));
    if (!list_) return false;
    for (std::size_t i = 0; i < items_.size(); ++i) {
      PyList_SET_ITEM(list_.get(), static_cast<Py_ssize_t>(i), items_[i].release());
    }
    items_.clear();
    return true;
  }

  // Subset s, column c becomes item s * columns + c.
  bool finish_columns() {
    const std::size_t count = columns_.size() * subsets_;  // within the decode's value limit
    list_ = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list_) return false;
    Py_ssize_t index = 0;
    for (std::uint32_t s = 0; s < subsets_; ++s) {
      for (const Column& column : columns_) {
        const Entry& entry = entries_[column.uniform ? column.first : column.first + s];
        PyObject* object = build_value(type_, column.code, column.name, entry.flags, entry.raw, entry.value,
                                       entry.text, entry.meaning);
        if (object == nullptr) return false;
        PyList_SET_ITEM(list_.get(), index++, object);
      }
    }
    return true;
  }

  PyTypeObject* type_;                             // DecodedValue
  std::uint32_t subsets_;                          // subsets of the message
  PyRef associated_name_;                          // "associatedField"
  PyRef operator_name_;                            // "operator"
  PointerCache names_;                             // definition -> name str
  PointerCache meanings_;                          // code-table entry -> meaning str
  const ElementDefinition* last_element_ = nullptr;  // one-entry memo in front of names_
  PyObject* last_name_ = nullptr;                  // its name (borrowed from names_)
  std::vector<PyRef> texts_;                       // texts not yet held by an object (columns: all texts)
  std::string last_text_;                          // columns: the text of texts_.back()
  std::vector<PyRef> items_;                       // non-compressed objects in order
  std::vector<std::size_t> subset_starts_;         // non-compressed: first item of each subset
  bool in_column_ = false;                         // inside a compressed column
  std::vector<Column> columns_;                    // compressed columns in walk order
  std::vector<Entry> entries_;                     // their values
  bool position_codes_;                            // character values carry their position code
  PyRef list_;                                     // the result
};

// Decodes the first message of `data` with the tables that `load` returns
// for it (after the message parsed). Returns a new list or null with an
// exception set.
// `plans` caches plans for the tables of `load`, or is null.
template <class LoadTables>
PyObject* decode_first_message(vantrel::Bytes data, vantrel::PlanCache* plans, LoadTables&& load) {
  auto slices = vantrel::split_messages(data);
  if (!slices) return raise_bufr_error(slices.error());
  if (slices->empty()) return raise_bufr_error(BufrError::missing_marker());
  const vantrel::Bytes bytes = slices->front();
  auto message = vantrel::parse_message(bytes);
  if (!message) return raise_bufr_error(message.error());
  return load(*message, [&](const vantrel::TableSet& tables) -> PyObject* {
    return decode_to_list(*message, message->section4_data(bytes), tables, vantrel::Rules::Strict, plans);
  });
}

}  // namespace

PyObject* decode_to_list(const vantrel::BufrMessage& message, vantrel::Bytes data, const vantrel::TableSet& tables,
                         vantrel::Rules rules, vantrel::PlanCache* plans, std::vector<std::size_t>* subset_starts,
                         vantrel::DecodeReport* report, std::optional<vantrel::ErrorKind>* failed) {
  PythonValueSink sink(message.number_of_subsets, rules == vantrel::Rules::Strict);
  if (!sink.init()) return nullptr;
  auto status = vantrel::decode_message_values(message, tables, data, sink, rules, vantrel::DecodeLimits{}, plans,
                                               report);
  if (!status) {
    if (failed != nullptr) *failed = status.error().kind();
    return raise_bufr_error(status.error());
  }
  if (subset_starts != nullptr) *subset_starts = std::move(sink.subset_starts());
  return sink.take_list().release();
}

PyType_Spec decoded_value_spec = {
    "builtins.DecodedValue",
    sizeof(ValueObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    value_slots,
};

PyObject* decode_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"decode_values", {"data", "table_dir"}};
  PyObject* bound[2];
  vantrel::Bytes data;
  std::string table_dir;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) || !to_bytes("data", bound[0], data) ||
      !to_path("table_dir", bound[1], table_dir)) {
    return nullptr;
  }
  return decode_first_message(data, nullptr, [&](const vantrel::BufrMessage&, auto&& decode) -> PyObject* {
    auto tables = vantrel::from_eccodes_dir(table_dir);
    if (!tables) return raise_bufr_error(tables.error());
    return decode(*tables);
  });
}

PyObject* decode_values_with_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"decode_values_with_tables", {"data", "tables"}};
  PyObject* bound[2];
  vantrel::Bytes data;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) || !to_bytes("data", bound[0], data) ||
      !check_instance("tables", bound[1], types.table_set, "TableSet")) {
    return nullptr;
  }
  const vantrel::TableSet& tables = table_set_of(bound[1]);
  return decode_first_message(data, &plan_cache_of(bound[1]),
                              [&](const vantrel::BufrMessage&, auto&& decode) { return decode(tables); });
}

PyObject* decode_values_with_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"decode_values_with_definitions", {"data", "definitions_root"}};
  PyObject* bound[2];
  vantrel::Bytes data;
  std::string root;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) || !to_bytes("data", bound[0], data) ||
      !to_path("definitions_root", bound[1], root)) {
    return nullptr;
  }
  return decode_first_message(data, nullptr, [&](const vantrel::BufrMessage& message, auto&& decode) -> PyObject* {
    auto tables = vantrel::from_eccodes_definitions(root, message);
    if (!tables) return raise_bufr_error(tables.error());
    return decode(*tables);
  });
}

}  // namespace vantrel::py
