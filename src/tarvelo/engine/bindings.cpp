#include "tarvelo/engine/bindings.hpp"

#include <string>

namespace tarvelo::bindings {

Result<ScoreType> parse_score_type(std::string_view s) {
  if (s == "std") return ScoreType::kStd;
  if (s == "pos") return ScoreType::kPos;
  if (s == "neg") return ScoreType::kNeg;
  return Error::value("Invalid scoreType '" + std::string(s) +
                      "'. Expected one of: std, pos, neg.");
}

Result<Method> parse_method(std::string_view s) {
  if (s == "classic") return Method::kClassic;
  if (s == "decor") return Method::kDecor;
  return Error::value("Invalid method '" + std::string(s) + "'. Expected one of: classic, decor.");
}

Result<InterfaceMode> parse_interface_mode(std::string_view s) {
  if (s == "multilevel") return InterfaceMode::kMultilevel;
  if (s == "simple") return InterfaceMode::kSimple;
  if (s == "ruvex") return InterfaceMode::kRuvex;
  if (s == "blitz") return InterfaceMode::kBlitz;
  return Error::value("Invalid mode '" + std::string(s) +
                      "'. Expected one of: ruvex, multilevel, simple, blitz.");
}

Result<ExecutionPlan> resolve_execution_plan(InterfaceMode mode, bool nperm_given) {
  if (mode == InterfaceMode::kBlitz && nperm_given)
    return Error::value("nperm is not supported with mode='blitz'.");
  return ExecutionPlan{mode, false};
}

uint64_t effective_min_size(std::optional<uint64_t> min_size, InterfaceMode mode) {
  if (min_size) return *min_size;
  return mode == InterfaceMode::kBlitz ? 5 : 1;
}

uint64_t effective_max_size(std::optional<uint64_t> max_size, InterfaceMode mode,
                            uint64_t num_genes) {
  if (max_size) return *max_size;
  if (mode == InterfaceMode::kBlitz) return 4000;
  return num_genes == 0 ? 0 : num_genes - 1;
}

}  // namespace tarvelo::bindings
