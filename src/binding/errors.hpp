// The one place where failures become Python exceptions.
#pragma once

#include <string_view>

#include "binding/pyref.hpp"
#include "tokenizer/support/error.hpp"

namespace pairloom::binding {

/// Sets the Python exception for whatever the current `catch (...)` block caught: a Python
/// error already set stays; InternalFault -> PanicException; std::bad_alloc -> MemoryError;
/// an interruption keeps the signal handler's exception. Call only inside a catch block.
void set_error_from_current_exception() noexcept;

/// Runs `body` and returns its result; any failure becomes a Python exception and null.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

/// Raises an I/O failure as OSError or the subclass its kind names, with the message as the
/// only argument.
[[noreturn]] void raise_io_error(const tokenizer::Error& error);

/// Raises the failure of `result`, as raise_io_error does, unless it succeeded.
inline void succeed_or_raise(const tokenizer::Result<>& result) {
  if (!result.ok()) raise_io_error(result.error());
}

/// Raises PanicException with `message`.
[[noreturn]] void raise_panic(std::string_view message);

/// The PanicException class, created on first use. Null with an error set when that fails.
PyObject* panic_exception_type();

/// The exception currently being raised, taken out of the interpreter (empty when none is).
PyRef fetch_exception();

/// Makes `exception` the exception currently being raised.
void restore_exception(PyRef exception);

/// Called when converting argument `name` failed with a Python exception pending. A TypeError
/// gets the argument's name in front of its message; a PanicException that came back from
/// Python code is reported and raised anew; anything else passes unchanged. Always throws.
[[noreturn]] void rethrow_conversion_error(const char* name);

}  // namespace pairloom::binding
