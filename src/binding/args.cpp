#include "binding/args.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "binding/module.hpp"
#include "io/file.hpp"

namespace vantrel::py {

// The classes of _vantrel, made by its module init and found by vantrel._core's:
// one set per process, as the code they run is.
ModuleTypes types;

namespace {

// The type's __name__ (tp_name holds "module.Name" for static types).
const char* type_name(PyObject* object) {
  const char* name = Py_TYPE(object)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr ? dot + 1 : name;
}

void raise_type_error(const std::string& text) { PyErr_SetString(PyExc_TypeError, text.c_str()); }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_names(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

int find_parameter(const FunctionSpec& signature, PyObject* keyword) {
  int index = 0;
  for (const char* param : signature.params) {
    if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, param) == 0) return index;
    ++index;
  }
  return -1;
}

bool too_many_positional(const FunctionSpec& signature, Py_ssize_t given) {
  raise_type_error(std::string(signature.name) + "() takes " + std::to_string(signature.params.size()) +
                   " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
                   " given");
  return false;
}

// Places one keyword argument; false with a TypeError set on a clash or an unknown name.
bool place_keyword(const FunctionSpec& signature, PyObject* keyword, PyObject* value, PyObject** out) {
  const int index = find_parameter(signature, keyword);
  if (index < 0) {
    PyRef text = PyRef::steal(PyObject_Str(keyword));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) return false;
    raise_type_error(std::string(signature.name) + "() got an unexpected keyword argument '" + utf8 + "'");
    return false;
  }
  if (out[index] != nullptr) {
    raise_type_error(std::string(signature.name) + "() got multiple values for argument '" +
                     signature.params.begin()[index] + "'");
    return false;
  }
  out[index] = value;
  return true;
}

bool check_missing(const FunctionSpec& signature, PyObject** out) {
  std::vector<const char*> missing;
  const std::size_t required = signature.params.size() - std::min(signature.optional, signature.params.size());
  std::size_t index = 0;
  for (const char* param : signature.params) {
    if (index < required && out[index] == nullptr) missing.push_back(param);
    ++index;
  }
  if (missing.empty()) return true;
  raise_type_error(std::string(signature.name) + "() missing " + std::to_string(missing.size()) +
                   " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                   join_names(missing));
  return false;
}

// A Python int (through the index protocol) as a C long, or a pending exception.
bool index_as_long(const char* name, PyObject* object, long& out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) {
    prefix_type_error(name);
    return false;
  }
  out = PyLong_AsLong(index.get());
  return !(out == -1 && PyErr_Occurred());
}

bool out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

}  // namespace

bool bind_arguments(const FunctionSpec& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) {
  const auto count = static_cast<Py_ssize_t>(signature.params.size());
  if (nargs > count) return too_many_positional(signature, nargs);
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_missing(signature, out);
}

bool bind_tuple_arguments(const FunctionSpec& signature, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const auto count = static_cast<Py_ssize_t>(signature.params.size());
  if (nargs > count) return too_many_positional(signature, nargs);
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs != nullptr) {
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(signature, key, value, out)) return false;
    }
  }
  return check_missing(signature, out);
}

void raise_cast_error(const char* name, PyObject* object, const char* expected) {
  raise_type_error(std::string("argument '") + name + "': '" + type_name(object) + "' object cannot be cast as '" +
                   expected + "'");
}

void prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  PyRef text = PyRef::steal(PyObject_Str(owned_value.get()));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) return;
  raise_type_error(std::string("argument '") + name + "': " + utf8);
}

bool to_bytes(const char* name, PyObject* object, std::span<const std::uint8_t>& out) {
  if (!PyBytes_Check(object)) {
    raise_cast_error(name, object, "bytes");
    return false;
  }
  out = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
         static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
  return true;
}

bool to_path(const char* name, PyObject* object, std::string& out) {
  if (!PyUnicode_Check(object)) {
    raise_cast_error(name, object, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool to_u8(const char* name, PyObject* object, std::uint8_t& out) {
  long value;
  if (!index_as_long(name, object, value)) return false;
  if (value < 0 || value > 0xFF) return out_of_range();
  out = static_cast<std::uint8_t>(value);
  return true;
}

bool to_u32(const char* name, PyObject* object, std::uint32_t& out) {
  long value;
  if (!index_as_long(name, object, value)) return false;
  if (value < 0 || value > 0xFFFFFFFFL) return out_of_range();
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool to_u64(const char* name, PyObject* object, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) {
    prefix_type_error(name);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_code_list(const char* name, PyObject* object, std::vector<std::uint32_t>& out) {
  if (PyUnicode_Check(object)) {
    raise_type_error(std::string("argument '") + name + "': Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_cast_error(name, object, "Sequence");
    return false;
  }
  // The length only sizes the first allocation: a sequence may claim any
  // length (range(2**40)), so the reservation is capped and the list grows
  // as items actually arrive.
  constexpr Py_ssize_t MAX_RESERVE = 1 << 16;
  const Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(size < MAX_RESERVE ? size : MAX_RESERVE));
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) {
    prefix_type_error(name);
    return false;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    std::uint32_t code;
    if (!to_u32(name, item.get(), code)) return false;
    out.push_back(code);
  }
  if (PyErr_Occurred()) {
    prefix_type_error(name);
    return false;
  }
  return true;
}

bool check_instance(const char* name, PyObject* object, PyTypeObject* type, const char* type_name) {
  if (PyObject_TypeCheck(object, type)) return true;
  raise_cast_error(name, object, type_name);
  return false;
}

bool read_file(const std::string& path, std::string& out) {
  auto contents = read_whole_file(path, UNBOUNDED_FILE_BYTES, false);
  if (!contents) {
    PyErr_SetString(PyExc_OSError, contents.error().text().c_str());
    return false;
  }
  out = std::move(*contents);
  return true;
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

PyObject* raise_bufr_error(const BufrError& error) {
  if (error.kind() == ErrorKind::SinkAborted && PyErr_Occurred()) return nullptr;
  PyRef text = make_str(error.message());
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

PyRef make_code_list(std::span<const std::uint32_t> codes) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(codes.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    PyRef item = PyRef::steal(PyLong_FromUnsignedLong(codes[i]));
    if (!item) return item;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

PyRef make_str(std::string_view text) {
  return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace vantrel::py
