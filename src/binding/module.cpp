// The module's entry point: one module object per process, owned by one interpreter.
#include <atomic>
#include <cstdint>

#include "binding/errors.hpp"
#include "binding/once.hpp"
#include "binding/pyref.hpp"
#include "binding/tokenizer_type.hpp"

namespace pairloom::binding {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "pairloom",  // m_name
    "",          // m_doc
    0,           // m_size
    nullptr,     // m_methods
    nullptr,     // m_slots: single-phase initialisation
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

// The interface version the module was written against.
constexpr int kApiVersion = 1013;

// The id of the interpreter that imported the module first; -1 until then.
std::atomic<std::int64_t> owning_interpreter{-1};

OnceCell module_cell;

// Set when the interpreter is finalised. Everything the module made (its type, its module
// object, the cells above) belonged to that interpreter and is gone or cleared; a new one
// in the same process would get a dead module, so it gets ImportError instead.
std::atomic<bool> interpreter_finalised{false};

void note_finalisation() {
  interpreter_finalised.store(true);
}

void publish_type(PyObject* module, PyObject* type) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    all = checked(PyRef::steal(PyList_New(0)));
    checked(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  PyRef name = checked(PyRef::steal(PyUnicode_FromString("BasicTokenizer")));
  checked(PyList_Append(all.get(), name.get()));
  checked(PyModule_AddObjectRef(module, "BasicTokenizer", type));
}

PyObject* create_module() {
  PyRef module = checked(PyRef::steal(PyModule_Create2(&module_definition, kApiVersion)));
  PyObject* type = tokenizer_type();
  if (type == nullptr) throw PythonError{};
  publish_type(module.get(), type);
  return module.release();
}

PyObject* initialise() {
  if (interpreter_finalised.load()) {
    PyErr_SetString(PyExc_ImportError,
                    "pairloom cannot be initialised again in this process: the interpreter "
                    "that imported it first has been finalised");
    throw PythonError{};
  }
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw PythonError{};
  std::int64_t owner = -1;
  if (!owning_interpreter.compare_exchange_strong(owner, id) && owner != id) {
    PyErr_SetString(PyExc_ImportError,
                    "pairloom does not support sub-interpreters: it can only be imported in "
                    "the interpreter that imported it first");
    throw PythonError{};
  }
  PyObject* module = module_cell.get([]() -> PyObject* {
    try {
      PyObject* made = create_module();
      // Without the notice a restart would hand back the dead module; the table of exit
      // functions is small, and a full one is the only way to miss it.
      (void)Py_AtExit(note_finalisation);
      return made;
    } catch (const PythonError&) {
      return nullptr;
    }
  });
  if (module == nullptr) throw PythonError{};
  Py_INCREF(module);
  return module;
}

}  // namespace
}  // namespace pairloom::binding

PyMODINIT_FUNC PyInit_pairloom(void) {
  return pairloom::binding::guarded(pairloom::binding::initialise);
}
