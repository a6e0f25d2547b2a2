// Argument handling shared by every Python entry point: binding fast-call
// arguments to a parameter table, and converting each value with the
// exception a failed conversion deserves.
//
// Usage, in parameter order:
//
//   static const Signature kSig{"f", kNames, 2};
//   PyObject* slots[std::size(kNames)];
//   if (!bind_arguments(kSig, args, nargs, kwnames, slots)) return nullptr;
//   RanksInput ranks;
//   std::string path;
//   uint64_t n = 1000;                                    // the default
//   ArgReader x(kSig, slots);
//   if (!(x(to_ranks, &ranks) && x(to_string, &path) && x(to_u64, &n))) return nullptr;
//
// Structural errors (missing, repeated, unexpected or too many arguments) are
// TypeErrors worded as CPython words them for Python functions and carry no
// note. A failed conversion keeps its own exception (TypeError, OverflowError,
// UnicodeEncodeError, ...) and gets the note "while processing '{name}'".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tarvelo/engine/records.hpp"
#include "tarvelopy/pyref.hpp"

namespace tarvelopy {

// Positional-or-keyword parameters; the first `required` have no default.
struct Signature {
  const char* function;
  std::span<const char* const> names;
  size_t required;
};

// Fills slots[0..names.size()) with borrowed references (null when absent).
// Returns false with a TypeError set.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** slots);

// Converters: each returns false with a Python exception set.
//
// u64/u32: a Python int (or an object with __index__); OverflowError when
// negative or too large.
bool to_u64(PyObject* o, uint64_t* out);
bool to_u32(PyObject* o, uint32_t* out);
// f64: a float, or anything float() takes without parsing text (int, __float__,
// __index__); OverflowError for an int too large for a double.
bool to_f64(PyObject* o, double* out);
// bool: only True/False (and numpy's bool scalar).
bool to_bool(PyObject* o, bool* out);
// str (or a subclass), copied out as UTF-8. Paths are taken as str too; a NUL
// byte is kept and refused when the file is opened.
bool to_string(PyObject* o, std::string* out);

// A snapshot of a sequence (a str itself is refused): a tuple holding strong
// references to the items. Converting an item may run Python code (a nested
// sequence's __iter__, a number's __float__) that changes the sequence; the
// snapshot keeps every item alive and in place. Null with TypeError
// "must be a sequence of {what}, not {type}" when `o` is no sequence.
PyRef sequence_snapshot(PyObject* o, const char* what);

// TypeError "sequence items must be {what}, not {type of item}"; returns false.
bool item_type_error(const char* what, PyObject* item);

// Every item of a sequence snapshot through `convert(item, T*)`, in order.
template <class T, class Convert>
bool to_vector(PyObject* o, const char* what, Convert&& convert, std::vector<T>* out) {
  PyRef items = sequence_snapshot(o, what);
  if (!items) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  out->clear();
  out->reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    T value{};
    if (!convert(PyTuple_GET_ITEM(items.get(), i), &value)) return false;
    out->push_back(std::move(value));
  }
  return true;
}

// A sequence of str (a str itself is refused).
bool to_string_sequence(PyObject* o, std::vector<std::string>* out);

// A dict from str to number, read in the dict's own iteration order through a
// snapshot (a value's __float__ may change the dict while it is read).
struct RanksInput {
  std::vector<std::string> genes;
  std::vector<double> scores;
};
bool to_ranks(PyObject* o, RanksInput* out);

// None -> absent; anything else through `convert`.
template <class T, bool (*Convert)(PyObject*, T*)>
bool to_optional(PyObject* o, std::optional<T>* out) {
  if (o == Py_None) {
    out->reset();
    return true;
  }
  T value{};
  if (!Convert(o, &value)) return false;
  *out = std::move(value);
  return true;
}
inline bool to_optional_u64(PyObject* o, std::optional<uint64_t>* out) {
  return to_optional<uint64_t, to_u64>(o, out);
}
inline bool to_optional_f64(PyObject* o, std::optional<double>* out) {
  return to_optional<double, to_f64>(o, out);
}
inline bool to_optional_string(PyObject* o, std::optional<std::string>* out) {
  return to_optional<std::string, to_string>(o, out);
}

// Converts an argument that was given (slot non-null) into *out; an absent one
// leaves *out (the default) untouched. Adds the note on failure.
template <class T, class Convert>
bool extract(PyObject* slot, const char* name, Convert&& convert, T* out) {
  if (!slot) return true;
  if (convert(slot, out)) return true;
  add_note_to_pending(std::string("while processing '") + name + "'");
  return false;
}

// Converts the arguments of a bound call one after another, in parameter
// order: each call takes the next parameter.
//
//   ArgReader x(kSig, slots);
//   return x(to_u64, &a->count) && x(to_string, &a->name);
class ArgReader {
 public:
  ArgReader(const Signature& sig, PyObject* const* slots) : sig_(sig), slots_(slots) {}
  template <class T, class Convert>
  bool operator()(Convert&& convert, T* out) {
    if (next_ >= sig_.names.size())
      tarvelo::internal_fault("more arguments read than the signature has");
    const size_t k = next_++;
    return extract(slots_[k], sig_.names[k], convert, out);
  }

 private:
  const Signature& sig_;
  PyObject* const* slots_;
  size_t next_ = 0;
};

// Full Unicode lower-casing of UTF-8 text (Python's str.lower). Returns false
// with a Python exception set (only on allocation failure).
bool lower_text(const std::string& text, std::string* out);

// A keyword in any letter case: lower-cased, then parsed by a library parser
// (returning Result<T>) whose error message raises ValueError.
template <class T, class Parse>
bool parse_keyword(const std::string& text, Parse&& parse, T* out) {
  std::string lowered;
  if (!lower_text(text, &lowered)) return false;
  auto parsed = parse(lowered);
  if (!parsed.ok()) {
    raise_error(PyExc_ValueError, parsed.error());
    return false;
  }
  *out = *parsed;
  return true;
}

// The scoreType keyword, in any letter case: "std", "pos" or "neg". Otherwise
// ValueError "Invalid scoreType '{}'. Expected one of: std, pos, neg." quoting
// the lower-cased text.
bool parse_score_type(const std::string& text, tarvelo::ScoreType* out);

}  // namespace tarvelopy
