// The BasicTokenizer class.
#pragma once

#include "binding/python.hpp"

namespace pairloom::binding {

/// The BasicTokenizer type, created once per process on first need. A borrowed reference, or
/// null with RuntimeError "An error occurred while initializing class BasicTokenizer" set
/// (its __cause__ the underlying error).
PyObject* tokenizer_type();

}  // namespace pairloom::binding
