// The Trainer type and write_model of pairloom_tools._native.
#pragma once

#include "tools_native/common.hpp"

namespace pairloom::tools_native {

/// Adds Trainer and write_model to `module`.
void add_trainer(PyObject* module);

}  // namespace pairloom::tools_native
