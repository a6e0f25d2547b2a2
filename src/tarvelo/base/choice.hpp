// Keyword choices: a fixed table of names and the values they stand for, the
// lookup of a name and the "Expected one of: ..." message of a bad one.
//
// Every keyword of the analysis call (scoreType, method, mode, the decor
// kinds) and every kind written into a decor cache file is parsed through
// here, so that the accepted spellings and the listed ones cannot drift apart.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tarvelo/base/error.hpp"

namespace tarvelo {

template <class E>
struct Choice {
  std::string_view name;
  E value;
};

// The value named exactly `text`, or nullopt.
template <class E, size_t N>
constexpr std::optional<E> find_choice(std::string_view text,
                                       const std::array<Choice<E>, N>& table) {
  for (const Choice<E>& c : table)
    if (c.name == text) return c.value;
  return std::nullopt;
}

// The name of `value` (the table must hold it).
template <class E, size_t N>
constexpr std::string_view choice_name(E value, const std::array<Choice<E>, N>& table) {
  for (const Choice<E>& c : table)
    if (c.value == value) return c.name;
  return {};
}

// The value named `text`, else ValueError
// "Invalid {what} '{text}'. Expected one of: {names in table order}."
template <class E, size_t N>
Result<E> parse_choice(std::string_view what, std::string_view text,
                       const std::array<Choice<E>, N>& table) {
  if (auto v = find_choice(text, table)) return *v;
  std::string m = "Invalid " + std::string(what) + " '" + std::string(text) + "'. Expected one of: ";
  for (size_t i = 0; i < N; ++i) {
    if (i > 0) m += ", ";
    m += table[i].name;
  }
  return Error::value(m + ".");
}

}  // namespace tarvelo
