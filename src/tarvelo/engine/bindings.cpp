#include "tarvelo/engine/bindings.hpp"

#include <array>
#include <string>

#include "tarvelo/base/choice.hpp"

namespace tarvelo::bindings {

namespace {

constexpr std::array<Choice<ScoreType>, 3> kScoreTypes = {{
    {"std", ScoreType::kStd}, {"pos", ScoreType::kPos}, {"neg", ScoreType::kNeg}}};
constexpr std::array<Choice<Method>, 2> kMethods = {{
    {"classic", Method::kClassic}, {"decor", Method::kDecor}}};
constexpr std::array<Choice<InterfaceMode>, 4> kModes = {{
    {"ruvex", InterfaceMode::kRuvex},
    {"multilevel", InterfaceMode::kMultilevel},
    {"simple", InterfaceMode::kSimple},
    {"blitz", InterfaceMode::kBlitz}}};

}  // namespace

Result<ScoreType> parse_score_type(std::string_view s) {
  return parse_choice("scoreType", s, kScoreTypes);
}

Result<Method> parse_method(std::string_view s) { return parse_choice("method", s, kMethods); }

Result<InterfaceMode> parse_interface_mode(std::string_view s) {
  return parse_choice("mode", s, kModes);
}

Result<ExecutionPlan> resolve_execution_plan(InterfaceMode mode, bool nperm_given) {
  if (mode == InterfaceMode::kBlitz && nperm_given)
    return Error::value("nperm is not supported with mode='blitz'.");
  return ExecutionPlan{mode};
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
