// Folder base/: the plumbing every other folder stands on and that knows no
// statistics: errors (this file), numeric casts, text and number parsing,
// keyword choices, files, line reading and gzip, SHA-256, the worker pool and
// the interrupt checkpoint.
//
// Error values with a chain of context messages, and a value-or-error return type.
//
// Library code never throws across module boundaries: fallible operations return
// Result<T>. The message shown to users is the outermost one (the last context
// added); the full chain is kept for diagnostics.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tarvelo {

class Error {
 public:
  // What the Python layer raises for this error.
  enum class Kind {
    kRuntime,   // RuntimeError: an analysis or plot failed
    kValue,     // ValueError: a rejected argument
    kOs,        // OSError: a file could not be read or written
    kMemory,    // MemoryError: an allocation failed
    kInternal,  // RuntimeError "internal error: ...": a broken invariant
  };

  explicit Error(std::string message, Kind kind = Kind::kRuntime)
      : kind_(kind), chain_{std::move(message)} {}

  static Error value(std::string m) { return Error(std::move(m), Kind::kValue); }
  static Error os(std::string m) { return Error(std::move(m), Kind::kOs); }
  static Error memory(std::string m = "memory allocation failed") {
    return Error(std::move(m), Kind::kMemory);
  }
  static Error internal(std::string m) { return Error(std::move(m), Kind::kInternal); }

  // Wraps the error in an outer message; the outer message becomes the display.
  Error& context(std::string outer) & {
    chain_.push_back(std::move(outer));
    return *this;
  }
  // By value: a reference would outlive the temporary it points into (as in
  // `auto&& e = make_error().context("...")`).
  Error context(std::string outer) && {
    chain_.push_back(std::move(outer));
    return std::move(*this);
  }

  Kind kind() const { return kind_; }
  // The outermost message: what users see.
  const std::string& message() const { return chain_.back(); }
  // The innermost message: the root cause.
  const std::string& root_cause() const { return chain_.front(); }
  // Messages from the outermost to the root cause.
  std::vector<std::string> chain() const { return {chain_.rbegin(), chain_.rend()}; }
  // "outer: ...: root cause".
  std::string full() const {
    std::string out;
    for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) {
      if (!out.empty()) out += ": ";
      out += *it;
    }
    return out;
  }

 private:
  Kind kind_;
  std::vector<std::string> chain_;  // innermost first
};

// A broken internal invariant. Thrown (never across the Python boundary: the
// bindings turn it into RuntimeError "internal error: ..."), because the engine's
// entry points report no errors. std::bad_alloc likewise becomes MemoryError.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};
[[noreturn]] inline void internal_fault(const std::string& what) { throw InternalError(what); }

// A value of type T or an Error. Asking for the alternative it does not hold
// is a broken invariant (internal_fault) in every build type, never an abort.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    check_value();
    return std::get<0>(v_);
  }
  const T& value() const& {
    check_value();
    return std::get<0>(v_);
  }
  T&& value() && {
    check_value();
    return std::get<0>(std::move(v_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  Error& error() & {
    check_error();
    return std::get<1>(v_);
  }
  const Error& error() const& {
    check_error();
    return std::get<1>(v_);
  }
  Error&& error() && {
    check_error();
    return std::get<1>(std::move(v_));
  }

  // Adds a context message to a contained error; a value passes through.
  // Returns by value, like Error::context.
  Result context(std::string outer) && {
    if (!ok()) std::get<1>(v_).context(std::move(outer));
    return std::move(*this);
  }

 private:
  void check_value() const {
    if (!ok()) internal_fault("value of a failed result used (error: " + std::get<1>(v_).message() + ")");
  }
  void check_error() const {
    if (ok()) internal_fault("error of a successful result used");
  }

  std::variant<T, Error> v_;
};

struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace tarvelo

// Propagates an error from an expression returning Result/Status.
#define TARVELO_CONCAT_INNER(a, b) a##b
#define TARVELO_CONCAT(a, b) TARVELO_CONCAT_INNER(a, b)
#define TARVELO_TRY(expr)                                        \
  do {                                                           \
    auto&& tarvelo_try_r_ = (expr);                              \
    if (!tarvelo_try_r_.ok()) return std::move(tarvelo_try_r_).error(); \
  } while (0)
// Binds the value of a Result expression to `lhs` or returns its error.
#define TARVELO_ASSIGN_OR_RETURN(lhs, expr)                                  \
  auto TARVELO_CONCAT(tarvelo_r_, __LINE__) = (expr);                       \
  if (!TARVELO_CONCAT(tarvelo_r_, __LINE__).ok())                          \
    return std::move(TARVELO_CONCAT(tarvelo_r_, __LINE__)).error();        \
  lhs = std::move(TARVELO_CONCAT(tarvelo_r_, __LINE__)).value()
