// Module entry: multi-phase initialisation with a single execution step that
// registers the fourteen classes in their fixed order.
#include <Python.h>

#include "python/families.hpp"
#include "python/map_type.hpp"
#include "python/views.hpp"

namespace {

using quenlor::py::ElasticFamily;
using quenlor::py::FunnelFamily;

int exec_module(PyObject* module) {
  using namespace quenlor::py;
  if (MapType<ElasticFamily>::register_in(module) < 0) return -1;
  if (MapType<FunnelFamily>::register_in(module) < 0) return -1;
  if (register_views<ElasticFamily>(module) < 0) return -1;
  if (register_iterators<ElasticFamily>(module) < 0) return -1;
  if (register_views<FunnelFamily>(module) < 0) return -1;
  if (register_iterators<FunnelFamily>(module) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quenlor", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quenlor(void) { return PyModuleDef_Init(&module_def); }
