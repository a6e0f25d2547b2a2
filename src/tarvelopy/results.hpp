// Engine results as Python objects: one dict per result with the keys
// "pathway", "size", "es", "nes", "pval", "padj", "log2err", "leading_edge".
#pragma once

#include <vector>

#include "tarvelo/engine/records.hpp"
#include "tarvelopy/pyref.hpp"

namespace tarvelopy {

// A new list of dicts, in the order of `results`; null with an exception set
// when the interpreter cannot create an object. `ranked` is the list the
// results were computed from: a leading-edge gene found in it is one str
// object shared by every list that holds it.
PyObject* results_to_py(const std::vector<tarvelo::EnrichmentResult>& results,
                        const tarvelo::RankedList& ranked);

}  // namespace tarvelopy
