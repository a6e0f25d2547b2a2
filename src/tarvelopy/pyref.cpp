#include "tarvelopy/pyref.hpp"

#include <signal.h>

#include <cerrno>

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

// The action SIGINT had before the relay was installed, which the relay
// passes every signal on to.
struct sigaction g_python_sigint;

void relay_sigint(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  tarvelo::interrupt::request_stop();
  errno = saved_errno;
  if (g_python_sigint.sa_flags & SA_SIGINFO) {
    g_python_sigint.sa_sigaction(sig, info, context);
  } else {
    g_python_sigint.sa_handler(sig);
  }
}

bool is_relay(const struct sigaction& a) {
  return (a.sa_flags & SA_SIGINFO) && a.sa_sigaction == relay_sigint;
}

// obj.name(*args) with no arguments, or null (with an exception set).
PyRef call_method(PyObject* obj, const char* name) {
  return PyRef::steal(PyObject_CallMethod(obj, name, nullptr));
}

// True when SIGINT raises KeyboardInterrupt in the calling thread: it is the
// main thread and Python's handler for SIGINT is the default one.
bool sigint_raises_here() {
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  PyRef signal_module = PyRef::steal(PyImport_ImportModule("signal"));
  if (!threading || !signal_module) return false;
  PyRef main = call_method(threading.get(), "main_thread");
  PyRef main_ident = main ? PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : PyRef();
  PyRef ident = call_method(threading.get(), "get_ident");
  if (!main_ident || !ident) return false;
  const int same = PyObject_RichCompareBool(main_ident.get(), ident.get(), Py_EQ);
  if (same != 1) return false;
  PyRef handler =
      PyRef::steal(PyObject_CallMethod(signal_module.get(), "getsignal", "i", SIGINT));
  PyRef fallback = PyRef::steal(PyObject_GetAttrString(signal_module.get(), "default_int_handler"));
  return handler && fallback && handler.get() == fallback.get();
}

}  // namespace

SigintRelay::SigintRelay() {
  // The checks run Python code, and with it the handlers of signals that
  // arrived since the call began: an exception they leave (KeyboardInterrupt)
  // stays pending for call_guarded to return.
  if (!sigint_raises_here() || PyErr_Occurred()) return;
  struct sigaction old;
  if (sigaction(SIGINT, nullptr, &old) != 0 || is_relay(old)) return;
  if (!(old.sa_flags & SA_SIGINFO) && (old.sa_handler == SIG_DFL || old.sa_handler == SIG_IGN))
    return;
  g_python_sigint = old;
  struct sigaction relay = old;
  relay.sa_flags |= SA_SIGINFO;
  relay.sa_sigaction = relay_sigint;
  active_ = sigaction(SIGINT, &relay, nullptr) == 0;
}

SigintRelay::~SigintRelay() {
  if (!active_) return;
  // A handler that Python installed meanwhile stays.
  struct sigaction current;
  if (sigaction(SIGINT, nullptr, &current) == 0 && is_relay(current))
    sigaction(SIGINT, &g_python_sigint, nullptr);
}

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
