// The Encoder type of pairloom_tools._native.
#pragma once

#include "tools_native/common.hpp"

namespace pairloom::tools_native {

/// Adds Encoder to `module`.
void add_encoder(PyObject* module);

}  // namespace pairloom::tools_native
