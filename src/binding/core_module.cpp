// vantrel._core: the package's native module, running the same core as
// _vantrel (one shared runtime). It reads real archives: indexes every message
// of any buffer with its header (editions 2 to 4, with their quirks), loads
// table sets by header fields and decodes messages of the index. The classes
// it hands out (TableSet, DecodedValue) are _vantrel's own: the module imports
// _vantrel and builds instances of its types with the shared binding code, so
// both modules give users the same objects.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>
#include <string>
#include <vector>

#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "columns/column_batch.hpp"
#include "columns/column_sink.hpp"
#include "columns/context_rows.hpp"
#include "columns/row_keys.hpp"
#include "columns/wide_block.hpp"
#include "data/decode.hpp"
#include "io/mapped_file.hpp"
#include "binding/args.hpp"
#include "binding/module.hpp"
#include "message/archive.hpp"
#include "message/ecmwf_local.hpp"
#include "tables/eccodes.hpp"

namespace vantrel::py {


namespace {

// ---- buffers ---------------------------------------------------------------

// A read-only view of any object with the buffer protocol, released with the view.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }

  // False with a TypeError naming `name` when `object` exports no contiguous
  // buffer (or, when `writable`, none that may be written).
  bool acquire(const char* name, PyObject* object, bool writable = false) {
    if (PyObject_GetBuffer(object, &view_, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) < 0) {
      prefix_type_error(name);
      return false;
    }
    held_ = true;
    return true;
  }
  vantrel::Bytes bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }
  // The memory of a buffer acquired writable.
  std::span<std::uint8_t> writable_bytes() const {
    return {static_cast<std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// ---- the archive index ----------------------------------------------------

// Every framed message of a buffer with its header, parsed once (index()). It
// holds the buffer for as long as it lives: the bytes of its messages stay
// valid for the decodes that take it.
struct IndexObject {
  PyObject_HEAD
  Py_buffer view;                   // the caller's buffer
  vantrel::ArchiveIndex* index;     // owned
  PyObject* columns;                // the header columns, made on first use (owned, or null)
};

PyTypeObject* index_type = nullptr;  // created once at import

void Index_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<IndexObject*>(self);
  Py_XDECREF(object->columns);
  delete object->index;
  PyBuffer_Release(&object->view);
  free_instance(self);
}

Py_ssize_t Index_length(PyObject* self) {
  return static_cast<Py_ssize_t>(reinterpret_cast<IndexObject*>(self)->index->messages.size());
}

template <class T>
PyRef wrap_vector(vantrel::PodVector<T>&& values, const char* format);
template <class Work>
void without_lock(Work&& work);
bool set_item(PyObject* dict, const char* key, PyRef value);

// One column of the index: `field` of each message's header (`absent` where the
// header is bad or the edition lacks the field).
template <class T, class Field>
PyRef index_column(const vantrel::ArchiveIndex& index, const char* format, T absent, Field field) {
  vantrel::PodVector<T> out;
  out.reserve_more(index.messages.size());
  for (const vantrel::IndexedMessage& entry : index.messages) {
    out.append(1, entry.header ? field(entry, *entry.header) : absent);
  }
  return wrap_vector(std::move(out), format);
}

// index.columns -> {name: Array}: one row per message (ok: the header is good;
// warned: how many quirks its header had). Numbers the edition lacks are -1;
// every field is 0 (ok 0) where the header is bad.
PyObject* Index_columns(PyObject* self, void*) {
  auto* object = reinterpret_cast<IndexObject*>(self);
  if (object->columns != nullptr) return Py_NewRef(object->columns);
  const vantrel::ArchiveIndex& index = *object->index;
  using Entry = vantrel::IndexedMessage;
  using Header = vantrel::ArchiveHeader;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const auto frame_column = [&](auto field) {
    vantrel::PodVector<std::uint64_t> out;
    out.reserve_more(index.messages.size());
    for (const Entry& entry : index.messages) out.append(1, field(entry.frame));
    return wrap_vector(std::move(out), "Q");
  };
  // Byte 7 of section 0, bad header or not (a frame holds at least 8 bytes).
  vantrel::PodVector<std::uint8_t> edition_bytes;
  edition_bytes.reserve_more(index.messages.size());
  for (const Entry& entry : index.messages) {
    edition_bytes.append(1, static_cast<const std::uint8_t*>(object->view.buf)[entry.frame.offset + 7]);
  }
  PyRef editions = wrap_vector(std::move(edition_bytes), "B");
  const bool ok =
      set_item(dict.get(), "offset", frame_column([](const vantrel::Frame& f) { return f.offset; })) &&
      set_item(dict.get(), "length", frame_column([](const vantrel::Frame& f) { return f.length; })) &&
      set_item(dict.get(), "ok", index_column<std::uint8_t>(index, "B", 0, [](const Entry&, const Header&) {
        return std::uint8_t{1};
      })) &&
      set_item(dict.get(), "warned", index_column<std::uint8_t>(index, "B", 0, [](const Entry&, const Header& h) {
        return static_cast<std::uint8_t>(std::min<std::size_t>(h.warnings.size(), 255));
      })) &&
      set_item(dict.get(), "quirks", index_column<std::uint32_t>(index, "I", 0, [](const Entry&, const Header& h) {
        return h.quirks;
      })) &&
      set_item(dict.get(), "section3_offset", index_column<std::uint32_t>(index, "I", 0, [](const Entry&, const Header& h) {
        return static_cast<std::uint32_t>(8 + h.message.section1_length + h.message.section2_length);
      })) &&
      set_item(dict.get(), "section4_offset", index_column<std::uint32_t>(index, "I", 0, [](const Entry&, const Header& h) {
        return static_cast<std::uint32_t>(h.message.section4_data_offset - 4);
      })) &&
      set_item(dict.get(), "section4_length", index_column<std::uint32_t>(index, "I", 0, [](const Entry&, const Header& h) {
        return static_cast<std::uint32_t>(h.message.section4_length);
      })) &&
      set_item(dict.get(), "edition", std::move(editions)) &&
      set_item(dict.get(), "master_table", index_column<std::uint8_t>(index, "B", 0, [](const Entry&, const Header& h) {
        return h.message.master_table_number;
      })) &&
      set_item(dict.get(), "centre", index_column<std::uint16_t>(index, "H", 0, [](const Entry&, const Header& h) {
        return h.message.originating_centre;
      })) &&
      set_item(dict.get(), "subcentre", index_column<std::int32_t>(index, "i", 0, [](const Entry&, const Header& h) {
        return h.subcentre ? std::int32_t{*h.subcentre} : std::int32_t{-1};
      })) &&
      set_item(dict.get(), "data_category", index_column<std::uint8_t>(index, "B", 0, [](const Entry&, const Header& h) {
        return h.message.data_category;
      })) &&
      set_item(dict.get(), "master_table_version",
               index_column<std::uint8_t>(index, "B", 0, [](const Entry&, const Header& h) {
                 return h.message.master_tables_version_number;
               })) &&
      set_item(dict.get(), "local_table_version",
               index_column<std::uint8_t>(index, "B", 0, [](const Entry&, const Header& h) {
                 return h.message.local_tables_version_number;
               })) &&
      set_item(dict.get(), "number_of_subsets",
               index_column<std::uint16_t>(index, "H", 0, [](const Entry&, const Header& h) {
                 return h.message.number_of_subsets;
               })) &&
      set_item(dict.get(), "update_sequence_number",
               index_column<std::uint8_t>(index, "B", 0, [](const Entry&, const Header& h) {
                 return h.message.update_sequence_number;
               })) &&
      set_item(dict.get(), "international_subcategory",
               index_column<std::int16_t>(index, "h", 0, [](const Entry&, const Header& h) {
                 return h.international_subcategory ? std::int16_t{*h.international_subcategory} : std::int16_t{-1};
               })) &&
      set_item(dict.get(), "local_subcategory",
               index_column<std::uint8_t>(index, "B", 0, [](const Entry&, const Header& h) {
                 return h.message.local_data_subcategory;
               })) &&
      set_item(dict.get(), "year", index_column<std::uint16_t>(index, "H", 0, [](const Entry&, const Header& h) {
        return h.message.typical_year;
      })) &&
      set_item(dict.get(), "year_of_century",
               index_column<std::int16_t>(index, "h", 0, [](const Entry&, const Header& h) {
                 // As coded: editions 2 and 3 always, edition 4 when its year was below 100.
                 return h.message.edition < 4 || h.century_year ? std::int16_t{h.year_of_century} : std::int16_t{-1};
               })) &&
      set_item(dict.get(), "month", index_column<std::uint8_t>(index, "B", 0, [](const Entry&, const Header& h) {
        return h.message.typical_month;
      })) &&
      set_item(dict.get(), "day", index_column<std::uint8_t>(index, "B", 0, [](const Entry&, const Header& h) {
        return h.message.typical_day;
      })) &&
      set_item(dict.get(), "hour", index_column<std::uint8_t>(index, "B", 0, [](const Entry&, const Header& h) {
        return h.message.typical_hour;
      })) &&
      set_item(dict.get(), "minute", index_column<std::uint8_t>(index, "B", 0, [](const Entry&, const Header& h) {
        return h.message.typical_minute;
      })) &&
      set_item(dict.get(), "second", index_column<std::int16_t>(index, "h", 0, [](const Entry&, const Header& h) {
        return h.second ? std::int16_t{*h.second} : std::int16_t{-1};
      })) &&
      set_item(dict.get(), "observed", index_column<std::uint8_t>(index, "B", 0, [](const Entry&, const Header& h) {
        return std::uint8_t{h.message.observed_data};
      })) &&
      set_item(dict.get(), "compressed", index_column<std::uint8_t>(index, "B", 0, [](const Entry&, const Header& h) {
        return std::uint8_t{h.message.compressed_data};
      }));
  if (!ok) return nullptr;
  object->columns = Py_NewRef(dict.get());
  return dict.release();
}

PyObject* Index_issues(PyObject* self, void*) {
  const vantrel::ArchiveIndex& index = *reinterpret_cast<IndexObject*>(self)->index;
  PyRef issues = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(index.issues.size())));
  if (!issues) return nullptr;
  for (std::size_t i = 0; i < index.issues.size(); ++i) {
    PyRef reason = make_str(index.issues[i].reason);
    if (!reason) return nullptr;
    PyObject* item = Py_BuildValue("(KO)", static_cast<unsigned long long>(index.issues[i].offset), reason.get());
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(issues.get(), static_cast<Py_ssize_t>(i), item);
  }
  return issues.release();
}

PyObject* Index_dropped(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<IndexObject*>(self)->index->dropped_issues);
}

// The message of row `row_object` of an index; false with IndexError outside it.
bool index_entry(PyObject* index_object, PyObject* row_object, const vantrel::IndexedMessage*& out,
                 vantrel::Bytes* bytes = nullptr) {
  if (!check_instance("index", index_object, index_type, "Index")) return false;
  std::uint64_t row = 0;
  if (!to_u64("row", row_object, row)) return false;
  auto* object = reinterpret_cast<IndexObject*>(index_object);
  const auto& messages = object->index->messages;
  if (row >= messages.size()) {
    PyErr_Format(PyExc_IndexError, "row %llu out of range for %zu messages", static_cast<unsigned long long>(row),
                 messages.size());
    return false;
  }
  out = &messages[row];
  if (bytes != nullptr) {
    *bytes = vantrel::Bytes(static_cast<const std::uint8_t*>(object->view.buf), static_cast<std::size_t>(object->view.len))
                 .subspan(out->frame.offset, out->frame.length);
  }
  return true;
}

PyRef header_dict(const vantrel::ArchiveHeader& h);

// index.header(row) -> dict of the header fields (absent fields None) and
// "warnings"; ValueError with the reason for a bad header.
PyObject* Index_header(PyObject* self, PyObject* row) {
  const vantrel::IndexedMessage* entry = nullptr;
  if (!index_entry(self, row, entry)) return nullptr;
  if (!entry->header) {
    PyRef text = make_str(entry->header.error());
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
  }
  return header_dict(*entry->header).release();
}

PyMethodDef index_methods[] = {
    {"header", Index_header, METH_O, "header(row)\n--\n\nThe header fields of one message, as parsed by the scan."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"columns", Index_columns, nullptr, const_cast<char*>("The header columns, one row per message."), nullptr},
    {"issues", Index_issues, nullptr, const_cast<char*>("(offset, reason) of each candidate that framed no message."),
     nullptr},
    {"dropped", Index_dropped, nullptr, const_cast<char*>("Issues beyond those listed."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Index_dealloc)},
    {Py_sq_length, reinterpret_cast<void*>(Index_length)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {Py_tp_doc, const_cast<char*>("Every framed message of a buffer with its header, parsed once.")},
    {0, nullptr},
};

PyType_Spec index_spec = {
    "vantrel._core.Index",
    sizeof(IndexObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    index_slots,
};

// index(data) -> Index: frames every message of a buffer and parses each header,
// without the interpreter lock.
PyObject* index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"index", {"data"}};
  PyObject* bound[1];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(bound[0], &view, PyBUF_SIMPLE) < 0) {
    prefix_type_error("data");
    return nullptr;
  }
  std::unique_ptr<vantrel::ArchiveIndex> built;
  try {
    without_lock([&] {
      built = std::make_unique<vantrel::ArchiveIndex>(vantrel::index_archive(
          vantrel::Bytes(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len))));
    });
  } catch (...) {
    PyBuffer_Release(&view);
    throw;
  }
  PyObject* object = index_type->tp_alloc(index_type, 0);
  if (object == nullptr) {
    PyBuffer_Release(&view);
    return nullptr;
  }
  auto* made = reinterpret_cast<IndexObject*>(object);
  made->view = view;
  made->index = built.release();
  made->columns = nullptr;
  return object;
}

// The rule set named by `object`: "strict" or "wmo"; false with a ValueError
// (TypeError for a non-str) otherwise.
bool to_rules(PyObject* object, vantrel::Rules& out) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "rules must be \"strict\" or \"wmo\", not %.100s", Py_TYPE(object)->tp_name);
    return false;
  }
  for (vantrel::Rules rules : {vantrel::Rules::Strict, vantrel::Rules::Wmo}) {
    const std::string_view name = vantrel::rules_name(rules);
    if (PyUnicode_CompareWithASCIIString(object, std::string(name).c_str()) == 0) {
      out = rules;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "rules must be \"strict\" or \"wmo\", not %R", object);
  return false;
}

// A new list of the report's warnings (str).
PyRef warning_list(const std::vector<std::string>& warnings) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(warnings.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < warnings.size(); ++i) {
    PyRef text = make_str(warnings[i]);
    if (!text) return PyRef();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text.release());
  }
  return list;
}

// Reads the (index, row[, tables, rules]) arguments shared by the functions
// that take one message of an index.
struct MessageArgs {
  const vantrel::IndexedMessage* entry = nullptr;  // the message's row of the index
  vantrel::Bytes bytes;                             // its bytes (the index holds them)
  const vantrel::TableSet* tables = nullptr;        // with read(): the tables argument
  vantrel::PlanCache* plans = nullptr;              // and its plan cache
  vantrel::Rules rules = vantrel::Rules::Wmo;       // with read(): the rules argument

  // index, row: false with an exception set (ValueError with the reason when
  // the header is bad).
  bool read_message(PyObject* const* bound) {
    if (!index_entry(bound[0], bound[1], entry, &bytes)) return false;
    if (!entry->header) {
      PyRef text = make_str(entry->header.error());
      if (text) PyErr_SetObject(PyExc_ValueError, text.get());
      return false;
    }
    return true;
  }
  // index, row, tables, rules.
  bool read(PyObject* const* bound) {
    if (!check_instance("tables", bound[2], types.table_set, "TableSet") || !to_rules(bound[3], rules) ||
        !read_message(bound)) {
      return false;
    }
    tables = &table_set_of(bound[2]);
    plans = &plan_cache_of(bound[2]);
    return true;
  }
  const vantrel::ArchiveHeader& header() const { return *entry->header; }
  const vantrel::BufrMessage& message() const { return header().message; }
};

// ---- header ----------------------------------------------------------------

// Sets `key` of `dict` to `value` (a new reference, may be null on failure).
bool set_item(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}
PyRef py_int(std::uint64_t value) { return PyRef::steal(PyLong_FromUnsignedLongLong(value)); }
PyRef py_bool(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }
template <class T>
PyRef py_optional(const std::optional<T>& value) {
  return value ? py_int(*value) : PyRef::borrow(Py_None);
}

// The header fields as a dict (absent fields None) and "warnings".
PyRef header_dict(const vantrel::ArchiveHeader& h) {
  const vantrel::BufrMessage& m = h.message;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return dict;
  PyObject* d = dict.get();
  const bool old = m.edition < 4;
  PyRef warnings = warning_list(h.warnings);
  if (!warnings) return warnings;
  const bool ok =
      set_item(d, "edition", py_int(m.edition)) && set_item(d, "master_table", py_int(m.master_table_number)) &&
      set_item(d, "centre", py_int(m.originating_centre)) && set_item(d, "subcentre", py_optional(h.subcentre)) &&
      set_item(d, "update_sequence_number", py_int(m.update_sequence_number)) &&
      set_item(d, "local_section", py_bool(m.local_section_present)) &&
      set_item(d, "data_category", py_int(m.data_category)) &&
      set_item(d, "international_subcategory", py_optional(h.international_subcategory)) &&
      set_item(d, "local_subcategory", py_int(m.local_data_subcategory)) &&
      set_item(d, "master_table_version", py_int(m.master_tables_version_number)) &&
      set_item(d, "local_table_version", py_int(m.local_tables_version_number)) &&
      set_item(d, "year", py_int(m.typical_year)) &&
      set_item(d, "year_of_century", old || h.century_year ? py_int(h.year_of_century) : PyRef::borrow(Py_None)) &&
      set_item(d, "month", py_int(m.typical_month)) && set_item(d, "day", py_int(m.typical_day)) &&
      set_item(d, "hour", py_int(m.typical_hour)) && set_item(d, "minute", py_int(m.typical_minute)) &&
      set_item(d, "second", py_optional(h.second)) &&
      set_item(d, "number_of_subsets", py_int(m.number_of_subsets)) &&
      set_item(d, "observed", py_bool(m.observed_data)) && set_item(d, "compressed", py_bool(m.compressed_data)) &&
      set_item(d, "descriptors", make_code_list(m.unexpanded_descriptors)) &&
      set_item(d, "section4_length", py_int(m.section4_length)) &&
      set_item(d, "warnings", std::move(warnings));
  if (!ok) return PyRef();
  return dict;
}

// ---- tables ----------------------------------------------------------------

// load_tables(root, master_table, master_version, centre, subcentre,
// local_version) -> (TableSet, warnings): the WMO tables of that master
// version under the definitions root, then the local tables of the centre,
// when present, and what was accepted while reading them.
PyObject* load_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{
      "load_tables", {"root", "master_table", "master_version", "centre", "subcentre", "local_version"}};
  PyObject* bound[6];
  std::string root;
  std::uint8_t master_table = 0;
  std::uint8_t master_version = 0;
  std::uint32_t centre = 0;
  std::uint32_t subcentre = 0;
  std::uint8_t local_version = 0;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) || !to_path("root", bound[0], root) ||
      !to_u8("master_table", bound[1], master_table) || !to_u8("master_version", bound[2], master_version) ||
      !to_u32("centre", bound[3], centre) || !to_u32("subcentre", bound[4], subcentre) ||
      !to_u8("local_version", bound[5], local_version)) {
    return nullptr;
  }
  if (centre > 0xFFFF || subcentre > 0xFFFF) {
    PyErr_SetString(PyExc_OverflowError, "centre and subcentre must be below 65536");
    return nullptr;
  }
  vantrel::BufrMessage key;
  key.master_table_number = master_table;
  key.master_tables_version_number = master_version;
  key.originating_centre = static_cast<std::uint16_t>(centre);
  key.originating_subcentre = static_cast<std::uint16_t>(subcentre);
  key.local_tables_version_number = local_version;
  // Real definition trees hold local element tables whose rows lack the CREX
  // columns: they are read, with a warning each.
  std::vector<std::string> warnings;
  std::optional<vantrel::Result<vantrel::TableSet>> tables;
  Py_BEGIN_ALLOW_THREADS
  tables.emplace(vantrel::from_eccodes_definitions(root, key, vantrel::TableLoading{true, &warnings}));
  Py_END_ALLOW_THREADS
  if (!*tables) return raise_bufr_error(tables->error());
  PyRef table_set = wrap_table_set(std::move(**tables));
  PyRef warning_texts = warning_list(warnings);
  if (!table_set || !warning_texts) return nullptr;
  return PyTuple_Pack(2, table_set.get(), warning_texts.get());
}

// ---- values ----------------------------------------------------------------

// What failed, for the package's exception classes: "header" (a bad header),
// "tables" (an element or sequence the tables lack) or "data" (the rest).
const char* failure_class(vantrel::ErrorKind kind) {
  using Kind = vantrel::ErrorKind;
  return kind == Kind::ElementNotFound || kind == Kind::SequenceNotFound ? "tables" : "data";
}

// One message of columns_many that failed and left no rows.
struct Failure {
  std::size_t position;  // among the rows asked for
  const char* kind;      // failure_class
  std::string reason;
};

// Sets `kind` of the exception being raised (a decode's ValueError) to the
// class of its error (failure_class); returns null.
PyObject* with_kind(vantrel::ErrorKind kind) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    PyRef name = make_str(failure_class(kind));
    if (!name || PyObject_SetAttrString(value, "kind", name.get()) < 0) {
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(traceback);
      return nullptr;
    }
  }
  PyErr_Restore(type, value, traceback);
  return nullptr;
}

// Raises ValueError(message) with `kind` set to the error's class.
PyObject* raise_decode_error(const vantrel::BufrError& error) {
  raise_bufr_error(error);
  return error.kind() == vantrel::ErrorKind::SinkAborted ? nullptr : with_kind(error.kind());
}

// Adds to a decode's warnings that section 4 holds whole bytes its descriptors did not consume.
void note_surplus(const vantrel::BufrMessage& message, vantrel::DecodeReport& report) {
  if (auto surplus = vantrel::section4_surplus_warning(message, report.used_bits)) {
    report.warnings.push_back(std::move(*surplus));
  }
}

// The bits of section 4 data a decode walked over.
std::uint64_t data_bits(vantrel::Bytes data) { return static_cast<std::uint64_t>(data.size()) * 8u; }

// decode(data, offset, length, tables, rules) -> (values, starts, used_bits,
// data_bits, warnings): the DecodedValue records subset after subset, the
// index where each subset starts, the bits of section 4 data the descriptors
// consumed and the bits it holds, and what the rules accepted; ValueError when
// the message's header or data is bad.
PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"decode", {"index", "row", "tables", "rules"}};
  PyObject* bound[4];
  MessageArgs in;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) || !in.read(bound)) return nullptr;
  const vantrel::BufrMessage& message = in.message();
  const vantrel::Bytes bytes = in.bytes;
  std::vector<std::size_t> starts;
  vantrel::DecodeReport report;
  const vantrel::Bytes data = message.section4_data(bytes);
  std::optional<vantrel::ErrorKind> failed;
  PyRef values =
      PyRef::steal(decode_to_list(message, data, *in.tables, in.rules, in.plans, &starts, &report, &failed));
  if (!values) return failed && *failed != vantrel::ErrorKind::SinkAborted ? with_kind(*failed) : nullptr;
  if (message.compressed_data) {
    // Compressed data flattens to equal runs, one per subset.
    const std::size_t per_subset =
        message.number_of_subsets == 0 ? 0 : static_cast<std::size_t>(PyList_GET_SIZE(values.get())) /
                                                 message.number_of_subsets;
    starts.clear();
    for (std::size_t s = 0; s < message.number_of_subsets; ++s) starts.push_back(s * per_subset);
  }
  PyRef start_list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(starts.size())));
  if (!start_list) return nullptr;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    PyRef item = py_int(starts[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(start_list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  note_surplus(message, report);
  PyRef used = py_int(report.used_bits);
  PyRef available = py_int(data_bits(data));
  PyRef warnings = warning_list(report.warnings);
  if (!used || !available || !warnings) return nullptr;
  return PyTuple_Pack(5, values.get(), start_list.get(), used.get(), available.get(), warnings.get());
}

// ---- typed arrays ------------------------------------------------------------

// The storage behind one array handed to Python: a vector moved out of a sink,
// exported through the buffer protocol (numpy.frombuffer takes it without a copy).
struct ArrayStorage {
  virtual ~ArrayStorage() = default;
  virtual void* data() = 0;
  virtual Py_ssize_t count() const = 0;
  Py_ssize_t itemsize = 1;   // bytes per item
  const char* format = "B";  // struct-module format of an item
};

template <class T>
struct VectorStorage final : ArrayStorage {
  explicit VectorStorage(vantrel::PodVector<T> items, const char* item_format) : values(std::move(items)) {
    itemsize = sizeof(T);
    format = item_format;
  }
  void* data() override { return values.data(); }
  Py_ssize_t count() const override { return static_cast<Py_ssize_t>(values.size()); }
  vantrel::PodVector<T> values;  // owned for as long as the array object lives
};

struct ArrayObject {
  PyObject_HEAD
  ArrayStorage* storage;  // owned
  Py_ssize_t shape;       // item count, pointed to by exported views
  Py_ssize_t stride;      // bytes per item, pointed to by exported views
};

// A one-dimensional, contiguous, writable view of the column (the array is its only owner).
int Array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* array = reinterpret_cast<ArrayObject*>(self);
  ArrayStorage& storage = *array->storage;
  if (PyBuffer_FillInfo(view, self, storage.data(), storage.count() * storage.itemsize, 0, flags) < 0) return -1;
  array->shape = storage.count();
  array->stride = storage.itemsize;
  view->itemsize = storage.itemsize;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(storage.format) : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &array->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &array->stride : nullptr;
  return 0;
}

void Array_dealloc(PyObject* self) {
  delete reinterpret_cast<ArrayObject*>(self)->storage;
  free_instance(self);
}

PyType_Slot array_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(Array_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Array_dealloc)},
    {Py_tp_doc, const_cast<char*>("Memory of one decoded column, exported through the buffer protocol.")},
    {0, nullptr},
};

PyType_Spec array_spec = {
    "vantrel._core.Array",
    sizeof(ArrayObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    array_slots,
};

PyTypeObject* array_type = nullptr;  // created once at import

template <class T>
PyRef wrap_vector(vantrel::PodVector<T>&& values, const char* format) {
  auto storage = std::make_unique<VectorStorage<T>>(std::move(values), format);
  PyRef object = PyRef::steal(array_type->tp_alloc(array_type, 0));
  if (!object) return object;
  auto* array = reinterpret_cast<ArrayObject*>(object.get());
  array->storage = storage.release();
  array->shape = 0;
  array->stride = 0;
  return object;
}


// Runs `work` without the interpreter's lock; an exception it throws (out of
// memory) is rethrown once the lock is held again.
template <class Work>
void without_lock(Work&& work) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) std::rethrow_exception(failure);
}

// The dict of arrays of `cols`: subset, descriptor, value, flags, slot,
// text_offsets, text_bytes (and raw).
PyRef columns_dict(vantrel::RecordColumns&& cols, bool with_raw) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return dict;
  PyObject* d = dict.get();
  bool ok = set_item(d, "subset", wrap_vector(std::move(cols.subset), "I")) &&
            set_item(d, "descriptor", wrap_vector(std::move(cols.descriptor), "I")) &&
            set_item(d, "value", wrap_vector(std::move(cols.value), "d")) &&
            set_item(d, "flags", wrap_vector(std::move(cols.flags), "B")) &&
            set_item(d, "slot", wrap_vector(std::move(cols.slot), "I")) &&
            set_item(d, "text_offsets", wrap_vector(std::move(cols.text_offsets), "q")) &&
            set_item(d, "text_bytes", wrap_vector(std::move(cols.text_bytes), "B"));
  if (ok && with_raw) ok = set_item(d, "raw", wrap_vector(std::move(cols.raw), "Q"));
  if (!ok) return PyRef();
  return dict;
}

bool truth(PyObject* object, bool& out) {
  const int flag = PyObject_IsTrue(object);
  if (flag < 0) return false;
  out = flag == 1;
  return true;
}

// The str items of an iterable of key names.
bool key_names(const char* name, PyObject* iterable, std::unordered_set<std::string>& out) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(iterable));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!PyUnicode_Check(item.get())) {
      raise_cast_error(name, item.get(), "str");
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item.get(), &size);
    if (text == nullptr) return false;
    out.emplace(text, static_cast<std::size_t>(size));
  }
  return !PyErr_Occurred();
}

// A list of str.
PyRef str_list(const std::vector<std::string>& texts) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyRef text = make_str(texts[i]);
    if (!text) return PyRef();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text.release());
  }
  return list;
}

// A meaning: str for a code table entry, a list of str for flag table bits.
PyRef meaning_object(const vantrel::Meaning& meaning) {
  if (const auto* text = std::get_if<std::string>(&meaning)) return make_str(*text);
  return str_list(std::get<std::vector<std::string>>(meaning));
}

template <class T>
PyRef vector_array(const std::vector<T>& values, const char* format) {
  vantrel::PodVector<T> out;
  out.append(values.data(), values.data() + values.size());
  return wrap_vector(std::move(out), format);
}

// Adds the keys of the rows to `dict`: "label" per row and the labels'
// "label_key", "label_rank", "label_kind" (ValueKind numbers) and ranked
// "label_names", the "keys" by id; "unit" per row and the "units" by id
// (units only); "meaning" per row (-1: none) and the "meanings" by id
// (meanings only).
bool add_row_keys(PyObject* dict, vantrel::RowKeys&& keys, vantrel::RowKeyOptions options) {
  std::vector<std::string> names(keys.label_key.size());
  for (std::size_t i = 0; i < names.size(); ++i) names[i] = vantrel::ranked_key(keys.keys[keys.label_key[i]], keys.label_rank[i]);
  std::vector<std::uint8_t> kinds(keys.label_kind.size());
  for (std::size_t i = 0; i < kinds.size(); ++i) kinds[i] = static_cast<std::uint8_t>(keys.label_kind[i]);
  bool ok = set_item(dict, "label", wrap_vector(std::move(keys.label), "I")) &&
            set_item(dict, "label_key", vector_array(keys.label_key, "I")) &&
            set_item(dict, "label_rank", vector_array(keys.label_rank, "I")) &&
            set_item(dict, "label_kind", vector_array(kinds, "B")) &&
            set_item(dict, "label_integer", vector_array(keys.label_integer, "B")) &&
            set_item(dict, "label_names", str_list(names)) && set_item(dict, "keys", str_list(keys.keys));
  if (ok && options.units) {
    ok = set_item(dict, "unit", wrap_vector(std::move(keys.unit), "I")) && set_item(dict, "units", str_list(keys.units));
  }
  if (ok && options.meanings) {
    PyRef meanings = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(keys.meanings.size())));
    if (!meanings) return false;
    for (std::size_t i = 0; i < keys.meanings.size(); ++i) {
      PyRef meaning = meaning_object(keys.meanings[i]);
      if (!meaning) return false;
      PyList_SET_ITEM(meanings.get(), static_cast<Py_ssize_t>(i), meaning.release());
    }
    ok = set_item(dict, "meaning", wrap_vector(std::move(keys.meaning), "i")) &&
         set_item(dict, "meanings", std::move(meanings));
  }
  return ok;
}

// The key options of a decode: labels, units, meanings (false: no keys);
// meanings need the raw column.
bool key_options(PyObject* labels, PyObject* units, PyObject* meanings, bool with_raw, bool& keyed,
                 vantrel::RowKeyOptions& options) {
  // Left out: false.
  if ((labels != nullptr && !truth(labels, keyed)) || (units != nullptr && !truth(units, options.units)) ||
      (meanings != nullptr && !truth(meanings, options.meanings))) {
    return false;
  }
  if ((options.units || options.meanings) && !keyed) {
    PyErr_SetString(PyExc_ValueError, "units and meanings come with labels");
    return false;
  }
  if (options.meanings && !with_raw) {
    PyErr_SetString(PyExc_ValueError, "meanings need the raw column: decode with raw=True");
    return false;
  }
  return true;
}


// columns(data, offset, length, tables, rules, raw) -> dict of arrays: subset,
// descriptor, value, flags, slot, text_offsets, text_bytes (and raw), the
// ints used_bits and data_bits and the list warnings as for decode. The
// decode runs with the interpreter's lock released.
PyObject* columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"columns",
                                      {"index", "row", "tables", "rules", "raw", "labels", "units", "meanings"}, 3};
  PyObject* bound[8];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  MessageArgs in;
  bool with_raw = false;
  bool keyed = false;
  vantrel::RowKeyOptions options;
  if (!in.read(bound) || !truth(bound[4], with_raw) ||
      !key_options(bound[5], bound[6], bound[7], with_raw, keyed, options)) {
    return nullptr;
  }
  vantrel::ColumnSink sink(with_raw);
  vantrel::Status status;
  vantrel::DecodeReport report;
  const vantrel::Bytes data = in.message().section4_data(in.bytes);
  without_lock([&] {
    status = vantrel::decode_columns(in.message(), *in.tables, data, sink, in.rules, vantrel::DecodeLimits{},
                                     in.plans, &report);
  });
  if (!status) return raise_decode_error(status.error());
  note_surplus(in.message(), report);
  vantrel::RecordColumns cols = sink.take();
  vantrel::RowKeys keys;
  if (keyed) {
    const vantrel::MessageRows rows{0, cols.rows(), in.tables, in.message().compressed_data, report.attributes};
    without_lock([&] { keys = vantrel::key_rows(cols, std::span(&rows, 1), options); });
  }
  PyRef dict = columns_dict(std::move(cols), with_raw);
  if (!dict || (keyed && !add_row_keys(dict.get(), std::move(keys), options)) || !set_item(dict.get(), "used_bits", py_int(report.used_bits)) ||
      !set_item(dict.get(), "data_bits", py_int(data_bits(data))) ||
      !set_item(dict.get(), "warnings", warning_list(report.warnings))) {
    return nullptr;
  }
  return dict.release();
}

// codes_of(tables, names) -> sorted list of int: the element codes of
// `tables` whose key (see key_of) is one of `names`.
PyObject* codes_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"codes_of", {"tables", "names"}};
  PyObject* bound[2];
  std::unordered_set<std::string> names;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) ||
      !check_instance("tables", bound[0], types.table_set, "TableSet") || !key_names("names", bound[1], names)) {
    return nullptr;
  }
  const vantrel::TableSet& tables = table_set_of(bound[0]);
  std::vector<std::uint32_t> codes;
  tables.for_each_element([&](const vantrel::ElementDefinition& element) {
    if (names.contains(vantrel::key_of(tables, element.code))) codes.push_back(element.code);
  });
  std::ranges::sort(codes);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(codes.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    PyRef code = py_int(codes[i]);
    if (!code) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), code.release());
  }
  return list.release();
}

// element_keys(tables) -> sorted list of str: the keys of every element of `tables`.
PyObject* element_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"element_keys", {"tables"}};
  PyObject* bound[1];
  if (!bind_arguments(signature, args, nargs, kwnames, bound) ||
      !check_instance("tables", bound[0], types.table_set, "TableSet")) {
    return nullptr;
  }
  const vantrel::TableSet& tables = table_set_of(bound[0]);
  std::vector<std::string> keys;
  keys.reserve(tables.element_count());
  tables.for_each_element([&](const vantrel::ElementDefinition& element) {
    keys.push_back(vantrel::key_of(tables, element.code));
  });
  std::ranges::sort(keys);
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return str_list(keys).release();
}

// value_kind(tables, code) -> "number", "text", "code", "flag", "operator"
// or "associated": what the values of an element or operator are; None for
// an element the tables lack.
PyObject* value_kind(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"value_kind", {"tables", "code"}};
  PyObject* bound[2];
  std::uint32_t code = 0;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) ||
      !check_instance("tables", bound[0], types.table_set, "TableSet") || !to_u32("code", bound[1], code)) {
    return nullptr;
  }
  static constexpr const char* NAMES[] = {"number", "text", "code", "flag", "operator", "associated"};
  if (code < 100000 && table_set_of(bound[0]).element(code) == nullptr) Py_RETURN_NONE;
  return PyUnicode_FromString(NAMES[static_cast<int>(vantrel::value_kind_of(table_set_of(bound[0]), code))]);
}

// key_of(tables, code) -> str: the key values of `code` go by.
PyObject* key_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"key_of", {"tables", "code"}};
  PyObject* bound[2];
  std::uint32_t code = 0;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) ||
      !check_instance("tables", bound[0], types.table_set, "TableSet") || !to_u32("code", bound[1], code)) {
    return nullptr;
  }
  return make_str(vantrel::key_of(table_set_of(bound[0]), code)).release();
}

// expanded_descriptors(tables, codes) -> list of int: ecCodes' expandedDescriptors
// of a descriptor list: the tables' expansion, with each delayed replication
// before its factor as 1 XX 000, XX the codes its group expanded to.
PyObject* expanded_descriptors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"expanded_descriptors", {"tables", "codes"}};
  PyObject* bound[2];
  std::vector<std::uint32_t> codes;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) ||
      !check_instance("tables", bound[0], types.table_set, "TableSet") || !to_code_list("codes", bound[1], codes)) {
    return nullptr;
  }
  std::vector<std::uint32_t> output;
  vantrel::ExpansionState state;
  state.as_eccodes = true;
  const auto appended = table_set_of(bound[0]).expand_into(codes, output, state, 0);
  if (!appended) return raise_bufr_error(appended.error());
  return make_code_list(output).release();
}

// ranked_keys(keys) -> list of str: the keys of one subset's values in walk
// order, each ranked by its occurrence ("#2#key" for the second).
PyObject* ranked_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"ranked_keys", {"keys"}};
  PyObject* bound[1];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  PyRef iterator = PyRef::steal(PyObject_GetIter(bound[0]));
  if (!iterator) return nullptr;
  std::unordered_map<std::string, std::uint32_t> seen;
  std::vector<std::string> out;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!PyUnicode_Check(item.get())) {
      raise_cast_error("keys", item.get(), "str");
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item.get(), &size);
    if (text == nullptr) return nullptr;
    std::string key(text, static_cast<std::size_t>(size));
    const std::uint32_t rank = ++seen[key];
    out.push_back(vantrel::ranked_key(key, rank));
  }
  if (PyErr_Occurred()) return nullptr;
  return str_list(out).release();
}

// meaning_of(tables, code, raw) -> str, list of str or None: the code table
// meaning of `raw`, or the meanings of its set flag bits.
PyObject* meaning_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"meaning_of", {"tables", "code", "raw"}};
  PyObject* bound[3];
  std::uint32_t code = 0;
  std::uint64_t raw = 0;
  if (!bind_arguments(signature, args, nargs, kwnames, bound) ||
      !check_instance("tables", bound[0], types.table_set, "TableSet") || !to_u32("code", bound[1], code) ||
      !to_u64("raw", bound[2], raw)) {
    return nullptr;
  }
  std::optional<vantrel::Meaning> meaning = vantrel::meaning_of(table_set_of(bound[0]), code, raw);
  if (!meaning) Py_RETURN_NONE;
  return meaning_object(*meaning).release();
}

// columns_many(data, frames, numbers, tables, rules, raw, threads, keep) -> (dict, errors, bits):
// the columns of several framed messages of `data` one after the other, in
// one set of arrays with a "message" column. `frames` packs (offset, length)
// as native uint64 pairs, `numbers` the uint32 number each message's rows
// carry in "message", `tables` is a list of one TableSet per message. A
// message whose header or data is bad leaves no rows; errors lists (position,
// reason) of each, position counting the frames from 0; bits lists
// (position, used_bits, data_bits, warnings) of each message decoded. The decode runs
// with the interpreter's lock released, on up to `threads` threads (0: one).
// `keep` is None (every row) or a collection of key names (no ranks): the
// rows of other elements, operators and associated fields are left out.
PyObject* columns_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"columns_many",
                                      {"index", "rows", "tables", "which", "rules", "raw", "threads", "keep",
                                       "labels", "units", "meanings"},
                                      3};
  PyObject* bound[11];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  BufferView row_view;
  BufferView which_view;
  bool with_raw = false;
  std::uint32_t threads = 1;
  vantrel::Rules rules = vantrel::Rules::Wmo;
  if (!check_instance("index", bound[0], index_type, "Index") || !row_view.acquire("rows", bound[1]) ||
      !which_view.acquire("which", bound[3]) || !to_rules(bound[4], rules) || !truth(bound[5], with_raw) ||
      !to_u32("threads", bound[6], threads)) {
    return nullptr;
  }
  bool keyed = false;
  vantrel::RowKeyOptions options;
  if (!key_options(bound[8], bound[9], bound[10], with_raw, keyed, options)) return nullptr;
  const vantrel::Bytes row_bytes = row_view.bytes();
  const vantrel::Bytes which_bytes = which_view.bytes();
  if (row_bytes.size() % sizeof(std::uint32_t) != 0 || which_bytes.size() != row_bytes.size()) {
    PyErr_SetString(PyExc_ValueError, "rows and which must hold one uint32 each per message");
    return nullptr;
  }
  PyObject* table_list = bound[2];
  if (!PyList_Check(table_list)) {
    PyErr_SetString(PyExc_TypeError, "tables must be a list of TableSet");
    return nullptr;
  }
  const std::size_t table_count = static_cast<std::size_t>(PyList_GET_SIZE(table_list));
  // A copy of the list keeps every TableSet alive while the lock is released,
  // whatever another thread does to the caller's list meanwhile.
  PyRef keep_list = PyRef::steal(PyList_GetSlice(table_list, 0, PyList_GET_SIZE(table_list)));
  if (!keep_list) return nullptr;
  for (std::size_t t = 0; t < table_count; ++t) {
    if (!check_instance("tables", PyList_GET_ITEM(keep_list.get(), static_cast<Py_ssize_t>(t)), types.table_set,
                        "TableSet")) {
      return nullptr;
    }
  }
  const auto* object = reinterpret_cast<IndexObject*>(bound[0]);
  const auto& messages = object->index->messages;
  const vantrel::Bytes data(static_cast<const std::uint8_t*>(object->view.buf),
                            static_cast<std::size_t>(object->view.len));
  const std::size_t count = row_bytes.size() / sizeof(std::uint32_t);
  std::vector<vantrel::ColumnJob> jobs;
  jobs.reserve(count);
  std::vector<std::size_t> positions;  // of each job among the rows asked for
  positions.reserve(count);
  std::vector<Failure> bad_headers;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t row = 0;
    std::uint32_t which = 0;
    std::memcpy(&row, row_bytes.data() + i * sizeof(row), sizeof(row));
    std::memcpy(&which, which_bytes.data() + i * sizeof(which), sizeof(which));
    if (row >= messages.size() || which >= table_count) {
      PyErr_Format(PyExc_IndexError, "row %u or table %u out of range for %zu messages and %zu tables", row, which,
                   messages.size(), table_count);
      return nullptr;
    }
    const vantrel::IndexedMessage& entry = messages[row];
    if (!entry.header) {
      bad_headers.push_back({i, "header", entry.header.error()});
      continue;
    }
    PyObject* tables = PyList_GET_ITEM(keep_list.get(), static_cast<Py_ssize_t>(which));
    vantrel::ColumnJob& job = jobs.emplace_back();
    job.bytes = data.subspan(entry.frame.offset, entry.frame.length);
    job.message = &entry.header->message;
    job.number = row + 1;
    job.tables = &table_set_of(tables);
    job.plans = &plan_cache_of(tables);
    job.rules = rules;
    positions.push_back(i);
  }

  std::unique_ptr<vantrel::RowFilter> filter;
  if (bound[7] != Py_None) {
    // The elements whose key (any rank) is one of the names, in every table set of the call.
    std::unordered_set<std::string> names;
    if (!key_names("keep", bound[7], names)) return nullptr;
    filter = std::make_unique<vantrel::RowFilter>();
    for (std::size_t t = 0; t < table_count; ++t) {
      const vantrel::TableSet& set = table_set_of(PyList_GET_ITEM(keep_list.get(), static_cast<Py_ssize_t>(t)));
      set.for_each_element([&](const vantrel::ElementDefinition& element) {
        if (names.contains(vantrel::key_of(set, element.code))) filter->keep(element.code);
      });
    }
  }

  vantrel::ColumnBatch batch;
  vantrel::RowKeys keys;
  vantrel::PodVector<std::uint64_t> message_rows;  // of each message decoded, in order
  without_lock([&] {
    batch = vantrel::decode_column_batch(jobs, with_raw, threads, filter.get());
    std::vector<vantrel::MessageRows> runs;
    runs.reserve(batch.bits.size());
    std::size_t first = 0;
    for (const auto& decoded : batch.bits) {
      const vantrel::ColumnJob& job = jobs[decoded.position];
      runs.push_back({first, decoded.rows, job.tables, job.message->compressed_data, decoded.attributes});
      message_rows.push_back(decoded.rows);
      first += decoded.rows;
    }
    if (keyed) keys = vantrel::key_rows(batch.columns, runs, options, threads);
  });
  // Failures and bit counts by position among the rows asked for, in that order.
  std::vector<Failure> failures = std::move(bad_headers);
  for (auto& failure : batch.failures) {
    failures.push_back({positions[failure.position], failure_class(failure.kind), std::move(failure.reason)});
  }
  std::ranges::sort(failures, {}, &Failure::position);
  auto& bits = batch.bits;
  for (auto& entry : bits) entry.position = positions[entry.position];
  PyRef dict = columns_dict(std::move(batch.columns), with_raw);
  if (!dict || !set_item(dict.get(), "message", wrap_vector(std::move(batch.message), "I")) ||
      !set_item(dict.get(), "message_rows", wrap_vector(std::move(message_rows), "Q")) ||
      (keyed && !add_row_keys(dict.get(), std::move(keys), options))) {
    return nullptr;
  }
  PyRef errors = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(failures.size())));
  if (!errors) return nullptr;
  for (std::size_t i = 0; i < failures.size(); ++i) {
    PyRef reason = make_str(failures[i].reason);
    if (!reason) return nullptr;
    PyObject* item =
        Py_BuildValue("(nsO)", static_cast<Py_ssize_t>(failures[i].position), failures[i].kind, reason.get());
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(errors.get(), static_cast<Py_ssize_t>(i), item);
  }
  PyRef counts = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(bits.size())));
  if (!counts) return nullptr;
  for (std::size_t i = 0; i < bits.size(); ++i) {
    PyRef warnings = warning_list(bits[i].warnings);
    if (!warnings) return nullptr;
    PyObject* item = Py_BuildValue("(nKKO)", static_cast<Py_ssize_t>(bits[i].position),
                                   static_cast<unsigned long long>(bits[i].used),
                                   static_cast<unsigned long long>(bits[i].available), warnings.get());
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(counts.get(), static_cast<Py_ssize_t>(i), item);
  }
  return PyTuple_Pack(3, dict.get(), errors.get(), counts.get());
}

// matrix(data, offset, length, tables, rules, threads) -> (values, rows,
// descriptors, column_major, used_bits, data_bits, warnings): values rows x
// len(descriptors), one column after the other when column_major (compressed
// data) else one row after the other, and the bits and warnings as for
// decode; (None, used_bits, data_bits, warnings) when the subsets of
// non-compressed data differ in structure.
PyObject* matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"matrix", {"index", "row", "tables", "rules", "threads"}};
  PyObject* bound[5];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  MessageArgs in;
  std::uint32_t threads = 1;
  if (!in.read(bound) || !to_u32("threads", bound[4], threads)) return nullptr;
  vantrel::MatrixSink sink;
  sink.set_threads(threads);
  vantrel::Status status;
  vantrel::DecodeReport report;
  const vantrel::Bytes data = in.message().section4_data(in.bytes);
  without_lock([&] {
    status = vantrel::decode_matrix(in.message(), *in.tables, data, sink, in.rules, vantrel::DecodeLimits{},
                                    in.plans, &report);
  });
  if (!status) return raise_decode_error(status.error());
  note_surplus(in.message(), report);
  const unsigned long long used = report.used_bits;
  const unsigned long long available = data_bits(data);
  PyRef warnings = warning_list(report.warnings);
  if (!warnings) return nullptr;
  if (!sink.regular()) return Py_BuildValue("(OKKO)", Py_None, used, available, warnings.get());
  const std::uint32_t rows = sink.rows();
  const bool column_major = sink.column_major();
  sink.values().shrink_to_fit();
  PyRef values = wrap_vector(std::move(sink.values()), "d");
  PyRef descriptors = wrap_vector(std::move(sink.descriptors()), "I");
  if (!values || !descriptors) return nullptr;
  return Py_BuildValue("(OIOOKKO)", values.get(), rows, descriptors.get(), column_major ? Py_True : Py_False, used,
                       available, warnings.get());
}

// The contents of a buffer as an array of T: false with a ValueError unless
// its size is a multiple of T's and its start aligned for T.
template <class T>
bool typed_view(const char* name, PyObject* object, BufferView& view, std::span<const T>& out) {
  if (!view.acquire(name, object)) return false;
  const vantrel::Bytes bytes = view.bytes();
  if (bytes.size() % sizeof(T) != 0 || reinterpret_cast<std::uintptr_t>(bytes.data()) % alignof(T) != 0) {
    PyErr_Format(PyExc_ValueError, "%s must be an aligned array of %zu-byte items", name, sizeof(T));
    return false;
  }
  out = {reinterpret_cast<const T*>(bytes.data()), bytes.size() / sizeof(T)};
  return true;
}

// scatter_wide(value, label, subset, message_rows, bases, subsets,
// slot_major, column_of, columns, total, threads[, into]) -> (values,
// object_rows, object_out, object_column): the wide block of keyed rows (see
// wide_block.hpp), computed without the interpreter's lock; `values` is empty
// when the cells went to `into` (a writable buffer the caller has done with).
PyObject* scatter_wide(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"scatter_wide",
                                      {"value", "label", "subset", "message_rows", "bases", "subsets", "slot_major",
                                       "column_of", "columns", "total", "threads", "into"},
                                      1};
  PyObject* bound[12];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  BufferView views[8];
  std::span<const double> value;
  std::span<const std::uint32_t> label;
  std::span<const std::uint32_t> subset;
  vantrel::WideMessages messages;
  std::span<const std::int32_t> column_of;
  std::uint64_t columns = 0;
  std::uint64_t total = 0;
  std::uint32_t threads = 1;
  if (!typed_view("value", bound[0], views[0], value) || !typed_view("label", bound[1], views[1], label) ||
      !typed_view("subset", bound[2], views[2], subset) ||
      !typed_view("message_rows", bound[3], views[3], messages.rows) ||
      !typed_view("bases", bound[4], views[4], messages.bases) ||
      !typed_view("subsets", bound[5], views[5], messages.subsets) ||
      !typed_view("slot_major", bound[6], views[6], messages.slot_major) ||
      !typed_view("column_of", bound[7], views[7], column_of) || !to_u64("columns", bound[8], columns) ||
      !to_u64("total", bound[9], total) || !to_u32("threads", bound[10], threads)) {
    return nullptr;
  }
  BufferView into_view;
  std::span<double> into;
  if (bound[11] != nullptr && bound[11] != Py_None) {
    if (!into_view.acquire("into", bound[11], true)) return nullptr;
    const std::span<std::uint8_t> bytes = into_view.writable_bytes();
    if (reinterpret_cast<std::uintptr_t>(bytes.data()) % alignof(double) != 0) {
      PyErr_SetString(PyExc_ValueError, "into must be aligned for float64");
      return nullptr;
    }
    into = {reinterpret_cast<double*>(bytes.data()), bytes.size() / sizeof(double)};
  }
  vantrel::WideBlock block;
  std::string failure;
  without_lock([&] {
    try {
      block = vantrel::scatter_wide(value, label, subset, messages, column_of, columns, total, threads, into);
    } catch (const std::invalid_argument& error) {
      failure = error.what();
    }
  });
  if (!failure.empty()) {
    PyErr_SetString(PyExc_ValueError, failure.c_str());
    return nullptr;
  }
  PyRef values = wrap_vector(std::move(block.values), "d");
  PyRef rows = wrap_vector(std::move(block.object_rows), "q");
  PyRef out = wrap_vector(std::move(block.object_out), "q");
  PyRef column = wrap_vector(std::move(block.object_column), "i");
  if (!values || !rows || !out || !column) return nullptr;
  return PyTuple_Pack(4, values.get(), rows.get(), out.get(), column.get());
}

// context_rows(rows, chosen, group, descriptor, slot, keys, groups) -> (kind,
// group, coordinates, observed, observed_row, ranges): the rows in context of
// chosen rows (see context_rows.hpp), made without the interpreter's lock.
PyObject* context_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"context_rows",
                                      {"rows", "chosen", "group", "descriptor", "slot", "keys", "groups"}};
  PyObject* bound[7];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  BufferView views[5];
  std::span<const std::int64_t> rows;
  std::span<const std::int32_t> chosen;
  std::span<const std::int64_t> group;
  std::span<const std::uint32_t> descriptor;
  std::span<const std::uint32_t> slot;
  std::uint64_t keys = 0;
  std::uint64_t groups = 0;
  if (!typed_view("rows", bound[0], views[0], rows) || !typed_view("chosen", bound[1], views[1], chosen) ||
      !typed_view("group", bound[2], views[2], group) ||
      !typed_view("descriptor", bound[3], views[3], descriptor) || !typed_view("slot", bound[4], views[4], slot) ||
      !to_u64("keys", bound[5], keys) || !to_u64("groups", bound[6], groups)) {
    return nullptr;
  }
  vantrel::ContextRows out;
  std::string failure;
  without_lock([&] {
    try {
      out = vantrel::context_rows(rows, chosen, group, descriptor, slot, keys, groups);
    } catch (const std::invalid_argument& error) {
      failure = error.what();
    }
  });
  if (!failure.empty()) {
    PyErr_SetString(PyExc_ValueError, failure.c_str());
    return nullptr;
  }
  PyRef kinds = vector_array(out.kind, "B");
  PyRef groups_of = wrap_vector(std::move(out.group), "q");
  PyRef coordinates = wrap_vector(std::move(out.coordinates), "q");
  PyRef observed = wrap_vector(std::move(out.observed), "q");
  PyRef observed_row = wrap_vector(std::move(out.observed_row), "q");
  PyRef ranges = wrap_vector(std::move(out.ranges), "q");
  if (!kinds || !groups_of || !coordinates || !observed || !observed_row || !ranges) return nullptr;
  return PyTuple_Pack(6, kinds.get(), groups_of.get(), coordinates.get(), observed.get(), observed_row.get(),
                      ranges.get());
}

// ecmwf_keys(index) -> {name: list}: ECMWF's local section 2 keys of every
// message of the index, by their ecCodes names, None where a message has no
// such section (or the key belongs to the other kind of report: satellite or not).
PyObject* ecmwf_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"ecmwf_keys", {"index"}};
  PyObject* bound[1];
  if (!bind_arguments(signature, args, nargs, kwnames, bound) ||
      !check_instance("index", bound[0], index_type, "Index")) {
    return nullptr;
  }
  const auto* object = reinterpret_cast<IndexObject*>(bound[0]);
  const vantrel::Bytes data(static_cast<const std::uint8_t*>(object->view.buf),
                            static_cast<std::size_t>(object->view.len));
  const auto& messages = object->index->messages;
  std::vector<std::optional<vantrel::EcmwfLocalKeys>> keys;
  keys.reserve(messages.size());
  for (const auto& entry : messages) {
    if (!entry.header) {
      keys.emplace_back();
      continue;
    }
    keys.push_back(vantrel::ecmwf_local_keys(data.subspan(entry.frame.offset, entry.frame.length),
                                             entry.header->message));
  }
  using Keys = vantrel::EcmwfLocalKeys;
  // Which reports a key belongs to: every one, those of one place, or satellite ones.
  enum class For { All, Place, Satellite };
  const auto column = [&](For reports, auto value) -> PyRef {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(keys.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      PyRef item;
      const bool fits = keys[i] && (reports == For::All || (reports == For::Satellite) == keys[i]->satellite);
      if (fits) {
        item = value(*keys[i]);
      } else {
        item = PyRef::borrow(Py_None);
      }
      if (!item) return PyRef();
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
  };
  const auto integer = [](auto member) { return [member](const Keys& k) { return py_int(k.*member); }; };
  const auto real = [](auto member) { return [member](const Keys& k) { return PyRef::steal(PyFloat_FromDouble(k.*member)); }; };
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok =
      set_item(d, "rdbType", column(For::All, integer(&Keys::rdb_type))) &&
      set_item(d, "oldSubtype", column(For::All, integer(&Keys::old_subtype))) &&
      set_item(d, "newSubtype", column(For::All, integer(&Keys::new_subtype))) &&
      set_item(d, "rdbSubtype", column(For::All, integer(&Keys::rdb_subtype))) &&
      set_item(d, "localYear", column(For::All, integer(&Keys::local_year))) &&
      set_item(d, "localMonth", column(For::All, integer(&Keys::local_month))) &&
      set_item(d, "localDay", column(For::All, integer(&Keys::local_day))) &&
      set_item(d, "localHour", column(For::All, integer(&Keys::local_hour))) &&
      set_item(d, "localMinute", column(For::All, integer(&Keys::local_minute))) &&
      set_item(d, "localSecond", column(For::All, integer(&Keys::local_second))) &&
      set_item(d, "rdbtimeDay", column(For::All, integer(&Keys::rdbtime_day))) &&
      set_item(d, "rdbtimeHour", column(For::All, integer(&Keys::rdbtime_hour))) &&
      set_item(d, "rdbtimeMinute", column(For::All, integer(&Keys::rdbtime_minute))) &&
      set_item(d, "rdbtimeSecond", column(For::All, integer(&Keys::rdbtime_second))) &&
      set_item(d, "rdbtimeTime", column(For::All, [](const Keys& k) {
        char text[16];
        std::snprintf(text, sizeof text, "%02u%02u%02u", unsigned{k.rdbtime_hour}, unsigned{k.rdbtime_minute},
                      unsigned{k.rdbtime_second});
        return make_str(text);
      })) &&
      set_item(d, "rectimeDay", column(For::All, integer(&Keys::rectime_day))) &&
      set_item(d, "rectimeHour", column(For::All, integer(&Keys::rectime_hour))) &&
      set_item(d, "rectimeMinute", column(For::All, integer(&Keys::rectime_minute))) &&
      set_item(d, "rectimeSecond", column(For::All, integer(&Keys::rectime_second))) &&
      set_item(d, "qualityControl", column(For::All, integer(&Keys::quality_control))) &&
      set_item(d, "isSatellite", column(For::All, [](const Keys& k) { return py_int(k.satellite ? 1 : 0); })) &&
      set_item(d, "localLatitude", column(For::Place, real(&Keys::local_latitude))) &&
      set_item(d, "localLongitude", column(For::Place, real(&Keys::local_longitude))) &&
      set_item(d, "ident", column(For::Place, [](const Keys& k) { return make_str(k.ident); })) &&
      set_item(d, "localLatitude1", column(For::Satellite, real(&Keys::local_latitude1))) &&
      set_item(d, "localLongitude1", column(For::Satellite, real(&Keys::local_longitude1))) &&
      set_item(d, "localLatitude2", column(For::Satellite, real(&Keys::local_latitude2))) &&
      set_item(d, "localLongitude2", column(For::Satellite, real(&Keys::local_longitude2))) &&
      set_item(d, "localNumberOfObservations", column(For::Satellite, integer(&Keys::local_number_of_observations))) &&
      set_item(d, "satelliteID", column(For::Satellite, integer(&Keys::satellite_id)));
  if (!ok) return nullptr;
  return dict.release();
}

// ---- mapped files ------------------------------------------------------------

struct MappedFileObject {
  PyObject_HEAD
  vantrel::MappedFile* file;  // owned
};

PyTypeObject* mapped_file_type = nullptr;  // created once at import

// The whole file, read-only, for as long as a view of it lives.
int MappedFile_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  const vantrel::MappedFile& file = *reinterpret_cast<MappedFileObject*>(self)->file;
  return PyBuffer_FillInfo(view, self, const_cast<std::uint8_t*>(file.data()), static_cast<Py_ssize_t>(file.size()),
                           1, flags);
}

void MappedFile_dealloc(PyObject* self) {
  delete reinterpret_cast<MappedFileObject*>(self)->file;
  free_instance(self);
}

PyObject* MappedFile_lost(PyObject* self, void*) {
  const auto lost = reinterpret_cast<MappedFileObject*>(self)->file->lost_from();
  if (!lost) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*lost);
}

PyGetSetDef mapped_file_getset[] = {
    {"lost", MappedFile_lost, nullptr,
     const_cast<char*>("Offset of the first page read after the file had shrunk below it (read as zeros), or None."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot mapped_file_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(MappedFile_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(MappedFile_dealloc)},
    {Py_tp_getset, mapped_file_getset},
    {Py_tp_doc, const_cast<char*>("A read-only map of a whole file that a shrinking file cannot crash.")},
    {0, nullptr},
};

PyType_Spec mapped_file_spec = {
    "vantrel._core.MappedFile",
    sizeof(MappedFileObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    mapped_file_slots,
};

// map_file(fd) -> MappedFile: the whole open file, mapped; OSError when it cannot be
// (an empty file, a pipe, a device).
PyObject* map_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const FunctionSpec signature{"map_file", {"fd"}};
  PyObject* bound[1];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  const int fd = PyObject_AsFileDescriptor(bound[0]);
  if (fd < 0) return nullptr;
  auto mapped = vantrel::MappedFile::map(fd);
  if (!mapped) {
    PyErr_SetString(PyExc_OSError, mapped.error().text().c_str());
    return nullptr;
  }
  auto file = std::make_unique<vantrel::MappedFile>(std::move(*mapped));
  PyObject* object = mapped_file_type->tp_alloc(mapped_file_type, 0);
  if (object == nullptr) return nullptr;
  reinterpret_cast<MappedFileObject*>(object)->file = file.release();
  return object;
}

#define VANTREL_FUNCTION(name, doc) {#name, as_method(guarded<name>), METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef core_functions[] = {
    VANTREL_FUNCTION(index, "index(data)\n--\n\nFrame every BUFR message of a buffer and parse each header, once."),
    VANTREL_FUNCTION(load_tables,
                     "load_tables(root, master_table, master_version, centre, subcentre, local_version)\n--\n\n"
                     "The table set of a definitions root for these header fields, and the warnings of its load."),
    VANTREL_FUNCTION(columns, "columns(index, row, tables, rules, raw)\n--\n\n"
                              "Typed columns of one framed message, decoded without the interpreter lock."),
    VANTREL_FUNCTION(columns_many, "columns_many(index, rows, tables, which, rules, raw, threads, keep)\n--\n\n"
                                   "Typed columns of several messages of an index in one set of arrays, and "
                                   "the failures; decoded without the interpreter lock."),
    VANTREL_FUNCTION(value_kind, "value_kind(tables, code)\n--\n\n"
                                 "\"code\" or \"flag\" when the element's unit names a code or flag table, "
                                 "\"text\" for character data, \"operator\", \"associated\", \"number\" "
                                 "otherwise; None for an unknown element."),
    VANTREL_FUNCTION(scatter_wide, "scatter_wide(value, label, subset, message_rows, bases, subsets, slot_major, "
                                   "column_of, columns, total, threads, into=None)\n--\n\n"
                                   "The wide block of keyed rows and the rows of its object columns."),
    VANTREL_FUNCTION(context_rows, "context_rows(rows, chosen, group, descriptor, slot, keys, groups)\n--\n\n"
                                   "Rows in context of chosen rows: each key's kind (0 absent, 1 coordinate, "
                                   "2 observation), the group of each row, its coordinates in force, its "
                                   "observations and the ranges of coordinate values."),
    VANTREL_FUNCTION(expanded_descriptors, "expanded_descriptors(tables, codes)\n--\n\n"
                                           "ecCodes' expandedDescriptors of a descriptor list."),
    VANTREL_FUNCTION(ranked_keys, "ranked_keys(keys)\n--\n\n"
                                  "The keys of one subset's values, ranked by occurrence."),
    VANTREL_FUNCTION(ecmwf_keys, "ecmwf_keys(index)\n--\n\n"
                                 "ECMWF's local section 2 keys of every message, by their ecCodes names."),
    VANTREL_FUNCTION(key_of, "key_of(tables, code)\n--\n\n"
                             "The key values of an element or operator go by."),
    VANTREL_FUNCTION(meaning_of, "meaning_of(tables, code, raw)\n--\n\n"
                                 "A code table value's meaning, the meanings of a flag table value's set bits, "
                                 "or None."),
    VANTREL_FUNCTION(element_keys, "element_keys(tables)\n--\n\n"
                                   "The keys of every element of a table set, sorted."),
    VANTREL_FUNCTION(codes_of, "codes_of(tables, names)\n--\n\n"
                               "The element codes whose key is one of the names."),
    VANTREL_FUNCTION(matrix, "matrix(index, row, tables, rules, threads)\n--\n\n"
                             "One row per subset and one column per slot, or None for irregular data."),
    VANTREL_FUNCTION(decode, "decode(index, row, tables, rules)\n--\n\n"
                             "The values of one framed message and where each subset starts."),
    VANTREL_FUNCTION(map_file, "map_file(fd)\n--\n\n"
                               "A read-only map of the whole open file that its shrinking cannot crash."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef core_module_def = {
    PyModuleDef_HEAD_INIT,
    "vantrel._core",
    "Native core of the vantrel package: archive framing, headers of every edition, decoding.",
    0,
    core_functions,
    nullptr, nullptr, nullptr, nullptr,
};

// Looks up _vantrel's classes so that this module builds and accepts the same objects.
bool bind_types() {
  PyRef vantrel_module = PyRef::steal(PyImport_ImportModule("_vantrel"));
  if (!vantrel_module) return false;
  struct Entry {
    const char* name;
    PyTypeObject** slot;
  };
  const Entry entries[] = {
      {"BufrMessage", &types.bufr_message},
      {"DecodedValue", &types.decoded_value},
      {"Descriptor", &types.descriptor},
      {"ElementDefinition", &types.element_definition},
      {"SequenceDefinition", &types.sequence_definition},
      {"TableSet", &types.table_set},
  };
  for (const Entry& entry : entries) {
    if (*entry.slot != nullptr) continue;
    PyRef type = PyRef::steal(PyObject_GetAttrString(vantrel_module.get(), entry.name));
    if (!type) return false;
    if (!PyType_Check(type.get())) {
      PyErr_Format(PyExc_ImportError, "_vantrel.%s is not a class", entry.name);
      return false;
    }
    // Kept for the life of the process, as _vantrel keeps them.
    *entry.slot = reinterpret_cast<PyTypeObject*>(type.release());
  }
  return true;
}

}  // namespace
}  // namespace vantrel::py

PyMODINIT_FUNC PyInit__core() {
  using namespace vantrel::py;
  if (!bind_types()) return nullptr;
  if (array_type == nullptr) {
    // Kept for the life of the process, like the module.
    array_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&array_spec));
    if (array_type == nullptr) return nullptr;
    mapped_file_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&mapped_file_spec));
    if (mapped_file_type == nullptr) return nullptr;
    index_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&index_spec));
    if (index_type == nullptr) return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create(&core_module_def));
  if (!module) return nullptr;
  if (PyModule_AddObject(module.get(), "Array", PyRef::borrow(reinterpret_cast<PyObject*>(array_type)).release()) < 0)
    return nullptr;
  // The names of the bits of the index's "quirks" column, bit 0 first.
  namespace quirks = vantrel::header_quirks;
  static_assert(quirks::CENTURY_YEAR == 1 && quirks::YEAR_ABOVE_100 == 2 && quirks::ODD_DESCRIPTOR_BYTE == 4 &&
                quirks::NO_DESCRIPTORS == 8 && quirks::BYTES_BEFORE_END == 16);
  PyRef names = PyRef::steal(Py_BuildValue("(sssss)", "century_year", "year_above_100", "odd_descriptor_byte",
                                           "no_descriptors", "bytes_before_end"));
  if (!names || PyModule_AddObject(module.get(), "HEADER_QUIRKS", names.get()) < 0) return nullptr;
  static_cast<void>(names.release());  // the module holds it now
  // The names of marker values as attributes, and the separator of attribute keys.
  using vantrel::AttributeKind;
  const auto name = [](AttributeKind kind) { return std::string(vantrel::attribute_name(kind)); };
  PyRef attributes = PyRef::steal(Py_BuildValue("(ssss)", name(AttributeKind::Substituted).c_str(),
                                                name(AttributeKind::FirstOrder).c_str(),
                                                name(AttributeKind::Difference).c_str(),
                                                name(AttributeKind::ReplacedRetained).c_str()));
  if (!attributes || PyModule_AddObject(module.get(), "ATTRIBUTE_NAMES", attributes.get()) < 0) return nullptr;
  static_cast<void>(attributes.release());
  const std::string separator(vantrel::ATTRIBUTE_SEPARATOR);
  if (PyModule_AddStringConstant(module.get(), "ATTRIBUTE_SEPARATOR", separator.c_str()) < 0) return nullptr;
  return module.release();
}
