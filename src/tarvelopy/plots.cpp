// write_enrichment_plot_png_py: argument extraction and the score-type check;
// the plot itself (its checks, curve, layout, drawing and PNG) lives in the
// library. The interpreter lock stays held for the whole call.
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tarvelo/plot.hpp"
#include "tarvelopy/args.hpp"
#include "tarvelopy/functions.hpp"

namespace tarvelopy {
namespace {

constexpr const char* kNames[] = {
    "ranks",        "pathway_genes", "output_path", "pathway_name",           "scoreType",
    "gseaParam",    "width_inches",  "height_inches", "dpi", "transparent_background", "title",
};
constexpr Signature kSignature{"write_enrichment_plot_png_py", kNames, 3};

constexpr const char kDoc[] =
    "write_enrichment_plot_png_py(ranks, pathway_genes, output_path, pathway_name=\"pathway\", "
    "scoreType=\"std\", gseaParam=1.0, width_inches=3.0, height_inches=2.2, dpi=300, "
    "transparent_background=False, title=None)\n--\n\n";

// A sequence of str (a str itself is refused), read through a snapshot so that
// the sequence cannot change while its items are converted.
bool to_string_sequence(PyObject* o, std::vector<std::string>* out) {
  if (PyUnicode_Check(o) || !PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "must be a sequence of str, not %s", Py_TYPE(o)->tp_name);
    return false;
  }
  PyRef items = PyRef::steal(PySequence_Fast(o, "must be a sequence of str"));
  if (!items) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  out->clear();
  out->reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "sequence items must be str, not %s", Py_TYPE(item)->tp_name);
      return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(item, &size);
    if (!data) return false;
    out->emplace_back(data, static_cast<size_t>(size));
  }
  return true;
}

struct Args {
  RanksInput ranks;
  std::vector<std::string> pathway_genes;
  std::string output_path;
  std::string pathway_name = "pathway";
  std::string score_type = "std";
  double gsea_param = 1.0;
  double width_inches = 3.0;
  double height_inches = 2.2;
  uint32_t dpi = 300;
  bool transparent_background = false;
  std::optional<std::string> title;
};

bool extract_args(PyObject* const* s, Args* a) {
  size_t i = 0;
  auto x = [&](auto convert, auto* field) {
    const size_t k = i++;
    return extract(s[k], kNames[k], convert, field);
  };
  return x(to_ranks, &a->ranks) && x(to_string_sequence, &a->pathway_genes) &&
         x(to_string, &a->output_path) && x(to_string, &a->pathway_name) &&
         x(to_string, &a->score_type) && x(to_f64, &a->gsea_param) &&
         x(to_f64, &a->width_inches) && x(to_f64, &a->height_inches) && x(to_u32, &a->dpi) &&
         x(to_bool, &a->transparent_background) && x(to_optional_string, &a->title);
}

PyObject* enrichment_plot_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[std::size(kNames)];
  if (!bind_arguments(kSignature, args, nargs, kwnames, slots)) return nullptr;
  Args a;
  if (!extract_args(slots, &a)) return nullptr;

  tarvelo::plot::EnrichmentPlotOptions options;
  if (!parse_score_type(a.score_type, &options.score_type)) return nullptr;
  const tarvelo::RankedList ranked(std::move(a.ranks.genes), std::move(a.ranks.scores));
  options.pathway_name = std::move(a.pathway_name);
  options.gsea_param = a.gsea_param;
  options.width_inches = a.width_inches;
  options.height_inches = a.height_inches;
  options.dpi = a.dpi;
  options.transparent_background = a.transparent_background;
  options.title = std::move(a.title);

  const tarvelo::Status written =
      tarvelo::plot::write_enrichment_plot_png(ranked, a.pathway_genes, a.output_path, options);
  if (!written.ok()) {
    const tarvelo::Error& e = written.error();
    raise_error(e.kind() == tarvelo::Error::Kind::kOs ? PyExc_OSError : PyExc_RuntimeError, e);
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* write_enrichment_plot_png_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return call_guarded([&] { return enrichment_plot_impl(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef enrichment_plot_method_def() {
  return PyMethodDef{
      "write_enrichment_plot_png_py",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_enrichment_plot_png_py)),
      METH_FASTCALL | METH_KEYWORDS, kDoc};
}

}  // namespace tarvelopy
