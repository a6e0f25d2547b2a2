// A thin RAII layer over CPython object references, and the bridge between C++
// failures and Python exceptions.
//
// Every entry point runs its body through call_guarded(): no C++ exception may
// unwind into the interpreter, and a broken invariant must never abort the
// process, so everything is caught here and turned into a Python exception.
// call_guarded() also lets Ctrl-C stop the call: the library's checkpoints ask
// the interpreter for pending signals, and a KeyboardInterrupt raised by its
// handler unwinds the library as interrupt::Interrupted.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>
#include <utility>

#include "tarvelo/base/error.hpp"
#include "tarvelo/base/interrupt.hpp"
#include "tarvelo/base/threads.hpp"

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

// Keeps the cyclic garbage collector off while alive, then restores its
// previous state. Building thousands of containers would otherwise start a
// collection every few hundred allocations, each one walking the objects just
// made, none of which can be garbage yet. Needs the interpreter lock.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable() != 0) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_;
};

// Attaches `note` to the pending exception (BaseException.add_note). If adding
// the note itself fails, the original exception is kept without it.
void add_note_to_pending(std::string_view note);

// Sets `type` with a UTF-8 message (invalid bytes are replaced rather than lost).
void set_error(PyObject* type, std::string_view message);

// Raises a library error as `type` with its outermost message. Allocation
// failures and broken invariants keep their own classes whatever `type` is.
void raise_error(PyObject* type, const tarvelo::Error& error);

// Raises RuntimeError "internal error: {what}".
void raise_internal(const char* what) noexcept;

// The poll installed for a call: runs the handlers of pending signals and
// returns true when one of them raised (the exception stays set).
bool poll_python_signals();

// While alive, SIGINT marks the running call as stopping the moment it
// arrives (interrupt::request_stop), then goes on to the interpreter's own
// handler. The poll alone is not enough: the calling thread may be waiting
// for a worker's long task and poll only when that ends. Installed only where
// SIGINT means KeyboardInterrupt for this call: on the main thread, with
// Python's default handler. Leaves an exception pending when a signal handler
// that ran meanwhile raised one.
class SigintRelay {
 public:
  SigintRelay();
  ~SigintRelay();
  SigintRelay(const SigintRelay&) = delete;
  SigintRelay& operator=(const SigintRelay&) = delete;

 private:
  bool active_ = false;
};

// Runs `body` (returning a new reference or null with a Python exception set)
// and turns any escaping C++ exception into a Python exception.
template <class Body>
PyObject* call_guarded(Body&& body) noexcept {
  try {
    tarvelo::threads::prepare_worker_thread();
    tarvelo::interrupt::Scope interruptible(&poll_python_signals);
    SigintRelay relay;
    if (PyErr_Occurred()) return nullptr;  // raised by a signal handler
    PyObject* result = body();
    if (!result && !PyErr_Occurred()) raise_internal("a call failed without an exception");
    return result;
  } catch (const tarvelo::interrupt::Interrupted&) {
    // The poll left the handler's exception pending; after a stop marked by
    // the relay, the handler has yet to run.
    if (!PyErr_Occurred() && PyErr_CheckSignals() == 0) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const tarvelo::threads::StartError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const std::exception& e) {
    raise_internal(e.what());
  } catch (...) {
    raise_internal("unknown C++ exception");
  }
  return nullptr;
}

}  // namespace tarvelopy
