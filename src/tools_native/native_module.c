/* pairloom_tools._native. Its code is compiled into the pairloom module, beside the one engine
 * of the process; this module only loads that one (found as $ORIGIN/../pairloom.abi3.so) and
 * hands Python its initialiser for this module. */
#include <Python.h>

PyObject* pairloom_tools_native_init(void);

PyMODINIT_FUNC PyInit__native(void) {
  return pairloom_tools_native_init();
}
