// Method definitions of the module's Python-visible functions.
#pragma once

#include "tarvelopy/pyref.hpp"

namespace tarvelopy {

PyMethodDef run_gsea_method_def();
PyMethodDef enrichment_plot_method_def();
PyMethodDef table_plot_method_def();

}  // namespace tarvelopy
