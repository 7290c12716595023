// Matching call arguments to parameters, and converting Python objects to engine values.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "binding/errors.hpp"
#include "binding/pyref.hpp"
#include "tokenizer/core/types.hpp"

namespace pairloom::binding {

/// The parameters of one callable (of BasicTokenizer unless `owner` says otherwise). No callable
/// has positional-only or keyword-only parameters.
struct Signature {
  const char* function;                  ///< "train", or "__new__" for the constructor
  const char* const* parameters;         ///< names, in order
  std::size_t count;                     ///< number of parameters
  std::size_t required;                  ///< the first `required` parameters must be given
  const char* owner = "BasicTokenizer";  ///< the class named in error messages
};

/// Matched arguments: an owned reference per parameter, empty where none was given.
template <std::size_t N>
using Arguments = std::array<PyRef, N>;

/// Matches a fast call (positional array + tuple of keyword names). Throws PythonError with
/// TypeError set on a mismatch.
void match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyRef* out);

/// Matches a classic call (argument tuple + keyword dict).
void match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyRef* out);

/// The calling convention of every method that takes arguments: matched by match_arguments.
inline constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

/// A method of any C signature as the PyCFunction a PyMethodDef holds; `flags` say which it is.
template <class Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

/// Conversions of long sequences, in and out, check for signals once per this many items.
inline constexpr std::size_t kItemsPerSignalCheck = std::size_t{1} << 16;

/// An int (or an object with __index__) as an unsigned size-type integer.
std::size_t to_size(PyObject* object);

/// A str as its UTF-8 bytes; the view lives as long as the str.
std::string_view to_text(PyObject* object);

/// A str's UTF-8 bytes for as long as one call needs them, leaving no copy behind: an ASCII
/// str lends its own characters (they are its UTF-8 already); any other is encoded into a
/// bytes object this holder owns and can drop early. (PyUnicode_AsUTF8AndSize would cache the
/// encoding inside the str, a byte per byte of text held as long as the caller keeps the str.)
/// Fails as to_text does, with the same exceptions.
class TransientText {
 public:
  explicit TransientText(PyObject* object);

  std::string_view view() const { return view_; }
  /// Drops the copy, if one was made; the view is empty from then on.
  void release();

 private:
  PyRef copy_;
  std::string_view view_;
};

/// A sequence of ints (not a str) as token ids. Checks for signals as it goes (a range can
/// describe more ids than any memory holds), and throws std::bad_alloc once the ids would take
/// more memory than the engine's budget for token bytes allows.
std::vector<tokenizer::TokenId> to_token_ids(PyObject* object);

/// Raises TypeError "'<type of object>' object cannot be cast as '<target>'".
[[noreturn]] void raise_type_mismatch(PyObject* object, PyObject* target_type);

/// Runs `convert()` for the argument `name`; a failure gets the argument-name treatment of
/// rethrow_conversion_error.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) {
  try {
    return convert();
  } catch (const PythonError&) {
    rethrow_conversion_error(name);
  }
}

/// The int argument `name` as a size; failures name the argument.
std::size_t size_argument(const char* name, const PyRef& argument);

/// The str argument `name` as UTF-8; failures name the argument.
std::string_view text_argument(const char* name, const PyRef& argument);

/// The str argument `name` as TransientText; failures name the argument.
TransientText transient_text_argument(const char* name, const PyRef& argument);

}  // namespace pairloom::binding
