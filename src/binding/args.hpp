// Argument binding and conversion shared by every module function and method.
//
// Functions use the METH_FASTCALL | METH_KEYWORDS convention. A FunctionSpec
// names the callable (as it appears in messages: "parse_bytes" or
// "TableSet.get_element") and its parameters, all required and accepted by
// position or keyword. `bind_arguments` fills one borrowed PyObject* per
// parameter or raises the TypeError the calling convention prescribes:
//   "{f}() missing 1 required positional argument: 'x'"
//   "{f}() takes 1 positional arguments but 2 were given"
//   "{f}() got an unexpected keyword argument 'k'"
//   "{f}() got multiple values for argument 'x'"
// The converters then turn each borrowed object into a C++ value, raising
// "argument 'x': ..." TypeErrors or the interpreter's OverflowErrors.
#pragma once

#include "binding/py_ref.hpp"

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "error/error.hpp"

namespace vantrel::py {

inline constexpr int MAX_PARAMETERS = 4;

struct FunctionSpec {
  const char* name;                           // "parse_bytes", "TableSet.get_element", ...
  std::initializer_list<const char*> params;  // parameter names in order
  std::size_t optional = 0;                   // trailing parameters that may be left out (bound as null)
};

// Fills out[0 .. params.size()) with borrowed references. Returns false with a
// TypeError set on any binding failure.
bool bind_arguments(const FunctionSpec& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out);

// Binding for tp_new-style (args tuple, kwargs dict) constructors.
bool bind_tuple_arguments(const FunctionSpec& signature, PyObject* args, PyObject* kwargs, PyObject** out);

// Raises "argument '{name}': '{type}' object cannot be cast as '{expected}'".
void raise_cast_error(const char* name, PyObject* object, const char* expected);
// Re-raises a pending TypeError as "argument '{name}': {message}"; other
// exceptions (OverflowError...) pass through unchanged.
void prefix_type_error(const char* name);

// `bytes` (or a subclass): a view of the contents, valid while the object lives.
bool to_bytes(const char* name, PyObject* object, std::span<const std::uint8_t>& out);
// `str` (or a subclass) as a UTF-8 path; UnicodeEncodeError passes through.
bool to_path(const char* name, PyObject* object, std::string& out);
// Integers through the index protocol. Out of range: OverflowError
// "out of range integral type conversion attempted" for values that fit a
// signed 64-bit integer, the interpreter's own text beyond.
bool to_u8(const char* name, PyObject* object, std::uint8_t& out);
bool to_u32(const char* name, PyObject* object, std::uint32_t& out);
bool to_u64(const char* name, PyObject* object, std::uint64_t& out);
// Any sequence but str (bytes gives its byte values) of u32 codes.
bool to_code_list(const char* name, PyObject* object, std::vector<std::uint32_t>& out);
// An instance of `type` (or a subclass); else the cast error naming `type_name`.
bool check_instance(const char* name, PyObject* object, PyTypeObject* type, const char* type_name);

// Reads a whole file into `out`. On failure raises OSError("<os text> (os
// error N)"), or OSError("file name contained an unexpected NUL byte") when
// `path` holds a NUL.
bool read_file(const std::string& path, std::string& out);

// Raises the ValueError carrying the error's message. Always returns null so
// callers can `return raise_bufr_error(e);`. A SinkAborted error leaves the
// exception the sink already set.
PyObject* raise_bufr_error(const BufrError& error);

// Casts a C function of any method signature to the PyCFunction stored in a PyMethodDef.
template <class F>
PyCFunction as_method(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Sets the Python exception for the C++ exception being handled: MemoryError
// for an allocation failure (a huge descriptor list, a file larger than
// memory), SystemError otherwise (the core reports failures as values and
// does not throw; anything else that escapes is a bug, reported rather than
// an abort). Call only inside a catch block.
void raise_current_exception() noexcept;

// `guarded<F>` is F with every C++ exception turned into a Python exception:
// no C++ exception may reach the interpreter. Every module function, method
// and slot that returns an object is registered through it. Failures return
// null, as the interpreter expects of these functions.
template <auto Function>
struct Guard;

template <class... Args, PyObject* (*Function)(Args...)>
struct Guard<Function> {
  static PyObject* call(Args... args) noexcept {
    try {
      return Function(args...);
    } catch (...) {
      raise_current_exception();
      return nullptr;
    }
  }
};

template <auto Function>
inline constexpr auto guarded = &Guard<Function>::call;

// A new list of Python ints for descriptor codes.
PyRef make_code_list(std::span<const std::uint32_t> codes);

// New str from UTF-8 bytes (invalid bytes replaced); null with an exception set on failure.
PyRef make_str(std::string_view text);

}  // namespace vantrel::py
