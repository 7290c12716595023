// The Shard and Coordinator types of pairloom_tools._native.
#pragma once

#include "tools_native/common.hpp"

namespace pairloom::tools_native {

/// Adds Shard and Coordinator to `module`.
void add_shards(PyObject* module);

}  // namespace pairloom::tools_native
