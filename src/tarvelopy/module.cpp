// The extension module `tarvelopy`: multi-phase initialisation with a single
// exec step that adds the three functions and __all__.
#include "tarvelopy/functions.hpp"

namespace tarvelopy {
namespace {

PyMethodDef g_methods[4];

int module_exec(PyObject* module) {
  g_methods[0] = run_gsea_method_def();
  g_methods[1] = enrichment_plot_method_def();
  g_methods[2] = table_plot_method_def();
  g_methods[3] = PyMethodDef{nullptr, nullptr, 0, nullptr};
  if (PyModule_AddFunctions(module, g_methods) < 0) return -1;
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all) return -1;
  for (int i = 0; i < 3; ++i) {
    PyRef name = PyRef::steal(PyUnicode_FromString(g_methods[i].ml_name));
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
