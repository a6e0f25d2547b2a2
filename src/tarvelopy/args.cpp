#include "tarvelopy/args.hpp"

#include "tarvelo/engine/bindings.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>

namespace tarvelopy {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": CPython's list of missing names.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// Finds a keyword among the parameter names. Keyword names may hold any code
// point (even lone surrogates); the comparison never raises.
ptrdiff_t find_keyword(const Signature& sig, PyObject* key) {
  for (size_t j = 0; j < sig.names.size(); ++j)
    if (PyUnicode_CompareWithASCIIString(key, sig.names[j]) == 0) return static_cast<ptrdiff_t>(j);
  return -1;
}

const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

}  // namespace

// The order of checks follows CPython's own for Python functions: keywords
// first (unexpected, then repeated, in call order), then the positional
// count, then missing required arguments.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** slots) {
  const size_t n = sig.names.size();
  const size_t nargs = static_cast<size_t>(PyVectorcall_NARGS(nargsf));
  std::fill(slots, slots + n, nullptr);
  for (size_t i = 0; i < std::min(nargs, n); ++i) slots[i] = args[i];
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      const ptrdiff_t j = find_keyword(sig, key);
      if (j < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                     sig.function, key);
        return false;
      }
      if (slots[j]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                     sig.names[static_cast<size_t>(j)]);
        return false;
      }
      slots[j] = args[nargs + static_cast<size_t>(k)];
    }
  }
  if (nargs > n) {
    if (sig.required == n) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given",
                   sig.function, n, n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zu to %zu positional arguments but %zu %s given",
                   sig.function, sig.required, n, nargs, nargs == 1 ? "was" : "were");
    }
    return false;
  }
  std::vector<const char*> missing;
  for (size_t i = 0; i < sig.required; ++i)
    if (!slots[i]) missing.push_back(sig.names[i]);
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 sig.function, missing.size(), missing.size() == 1 ? "" : "s",
                 quoted_list(missing).c_str());
    return false;
  }
  return true;
}

bool to_u64(PyObject* o, uint64_t* out) {
  PyRef index;
  if (!PyLong_Check(o)) {
    index = PyRef::steal(PyNumber_Index(o));
    if (!index) return false;
    o = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool to_u32(PyObject* o, uint32_t* out) {
  uint64_t v = 0;
  if (!to_u64(o, &v)) return false;
  if (v > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "int too big to convert");
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

bool to_f64(PyObject* o, double* out) {
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

PyRef sequence_snapshot(PyObject* o, const char* what) {
  if (PyUnicode_Check(o) || !PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "must be a sequence of %s, not %s", what, type_name(o));
    return PyRef();
  }
  // A list is copied; an exact tuple, being immutable, is its own snapshot.
  return PyRef::steal(PySequence_Tuple(o));
}

bool item_type_error(const char* what, PyObject* item) {
  PyErr_Format(PyExc_TypeError, "sequence items must be %s, not %s", what, type_name(item));
  return false;
}

bool to_string_sequence(PyObject* o, std::vector<std::string>* out) {
  return to_vector(o, "str", [](PyObject* item, std::string* s) {
    return PyUnicode_Check(item) ? to_string(item, s) : item_type_error("str", item);
  }, out);
}

bool to_bool(PyObject* o, bool* out) {
  if (o == Py_True || o == Py_False) {
    *out = o == Py_True;
    return true;
  }
  // numpy's bool scalar, recognised by name so that numpy stays optional
  // ("numpy.bool_" before numpy 2, "numpy.bool" since).
  const char* name = type_name(o);
  if (std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0) {
    const int truth = PyObject_IsTrue(o);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "must be bool, not %s", name);
  return false;
}

bool to_string(PyObject* o, std::string* out) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "must be str, not %s", type_name(o));
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);  // fails on lone surrogates
  if (!data) return false;
  out->assign(data, static_cast<size_t>(size));
  return true;
}

namespace {

// Strong references to a dict's items, taken without running any Python code.
class DictSnapshot {
 public:
  explicit DictSnapshot(PyObject* dict) {
    items_.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
    bool complete = true;
    // Without the interpreter lock (free-threaded builds) the walk must hold
    // the dict's own lock, and nothing may unwind out of it.
#if PY_VERSION_HEX >= 0x030D0000
    Py_BEGIN_CRITICAL_SECTION(dict);
#endif
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
      // More items than reserved only when another thread added some
      // before the lock was taken.
      if (items_.size() == items_.capacity()) {
        try {
          items_.reserve(2 * items_.size() + 1);
        } catch (const std::bad_alloc&) {
          complete = false;
          break;
        }
      }
      Py_INCREF(key);
      Py_INCREF(value);
      items_.emplace_back(key, value);
    }
#if PY_VERSION_HEX >= 0x030D0000
    Py_END_CRITICAL_SECTION();
#endif
    if (!complete) {
      release();
      throw std::bad_alloc();
    }
  }
  ~DictSnapshot() { release(); }
  DictSnapshot(const DictSnapshot&) = delete;
  DictSnapshot& operator=(const DictSnapshot&) = delete;
  const std::vector<std::pair<PyObject*, PyObject*>>& items() const { return items_; }

 private:
  void release() {
    for (auto& [k, v] : items_) {
      Py_DECREF(k);
      Py_DECREF(v);
    }
    items_.clear();
  }
  std::vector<std::pair<PyObject*, PyObject*>> items_;
};

// Keys of a dict are distinct as Python sees them, but str subclasses may
// define equality differently, so two keys can carry the same text. Such
// duplicates collapse as dict assignment would: first position, last value.
void collapse_duplicate_names(RanksInput* r) {
  std::unordered_map<std::string_view, size_t> first;
  first.reserve(r->genes.size());
  std::vector<std::string> genes;
  std::vector<double> scores;
  for (size_t i = 0; i < r->genes.size(); ++i) {
    auto [it, inserted] = first.emplace(std::string_view(r->genes[i]), genes.size());
    if (inserted) {
      genes.push_back(r->genes[i]);
      scores.push_back(r->scores[i]);
    } else {
      scores[it->second] = r->scores[i];
    }
  }
  r->genes = std::move(genes);
  r->scores = std::move(scores);
}

}  // namespace

bool to_ranks(PyObject* o, RanksInput* out) {
  if (!PyDict_Check(o)) {
    PyErr_Format(PyExc_TypeError, "must be dict, not %s", type_name(o));
    return false;
  }
  DictSnapshot snapshot(o);
  const auto& items = snapshot.items();
  out->genes.clear();
  out->scores.clear();
  out->genes.reserve(items.size());
  out->scores.reserve(items.size());
  bool only_exact_keys = true;
  for (const auto& [key, value] : items) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "dict keys must be str, not %s", type_name(key));
      return false;
    }
    only_exact_keys = only_exact_keys && PyUnicode_CheckExact(key);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (!data) return false;
    double score = 0.0;
    if (!to_f64(value, &score)) return false;
    out->genes.emplace_back(data, static_cast<size_t>(size));
    out->scores.push_back(score);
  }
  if (!only_exact_keys) collapse_duplicate_names(out);
  return true;
}

bool lower_text(const std::string& text, std::string* out) {
  PyRef s = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
  if (!s) return false;
  PyRef lowered = PyRef::steal(PyObject_CallMethod(s.get(), "lower", nullptr));
  if (!lowered) return false;
  return to_string(lowered.get(), out);
}

bool parse_score_type(const std::string& text, tarvelo::ScoreType* out) {
  return parse_keyword(text, tarvelo::bindings::parse_score_type, out);
}

}  // namespace tarvelopy
