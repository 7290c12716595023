// pairloom_tools._native: native pieces of the tools that the pairloom module's fixed surface
// has no place for.
#include "tools_native/common.hpp"
#include "tools_native/shards.hpp"
#include "tools_native/trainer.hpp"

namespace pairloom::tools_native {

void add_type(PyObject* module, PyType_Spec& spec, const char* name) {
  PyRef type = checked(PyRef::steal(PyType_FromSpec(&spec)));
  checked(PyModule_AddObjectRef(module, name, type.get()));
}

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "pairloom_tools._native",
    "Native helpers of pairloom_tools: stepwise training and training shards.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr int kApiVersion = 1013;

PyObject* create_module() {
  PyRef module = checked(PyRef::steal(PyModule_Create2(&module_definition, kApiVersion)));
  add_trainer(module.get());
  add_shards(module.get());
  return module.release();
}

}  // namespace
}  // namespace pairloom::tools_native

PyMODINIT_FUNC PyInit__native(void) {
  return pairloom::binding::guarded(pairloom::tools_native::create_module);
}
