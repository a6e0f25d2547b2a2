#include "tarvelopy/pyref.hpp"

namespace tarvelopy {
namespace {

// The pending exception as one normalised object (null when none), cleared
// from the thread state.
PyObject* take_pending() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

// Makes `exc` (a reference that is consumed) the pending exception again.
void restore_pending(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

}  // namespace

void add_note_to_pending(std::string_view note) {
  PyObject* exc = take_pending();
  if (!exc) return;
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
  PyRef done;
  if (text) done = PyRef::steal(PyObject_CallMethod(exc, "add_note", "O", text.get()));
  if (!done) PyErr_Clear();
  restore_pending(exc);
}

void set_error(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;  // MemoryError is pending
  PyErr_SetObject(type, text.get());
}

void raise_error(PyObject* type, const tarvelo::Error& error) {
  switch (error.kind()) {
    case tarvelo::Error::Kind::kMemory:
      PyErr_NoMemory();
      return;
    case tarvelo::Error::Kind::kInternal:
      raise_internal(error.message().c_str());
      return;
    default:
      set_error(type, error.message());
  }
}

bool poll_python_signals() { return PyErr_CheckSignals() != 0; }

void raise_internal(const char* what) noexcept {
  // PyErr_Format allocates nothing on the C++ side, so it is safe inside a
  // catch handler for bad_alloc's siblings.
  PyErr_Format(PyExc_RuntimeError, "internal error: %s", what ? what : "");
}

}  // namespace tarvelopy
