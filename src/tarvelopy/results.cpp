#include "tarvelopy/results.hpp"

#include <optional>
#include <string>

namespace tarvelopy {
namespace {

PyObject* new_str(const std::string& s) {
  // Every name comes from a Python str or a validated UTF-8 file.
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* optional_float(const std::optional<double>& v) {
  if (!v) Py_RETURN_NONE;
  return PyFloat_FromDouble(*v);
}

PyObject* str_list(const std::vector<std::string>& items) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* s = new_str(items[i]);
    if (!s) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);  // steals s
  }
  return list.release();
}

// Stores a new reference under `key`; false (exception set) when `value` is null.
bool put(PyObject* dict, PyObject* key, PyObject* value) {
  PyRef v = PyRef::steal(value);
  return v && PyDict_SetItem(dict, key, v.get()) == 0;
}

}  // namespace

PyObject* results_to_py(const std::vector<tarvelo::EnrichmentResult>& results) {
  static const char* const kKeyNames[] = {"pathway", "size",    "es",      "nes",
                                          "pval",    "padj",    "log2err", "leading_edge"};
  PyRef keys[8];
  for (int k = 0; k < 8; ++k) {
    keys[k] = PyRef::steal(PyUnicode_InternFromString(kKeyNames[k]));
    if (!keys[k]) return nullptr;
  }
  const GcPause pause;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < results.size(); ++i) {
    const auto& r = results[i];
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject* dict = d.get();
    if (!put(dict, keys[0].get(), new_str(r.pathway)) ||
        !put(dict, keys[1].get(), PyLong_FromUnsignedLongLong(r.size)) ||
        !put(dict, keys[2].get(), PyFloat_FromDouble(r.es)) ||
        !put(dict, keys[3].get(), optional_float(r.nes)) ||
        !put(dict, keys[4].get(), PyFloat_FromDouble(r.pval)) ||
        !put(dict, keys[5].get(), optional_float(r.padj)) ||
        !put(dict, keys[6].get(), optional_float(r.log2err)) ||
        !put(dict, keys[7].get(), str_list(r.leading_edge)))
      return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d.release());
  }
  return list.release();
}

}  // namespace tarvelopy
