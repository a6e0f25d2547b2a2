// run_gsea_py: argument extraction, the ordered checks, and dispatch to the
// classic engine, mode "blitz" and the method "decor".
//
// The interpreter lock stays held for the whole call: the engines' parallel
// work runs on the process-wide pool, which never calls back into Python.
#include <cmath>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvelo/engine/algo.hpp"
#include "tarvelo/engine/algo_driver.hpp"
#include "tarvelo/blitz/blitz.hpp"
#include "tarvelo/engine/bindings.hpp"
#include "tarvelo/decor/engine.hpp"
#include "tarvelo/decor/modes.hpp"
#include "tarvelo/decor/tuning.hpp"
#include "tarvelo/base/io.hpp"
#include "tarvelo/engine/gmt.hpp"
#include "tarvelo/base/pool.hpp"
#include "tarvelo/base/text.hpp"
#include "tarvelopy/args.hpp"
#include "tarvelopy/functions.hpp"
#include "tarvelopy/results.hpp"

namespace tarvelopy {
namespace {

using tarvelo::Result;

using tarvelo::bindings::InterfaceMode;
using tarvelo::bindings::Method;

constexpr const char* kNames[] = {
    "ranks",           "gmt_path",         "nPermSimple",          "seed",
    "nproc",           "minSize",          "maxSize",              "eps",
    "scoreType",       "gseaParam",        "mode",                 "nperm",
    "sampleSize",      "gpu",              "method",               "decor_cache",
    "decor_expression", "decor_preset",    "decor_stringency",     "decor_weight_formula",
    "decor_alpha",     "decor_threshold",  "decor_gamma",          "decor_penalty_floor",
    "decor_scale_epsilon", "decor_cache_mode", "decor_correlation", "decor_redundancy",
    "blitz_anchors",   "blitz_symmetric",  "blitz_center",         "blitz_accuracy",
    "blitz_deep_accuracy", "blitz_signature_cache",
};
static_assert(std::size(kNames) == 34);
constexpr Signature kSignature{"run_gsea_py", kNames, 2};

// The doc string holds only the text signature: inspect.signature() reads it
// and __doc__ is None.
constexpr const char kDoc[] =
    "run_gsea_py(ranks, gmt_path, nPermSimple=1000, seed=None, nproc=0, minSize=None, "
    "maxSize=None, eps=1e-50, scoreType=\"std\", gseaParam=1.0, mode=\"ruvex\", nperm=None, "
    "sampleSize=101, gpu=False, method=\"classic\", decor_cache=None, decor_expression=None, "
    "decor_preset=None, decor_stringency=None, decor_weight_formula=None, decor_alpha=None, "
    "decor_threshold=None, decor_gamma=None, decor_penalty_floor=None, "
    "decor_scale_epsilon=1e-12, decor_cache_mode=\"auto\", decor_correlation=\"pearson\", "
    "decor_redundancy=\"positive_mean\", blitz_anchors=40, blitz_symmetric=False, "
    "blitz_center=True, blitz_accuracy=40, blitz_deep_accuracy=50, "
    "blitz_signature_cache=True)\n--\n\n";

struct Args {
  RanksInput ranks;
  std::string gmt_path;
  uint64_t nperm_simple = 1000;
  std::optional<uint64_t> seed;
  uint64_t nproc = 0;
  std::optional<uint64_t> min_size;
  std::optional<uint64_t> max_size;
  double eps = 1e-50;
  std::string score_type = "std";
  double gsea_param = 1.0;
  std::string mode = "ruvex";
  std::optional<uint64_t> nperm;
  uint64_t sample_size = 101;
  bool gpu = false;
  std::string method = "classic";
  std::optional<std::string> decor_cache;
  std::optional<std::string> decor_expression;
  std::optional<std::string> decor_preset;
  std::optional<double> decor_stringency;
  std::optional<std::string> decor_weight_formula;
  std::optional<double> decor_alpha;
  std::optional<double> decor_threshold;
  std::optional<double> decor_gamma;
  std::optional<double> decor_penalty_floor;
  double decor_scale_epsilon = 1e-12;
  std::string decor_cache_mode = "auto";
  std::string decor_correlation = "pearson";
  std::string decor_redundancy = "positive_mean";
  uint64_t blitz_anchors = 40;
  bool blitz_symmetric = false;
  bool blitz_center = true;
  uint64_t blitz_accuracy = 40;
  uint64_t blitz_deep_accuracy = 50;
  bool blitz_signature_cache = true;
};

// Converts every given argument, in parameter order.
bool extract_args(PyObject* const* slots, Args* a) {
  ArgReader x(kSignature, slots);
  return x(to_ranks, &a->ranks) && x(to_string, &a->gmt_path) &&
         x(to_u64, &a->nperm_simple) && x(to_optional_u64, &a->seed) && x(to_u64, &a->nproc) &&
         x(to_optional_u64, &a->min_size) && x(to_optional_u64, &a->max_size) &&
         x(to_f64, &a->eps) && x(to_string, &a->score_type) && x(to_f64, &a->gsea_param) &&
         x(to_string, &a->mode) && x(to_optional_u64, &a->nperm) && x(to_u64, &a->sample_size) &&
         x(to_bool, &a->gpu) && x(to_string, &a->method) &&
         x(to_optional_string, &a->decor_cache) && x(to_optional_string, &a->decor_expression) &&
         x(to_optional_string, &a->decor_preset) && x(to_optional_f64, &a->decor_stringency) &&
         x(to_optional_string, &a->decor_weight_formula) && x(to_optional_f64, &a->decor_alpha) &&
         x(to_optional_f64, &a->decor_threshold) && x(to_optional_f64, &a->decor_gamma) &&
         x(to_optional_f64, &a->decor_penalty_floor) && x(to_f64, &a->decor_scale_epsilon) &&
         x(to_string, &a->decor_cache_mode) && x(to_string, &a->decor_correlation) &&
         x(to_string, &a->decor_redundancy) && x(to_u64, &a->blitz_anchors) &&
         x(to_bool, &a->blitz_symmetric) && x(to_bool, &a->blitz_center) &&
         x(to_u64, &a->blitz_accuracy) && x(to_u64, &a->blitz_deep_accuracy) &&
         x(to_bool, &a->blitz_signature_cache);
}

PyObject* fail(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return nullptr;
}

// Mode "blitz", whatever the method: its checks, then the gamma engine.
PyObject* run_blitz(const Args& a, Method method, tarvelo::ScoreType score_type,
                    const tarvelo::RankedList& ranked, const tarvelo::PathwayDb& db,
                    uint64_t min_size) {
  if (a.gpu) return fail(PyExc_ValueError, "gpu is not supported with mode='blitz'.");
  if (method == Method::kDecor)
    return fail(PyExc_ValueError, "mode='blitz' supports only method='classic'.");
  auto plan = tarvelo::bindings::resolve_execution_plan(InterfaceMode::kBlitz, a.nperm.has_value());
  if (!plan.ok()) {
    raise_error(PyExc_ValueError, plan.error());
    return nullptr;
  }
  if (score_type != tarvelo::ScoreType::kStd)
    return fail(PyExc_ValueError, "mode='blitz' supports only scoreType='std'.");
  // A NaN gseaParam passes this test, as the comparison is false.
  if (std::fabs(a.gsea_param - 1.0) > 0x1p-52)
    return fail(PyExc_ValueError, "mode='blitz' supports only gseaParam=1.0.");
  if (a.decor_cache || a.decor_expression)
    return fail(PyExc_ValueError, "decor arguments require method='decor'.");
  tarvelo::blitz::BlitzOptions options;
  options.permutations = a.nperm_simple;
  options.anchors = a.blitz_anchors;
  options.min_size = min_size;
  options.max_size =
      tarvelo::bindings::effective_max_size(a.max_size, InterfaceMode::kBlitz, ranked.size());
  options.processes = a.nproc == 0 ? 4 : a.nproc;
  options.seed = a.seed.value_or(0);
  options.accuracy = a.blitz_accuracy;
  options.deep_accuracy = a.blitz_deep_accuracy;
  options.symmetric = a.blitz_symmetric;
  options.center = a.blitz_center;
  options.signature_cache = a.blitz_signature_cache;
  auto results = tarvelo::blitz::ruvex_blitz_with_options(ranked, db.pathways, options);
  if (!results.ok()) {
    raise_error(PyExc_RuntimeError, results.error());
    return nullptr;
  }
  return results_to_py(*results, ranked);
}

Result<tarvelo::decor::DecorCacheMode> parse_decor_cache_mode(std::string_view s) {
  return tarvelo::parse_choice("decor_cache_mode", s, tarvelo::decor::kDecorCacheModes);
}

Result<tarvelo::decor::DecorCorrelation> parse_decor_correlation(std::string_view s) {
  return tarvelo::parse_choice("decor_correlation", s, tarvelo::decor::kDecorCorrelations);
}

Result<tarvelo::decor::DecorRedundancy> parse_decor_redundancy(std::string_view s) {
  return tarvelo::parse_choice("decor_redundancy", s, tarvelo::decor::kDecorRedundancies);
}

// Method "decor" with the modes ruvex, simple and multilevel: checks, options,
// the cache, then the engine.
PyObject* run_decor(const Args& a, InterfaceMode mode, tarvelo::ScoreType score_type,
                    const tarvelo::RankedList& ranked, const tarvelo::PathwayDb& db,
                    uint64_t min_size) {
  if (a.gpu)
    return fail(PyExc_ValueError,
                "decor supports CPU execution only; gpu is not supported with method='decor'.");
  if (mode == InterfaceMode::kMultilevel && a.nperm)
    return fail(PyExc_ValueError, "nperm is only valid with mode='ruvex' or mode='simple'.");
  if (!a.decor_cache) return fail(PyExc_ValueError, "method='decor' requires decor_cache.");

  tarvelo::decor::DecorOptions options;
  auto check = [](const tarvelo::Status& s) {
    if (s.ok()) return true;
    raise_error(PyExc_ValueError, s.error());
    return false;
  };
  if (!check(tarvelo::decor::apply_decor_release_tuning(options, a.decor_preset, a.decor_stringency)))
    return nullptr;
  if (!check(tarvelo::decor::apply_decor_formula_overrides(
          options, a.decor_weight_formula, a.decor_alpha, a.decor_threshold, a.decor_gamma,
          a.decor_penalty_floor, a.decor_scale_epsilon)))
    return nullptr;
  options.cache_path = a.decor_cache;
  options.expression_path = a.decor_expression;
  if (!parse_keyword(a.decor_cache_mode, parse_decor_cache_mode, &options.cache_mode) ||
      !parse_keyword(a.decor_correlation, parse_decor_correlation, &options.correlation) ||
      !parse_keyword(a.decor_redundancy, parse_decor_redundancy, &options.redundancy))
    return nullptr;

  // A path with a NUL byte would be cut short by the operating system.
  for (const auto* path : {&options.cache_path, &options.expression_path}) {
    if (*path && (*path)->find('\0') != std::string::npos)
      return fail(PyExc_OSError, "file name contained an unexpected NUL byte");
  }
  // Scores whose weights overflow fail before the cache is built.
  if (auto weights = ranked.check_weights(a.gsea_param); !weights.ok()) {
    raise_error(PyExc_ValueError, weights.error());
    return nullptr;
  }
  auto cache = tarvelo::decor::ensure_decor_cache_for_paths(db.pathways, a.gmt_path, options);
  if (!cache.ok()) {
    raise_error(PyExc_RuntimeError, cache.error());
    return nullptr;
  }

  const uint64_t max_size = a.max_size.value_or(ranked.size() == 0 ? 0 : ranked.size() - 1);
  Result<std::vector<tarvelo::EnrichmentResult>> results =
      (mode == InterfaceMode::kMultilevel || (mode == InterfaceMode::kRuvex && !a.nperm))
          ? tarvelo::decor::ruvex_decor_multilevel_with_options(
                ranked, db.pathways, *cache, options, a.nperm_simple, a.seed, min_size,
                max_size, score_type, a.sample_size, a.eps, a.gsea_param)
          : tarvelo::decor::ruvex_decor_simple_with_options(
                ranked, db.pathways, *cache, options, a.nperm.value_or(a.nperm_simple), a.seed,
                min_size, max_size, score_type, a.sample_size, a.eps, a.gsea_param);
  if (!results.ok()) {
    raise_error(PyExc_RuntimeError, results.error());
    return nullptr;
  }
  return results_to_py(*results, ranked);
}

PyObject* run_classic(const Args& a, InterfaceMode mode, tarvelo::ScoreType score_type,
                      const tarvelo::RankedList& ranked, const tarvelo::PathwayDb& db,
                      uint64_t min_size) {
  if (a.decor_cache || a.decor_expression)
    return fail(PyExc_ValueError, "decor arguments require method='decor'.");
  if (a.gpu)
    return fail(PyExc_RuntimeError, "gpu=True requires building tarvelopy with the 'gpu' feature.");
  if (auto weights = ranked.check_weights(a.gsea_param); !weights.ok()) {
    raise_error(PyExc_ValueError, weights.error());
    return nullptr;
  }
  const uint64_t max_size = tarvelo::bindings::effective_max_size(a.max_size, mode, ranked.size());
  std::vector<tarvelo::EnrichmentResult> results;
  switch (mode) {
    case InterfaceMode::kMultilevel:
      results = tarvelo::algo::run_gsea_internal(
          ranked, db.pathways, a.nperm_simple, tarvelo::algo::resolve_rng_seed(a.seed), min_size,
          max_size, a.eps, a.gsea_param, score_type, true, a.sample_size);
      break;
    case InterfaceMode::kSimple:
      results = tarvelo::algo::run_gsea_internal(
          ranked, db.pathways, a.nperm.value_or(a.nperm_simple),
          tarvelo::algo::resolve_rng_seed(a.seed), min_size, max_size, a.eps, a.gsea_param,
          score_type, false, a.sample_size);
      break;
    case InterfaceMode::kRuvex:
      results = tarvelo::algo::ruvex_with_sample_size_and_kind(
          ranked, db.pathways, a.nperm, a.nperm_simple, a.seed, min_size, max_size, a.eps,
          a.gsea_param, score_type, a.sample_size);
      break;
    case InterfaceMode::kBlitz:
      tarvelo::internal_fault("mode blitz reached the classic dispatch");
  }
  return results_to_py(results, ranked);
}

PyObject* run_gsea_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // 1. Arguments.
  PyObject* slots[std::size(kNames)];
  if (!bind_arguments(kSignature, args, nargs, kwnames, slots)) return nullptr;
  Args a;
  if (!extract_args(slots, &a)) return nullptr;

  // 2-5. Counts.
  if (a.sample_size == 0) return fail(PyExc_ValueError, "sampleSize must be greater than 0.");
  // Sizes the pool only if it does not exist yet; a failure is ignored (the
  // pool is then created with the default size on first use).
  if (a.nproc > 0) tarvelo::pool::ensure_global_pool(a.nproc);
  if (a.min_size && *a.min_size == 0)
    return fail(PyExc_ValueError, "minSize must be greater than 0.");
  if (a.blitz_anchors == 0 || a.blitz_accuracy == 0 || a.blitz_deep_accuracy == 0)
    return fail(PyExc_ValueError,
                "blitz_anchors, blitz_accuracy, and blitz_deep_accuracy must be greater than 0.");

  // 6. Ranked list. A NaN or infinite score has no place in a ranking.
  for (size_t i = 0; i < a.ranks.scores.size(); ++i) {
    if (!std::isfinite(a.ranks.scores[i])) {
      set_error(PyExc_ValueError, "Score of gene '" + a.ranks.genes[i] + "' is not finite (" +
                                      tarvelo::text::format_f64(a.ranks.scores[i]) + ").");
      return nullptr;
    }
  }
  const tarvelo::RankedList ranked(std::move(a.ranks.genes), std::move(a.ranks.scores));

  // 7. Pathways, before any keyword is parsed.
  auto db = tarvelo::io::read_gmt(a.gmt_path);
  if (!db.ok()) {
    raise_error(PyExc_OSError, db.error());
    return nullptr;
  }

  // 8-11. Keywords.
  tarvelo::ScoreType score_type;
  if (!parse_score_type(a.score_type, &score_type)) return nullptr;
  Method method;
  if (!parse_keyword(a.method, tarvelo::bindings::parse_method, &method)) return nullptr;
  InterfaceMode mode;
  if (!parse_keyword(a.mode, tarvelo::bindings::parse_interface_mode, &mode)) return nullptr;
  const uint64_t min_size = tarvelo::bindings::effective_min_size(a.min_size, mode);

  // 12-16. Branches.
  if (mode == InterfaceMode::kBlitz) return run_blitz(a, method, score_type, ranked, *db, min_size);
  if (method == Method::kDecor) return run_decor(a, mode, score_type, ranked, *db, min_size);
  return run_classic(a, mode, score_type, ranked, *db, min_size);
}

PyObject* run_gsea_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&] { return run_gsea_impl(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef run_gsea_method_def() {
  return PyMethodDef{"run_gsea_py",
                     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_gsea_py)),
                     METH_FASTCALL | METH_KEYWORDS, kDoc};
}

}  // namespace tarvelopy
