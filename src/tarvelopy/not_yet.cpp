// Entry points whose implementation has not landed yet fail cleanly.
#include "tarvelopy/functions.hpp"

namespace tarvelopy {
namespace {

PyObject* not_available(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_RuntimeError, "this function is not available yet.");
  return nullptr;
}

}  // namespace

#define TARVELOPY_STUB(fn, name)                                                  \
  PyMethodDef fn() {                                                               \
    return PyMethodDef{name, reinterpret_cast<PyCFunction>(                        \
                                 reinterpret_cast<void (*)()>(not_available)),     \
                       METH_FASTCALL | METH_KEYWORDS, nullptr};                    \
  }
TARVELOPY_STUB(table_plot_method_def, "write_gsea_table_plot_png_py")

}  // namespace tarvelopy
