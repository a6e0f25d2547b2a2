// The extension module `tarvelopy`: multi-phase initialisation with a single
// exec step that adds the three functions and __all__.
#include "tarvelopy/functions.hpp"

namespace tarvelopy {
namespace {

// The method table, built on first use and never changed after: CPython
// keeps pointers into it for as long as the functions live, and a module
// initialised again (after being dropped from sys.modules) shares it.
const PyMethodDef* methods() {
  static const PyMethodDef table[] = {
      run_gsea_method_def(),
      enrichment_plot_method_def(),
      table_plot_method_def(),
      PyMethodDef{nullptr, nullptr, 0, nullptr},
  };
  return table;
}

constexpr int kMethodCount = 3;

int module_exec(PyObject* module) {
  // The API takes a mutable pointer but never writes through it.
  if (PyModule_AddFunctions(module, const_cast<PyMethodDef*>(methods())) < 0) return -1;
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all) return -1;
  for (int i = 0; i < kMethodCount; ++i) {
    PyRef name = PyRef::steal(PyUnicode_FromString(methods()[i].ml_name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
  }
  return PyModule_AddObjectRef(module, "__all__", all.get());
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "tarvelopy",
    "",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tarvelopy

PyMODINIT_FUNC PyInit_tarvelopy(void) { return PyModuleDef_Init(&tarvelopy::g_module); }
