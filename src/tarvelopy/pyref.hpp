// A thin RAII layer over CPython object references.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarvelopy {

// Owns one strong reference (or none).
class PyRef {
 public:
  PyRef() = default;
  // Takes ownership of a new reference (may be null).
  static PyRef steal(PyObject* o) { return PyRef(o); }
  // Adds a reference to a borrowed one.
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(o_);
      o_ = std::exchange(other.o_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(o_); }

  PyObject* get() const { return o_; }
  explicit operator bool() const { return o_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(o_, nullptr); }

 private:
  explicit PyRef(PyObject* o) : o_(o) {}
  PyObject* o_ = nullptr;
};

}  // namespace tarvelopy
