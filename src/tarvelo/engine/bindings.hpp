// Choices of an analysis call that do not depend on Python: the score type,
// method and mode keywords, the execution plan, and the effective size limits.
//
// The keyword parsers take text that the caller has already lower-cased with
// full Unicode lower-casing (the Python layer uses str.lower, whose result is
// also what the messages quote).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "tarvelo/engine/records.hpp"
#include "tarvelo/base/error.hpp"

namespace tarvelo::bindings {

enum class InterfaceMode : uint8_t {
  kMultilevel = 0,
  kSimple = 1,
  kRuvex = 2,
  kBlitz = 3,
};

enum class Method : uint8_t {
  kClassic = 0,
  kDecor = 1,
};

struct ExecutionPlan {
  InterfaceMode mode = InterfaceMode::kRuvex;
};

// "std", "pos", "neg"; else "Invalid scoreType '{}'. Expected one of: std, pos, neg."
Result<ScoreType> parse_score_type(std::string_view lowered);
// "classic", "decor"; else "Invalid method '{}'. Expected one of: classic, decor."
Result<Method> parse_method(std::string_view lowered);
// "multilevel", "simple", "ruvex", "blitz"; else
// "Invalid mode '{}'. Expected one of: ruvex, multilevel, simple, blitz."
Result<InterfaceMode> parse_interface_mode(std::string_view lowered);

// The plan for a mode; nperm cannot be combined with mode blitz.
Result<ExecutionPlan> resolve_execution_plan(InterfaceMode mode, bool nperm_given);

// minSize if given, else 5 for blitz and 1 otherwise.
uint64_t effective_min_size(std::optional<uint64_t> min_size, InterfaceMode mode);
// maxSize if given, else 4000 for blitz, else the number of genes less one
// (0 without genes).
uint64_t effective_max_size(std::optional<uint64_t> max_size, InterfaceMode mode,
                            uint64_t num_genes);

}  // namespace tarvelo::bindings
