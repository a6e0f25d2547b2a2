#include "tarvelopy/results.hpp"

#include <optional>
#include <string>
#include <vector>

#include "tarvelo/engine/algo_support.hpp"

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

// The str objects of the leading-edge genes. The same genes lead many
// pathways (a call on GO sets lists about a hundred thousand names, less than
// a tenth of them distinct), so each distinct name is made into a str once.
class GeneStrings {
 public:
  explicit GeneStrings(const tarvelo::RankedList& ranked)
      : index_(ranked.genes()), strs_(ranked.size()) {}
  GeneStrings(const GeneStrings&) = delete;
  GeneStrings& operator=(const GeneStrings&) = delete;

  // A new reference, or null with an exception set.
  PyObject* get(const std::string& name) {
    const std::optional<uint64_t> pos = index_.find(name);
    if (!pos) return new_str(name);
    PyRef& s = strs_[*pos];
    if (!s) s = PyRef::steal(new_str(name));
    return PyRef::borrow(s.get()).release();
  }

 private:
  const tarvelo::algo_support::GeneIndex index_;
  std::vector<PyRef> strs_;  // by ranked position, made on first use
};

PyObject* str_list(const std::vector<std::string>& items, GeneStrings& strings) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* s = strings.get(items[i]);
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

PyObject* results_to_py(const std::vector<tarvelo::EnrichmentResult>& results,
                        const tarvelo::RankedList& ranked) {
  static const char* const kKeyNames[] = {"pathway", "size",    "es",      "nes",
                                          "pval",    "padj",    "log2err", "leading_edge"};
  PyRef keys[8];
  for (int k = 0; k < 8; ++k) {
    keys[k] = PyRef::steal(PyUnicode_InternFromString(kKeyNames[k]));
    if (!keys[k]) return nullptr;
  }
  const GcPause pause;
  GeneStrings strings(ranked);
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
        !put(dict, keys[7].get(), str_list(r.leading_edge, strings)))
      return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d.release());
  }
  return list.release();
}

}  // namespace tarvelopy
