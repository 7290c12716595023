// pairloom_tools._native: native pieces of the tools that the pairloom module's fixed surface
// has no place for.
#include <cstring>

#include "tools_native/common.hpp"
#include "tools_native/encoder.hpp"
#include "tools_native/shards.hpp"
#include "tools_native/trainer.hpp"

namespace pairloom::tools_native {

void add_type(PyObject* module, const TypeParts& parts, int basic_size, destructor dealloc) {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(parts.make)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
      {Py_tp_doc, const_cast<char*>(parts.doc)},
      {Py_tp_methods, parts.methods},
      {Py_tp_getset, parts.getset},
      {0, nullptr},
  };
  PyType_Spec spec = {parts.name, basic_size, 0, Py_TPFLAGS_DEFAULT, slots};
  PyRef type = checked(PyRef::steal(PyType_FromSpec(&spec)));
  checked(PyModule_AddObjectRef(module, std::strrchr(parts.name, '.') + 1, type.get()));
}

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "pairloom_tools._native",
    "Native helpers of pairloom_tools: stepwise training, training shards and packed encoding.",
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
  add_encoder(module.get());
  add_shards(module.get());
  return module.release();
}

}  // namespace
}  // namespace pairloom::tools_native

// The initialiser of pairloom_tools._native, exported for that module (native_module.c), which
// calls it from its own PyInit__native.
extern "C" __attribute__((visibility("default"))) PyObject* pairloom_tools_native_init(void) {
  return pairloom::binding::guarded(pairloom::tools_native::create_module);
}
