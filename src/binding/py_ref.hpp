// PyRef: the owner of one strong reference to a Python object. Every owned
// PyObject* in the binding layer lives in a PyRef; business code never calls
// Py_INCREF / Py_DECREF itself.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vantrel::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null, e.g. straight from a failing API call).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (for returning to the interpreter).
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }
  // A new reference for an API that steals one (PyList_SET_ITEM, PyModule_AddObject...).
  [[nodiscard]] PyObject* new_ref() const {
    Py_XINCREF(object_);
    return object_;
  }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vantrel::py
