// The two plot entry points, write_enrichment_plot_png_py and
// write_gsea_table_plot_png_py: argument extraction and the checks that need
// Python objects (the score type, the result dicts); the plots themselves
// (their checks, layout, drawing and PNG) live in the library. The
// interpreter lock stays held for the whole call.
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tarvelo/plot/plot.hpp"
#include "tarvelopy/args.hpp"
#include "tarvelopy/functions.hpp"

namespace tarvelopy {
namespace {

// None after a written plot; otherwise the library's error as OSError (a path
// the OS cannot take) or RuntimeError (every check and write failure).
PyObject* plot_outcome(const tarvelo::Status& written) {
  if (!written.ok()) {
    const tarvelo::Error& e = written.error();
    raise_error(e.kind() == tarvelo::Error::Kind::kOs ? PyExc_OSError : PyExc_RuntimeError, e);
    return nullptr;
  }
  Py_RETURN_NONE;
}

constexpr const char* kEnrichmentNames[] = {
    "ranks",        "pathway_genes", "output_path", "pathway_name",           "scoreType",
    "gseaParam",    "width_inches",  "height_inches", "dpi", "transparent_background", "title",
};
constexpr Signature kEnrichmentSignature{"write_enrichment_plot_png_py", kEnrichmentNames, 3};

constexpr const char kEnrichmentDoc[] =
    "write_enrichment_plot_png_py(ranks, pathway_genes, output_path, pathway_name=\"pathway\", "
    "scoreType=\"std\", gseaParam=1.0, width_inches=3.0, height_inches=2.2, dpi=300, "
    "transparent_background=False, title=None)\n--\n\n";

struct EnrichmentArgs {
  RanksInput ranks;
  std::vector<std::string> pathway_genes;
  std::string output_path;
  std::string score_type = "std";
  tarvelo::plot::EnrichmentPlotOptions options;  // its defaults are the signature's
};

bool extract_enrichment_args(PyObject* const* slots, EnrichmentArgs* a) {
  ArgReader x(kEnrichmentSignature, slots);
  tarvelo::plot::EnrichmentPlotOptions& o = a->options;
  return x(to_ranks, &a->ranks) && x(to_string_sequence, &a->pathway_genes) &&
         x(to_string, &a->output_path) && x(to_string, &o.pathway_name) &&
         x(to_string, &a->score_type) && x(to_f64, &o.gsea_param) &&
         x(to_f64, &o.width_inches) && x(to_f64, &o.height_inches) && x(to_u32, &o.dpi) &&
         x(to_bool, &o.transparent_background) && x(to_optional_string, &o.title);
}

PyObject* enrichment_plot_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[std::size(kEnrichmentNames)];
  if (!bind_arguments(kEnrichmentSignature, args, nargs, kwnames, slots)) return nullptr;
  EnrichmentArgs a;
  if (!extract_enrichment_args(slots, &a)) return nullptr;
  if (!parse_score_type(a.score_type, &a.options.score_type)) return nullptr;
  const tarvelo::RankedList ranked(std::move(a.ranks.genes), std::move(a.ranks.scores));
  return plot_outcome(tarvelo::plot::write_enrichment_plot_png(ranked, a.pathway_genes,
                                                               a.output_path, a.options));
}

PyObject* write_enrichment_plot_png_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return call_guarded([&] { return enrichment_plot_impl(args, nargs, kwnames); });
}

// ---- write_gsea_table_plot_png_py ----

constexpr const char* kTableNames[] = {
    "ranks",        "pathways",      "results", "output_path",           "gseaParam",
    "width_inches", "height_inches", "dpi",     "transparent_background",
};
constexpr Signature kTableSignature{"write_gsea_table_plot_png_py", kTableNames, 4};

constexpr const char kTableDoc[] =
    "write_gsea_table_plot_png_py(ranks, pathways, results, output_path, gseaParam=1.0, "
    "width_inches=5.6, height_inches=None, dpi=300, transparent_background=False)\n--\n\n";

// A (name, genes) 2-tuple: the name a str, the genes a sequence of str.
bool to_table_pathway(PyObject* item, tarvelo::Pathway* p) {
  if (!PyTuple_Check(item)) return item_type_error("(name, genes) tuples", item);
  if (PyTuple_GET_SIZE(item) != 2) {
    PyErr_Format(PyExc_TypeError,
                 "sequence items must be (name, genes) tuples of length 2, not of length %zd",
                 PyTuple_GET_SIZE(item));
    return false;
  }
  return to_string(PyTuple_GET_ITEM(item, 0), &p->name) &&
         to_string_sequence(PyTuple_GET_ITEM(item, 1), &p->genes);
}

bool to_table_pathways(PyObject* o, std::vector<tarvelo::Pathway>* out) {
  return to_vector(o, "(name, genes) tuples", to_table_pathway, out);
}

// A sequence of dicts, kept as strong references; their keys are read later.
bool to_result_dicts(PyObject* o, std::vector<PyRef>* out) {
  return to_vector(o, "dict", [](PyObject* item, PyRef* d) {
    if (!PyDict_Check(item)) return item_type_error("dict", item);
    *d = PyRef::borrow(item);
    return true;
  }, out);
}

// The value under `key`, as a strong reference (a value's __float__ may drop
// the dict's own reference); ValueError "Result row missing '{key}'." when
// absent.
PyRef required_item(PyObject* dict, const char* key) {
  PyRef k = PyRef::steal(PyUnicode_FromString(key));
  if (!k) return PyRef();
#if PY_VERSION_HEX >= 0x030D0000
  // A strong reference straight from the lookup: without the interpreter
  // lock another thread could drop a borrowed one before it is taken.
  PyObject* v = nullptr;
  if (PyDict_GetItemRef(dict, k.get(), &v) < 0) return PyRef();
  PyRef value = PyRef::steal(v);
#else
  PyRef value = PyRef::borrow(PyDict_GetItemWithError(dict, k.get()));
  if (!value && PyErr_Occurred()) return PyRef();
#endif
  if (!value) PyErr_Format(PyExc_ValueError, "Result row missing '%s'.", key);
  return value;
}

// One number of a result row: a float as is, anything else through Python's
// float conversion, whose error is raised unchanged.
bool extract_required_py_f64(PyObject* dict, const char* key, double* out) {
  PyRef v = required_item(dict, key);
  return v && to_f64(v.get(), out);
}

// The result row of one dict: its pathway name, NES, p-value and adjusted
// p-value; other keys are ignored.
bool to_result_row(PyObject* dict, tarvelo::EnrichmentResult* r) {
  PyRef name = required_item(dict, "pathway");
  if (!name || !to_string(name.get(), &r->pathway)) return false;
  double nes = 0.0, padj = 0.0;
  if (!extract_required_py_f64(dict, "nes", &nes) ||
      !extract_required_py_f64(dict, "pval", &r->pval) ||
      !extract_required_py_f64(dict, "padj", &padj))
    return false;
  r->nes = nes;
  r->padj = padj;
  return true;
}

struct TableArgs {
  RanksInput ranks;
  std::vector<tarvelo::Pathway> pathways;
  std::vector<PyRef> results;
  std::string output_path;
  tarvelo::plot::TablePlotOptions options;
};

bool extract_table_args(PyObject* const* slots, TableArgs* a) {
  ArgReader x(kTableSignature, slots);
  tarvelo::plot::TablePlotOptions& o = a->options;
  return x(to_ranks, &a->ranks) && x(to_table_pathways, &a->pathways) &&
         x(to_result_dicts, &a->results) && x(to_string, &a->output_path) &&
         x(to_f64, &o.gsea_param) && x(to_f64, &o.width_inches) &&
         x(to_optional_f64, &o.height_inches) && x(to_u32, &o.dpi) &&
         x(to_bool, &o.transparent_background);
}

PyObject* table_plot_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[std::size(kTableNames)];
  if (!bind_arguments(kTableSignature, args, nargs, kwnames, slots)) return nullptr;
  TableArgs a;
  if (!extract_table_args(slots, &a)) return nullptr;
  const tarvelo::RankedList ranked(std::move(a.ranks.genes), std::move(a.ranks.scores));
  std::vector<tarvelo::EnrichmentResult> results(a.results.size());
  for (size_t i = 0; i < a.results.size(); ++i) {
    if (!to_result_row(a.results[i].get(), &results[i])) return nullptr;
  }
  a.results.clear();
  return plot_outcome(tarvelo::plot::write_gsea_table_plot_png(ranked, a.pathways, results,
                                                               a.output_path, a.options));
}

PyObject* write_gsea_table_plot_png_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return call_guarded([&] { return table_plot_impl(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef enrichment_plot_method_def() {
  return PyMethodDef{
      "write_enrichment_plot_png_py",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_enrichment_plot_png_py)),
      METH_FASTCALL | METH_KEYWORDS, kEnrichmentDoc};
}

PyMethodDef table_plot_method_def() {
  return PyMethodDef{
      "write_gsea_table_plot_png_py",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_gsea_table_plot_png_py)),
      METH_FASTCALL | METH_KEYWORDS, kTableDoc};
}

}  // namespace tarvelopy
