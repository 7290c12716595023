#include "binding/args.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "binding/once.hpp"
#include "tokenizer/support/memory_budget.hpp"

namespace pairloom::binding {
namespace {

using tokenizer::TokenId;

OnceCell sequence_cell;
OnceCell isascii_cell;

std::string full_name(const Signature& signature) {
  return std::string{signature.owner} + "." + signature.function + "()";
}

[[noreturn]] void raise_type_error(const std::string& message) {
  PyRef text = checked(PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace")));
  PyErr_SetObject(PyExc_TypeError, text.get());
  throw PythonError{};
}

[[noreturn]] void raise_too_many(const Signature& signature, Py_ssize_t given) {
  std::string message = full_name(signature);
  if (signature.required == signature.count) {
    message += " takes " + std::to_string(signature.count);
  } else {
    message += " takes from " + std::to_string(signature.required) + " to " +
               std::to_string(signature.count);
  }
  message += " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was given" : " were given");
  raise_type_error(message);
}

[[noreturn]] void raise_unexpected_keyword(const Signature& signature, PyObject* keyword) {
  PyRef text = checked(PyRef::steal(PyObject_Str(keyword)));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (data == nullptr) throw PythonError{};
  raise_type_error(full_name(signature) + " got an unexpected keyword argument '" +
                   std::string{data, static_cast<std::size_t>(size)} + "'");
}

[[noreturn]] void raise_missing(const Signature& signature, const PyRef* out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (!out[i]) missing.push_back(signature.parameters[i]);
  }
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    names += std::string{"'"} + missing[i] + "'";
  }
  raise_type_error(full_name(signature) + " missing " + std::to_string(missing.size()) +
                   " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                   ": " + names);
}

// Puts a keyword argument into its parameter's place.
void match_keyword(const Signature& signature, PyObject* name, PyObject* value, PyRef* out) {
  std::string_view key;
  bool readable = false;
  if (PyUnicode_Check(name)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name, &size);
    if (data != nullptr) {
      key = std::string_view{data, static_cast<std::size_t>(size)};
      readable = true;
    } else {
      PyErr_Clear();  // a name that is not valid UTF-8 matches no parameter
    }
  }
  if (readable) {
    for (std::size_t i = 0; i < signature.count; ++i) {
      if (key != signature.parameters[i]) continue;
      if (out[i]) {
        raise_type_error(full_name(signature) + " got multiple values for argument '" +
                         signature.parameters[i] + "'");
      }
      out[i] = PyRef::borrow(value);
      return;
    }
  }
  raise_unexpected_keyword(signature, name);
}

void check_positional_count(const Signature& signature, Py_ssize_t given) {
  if (given > static_cast<Py_ssize_t>(signature.count)) raise_too_many(signature, given);
}

void check_required(const Signature& signature, const PyRef* out) {
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (!out[i]) raise_missing(signature, out);
  }
}

PyObject* sequence_type() {
  return sequence_cell.get([]() -> PyObject* {
    PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), "Sequence");
  });
}

PyRef qualified_name(PyObject* type) {
  // The target type comes from a module attribute that anyone can replace with a non-type.
  PyRef name = PyType_Check(type) != 0
                   ? PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)))
                   : PyRef{};
  if (!name) {
    PyErr_Clear();
    name = PyRef::steal(PyUnicode_FromString("<failed to extract type name>"));
  }
  return name;
}

// Sizes beyond this are taken as a promise the sequence may not keep: the id list then grows
// as the iteration goes instead of being sized up front.
constexpr Py_ssize_t kLargestTrustedLength = Py_ssize_t{1} << 24;

// str.isascii of the built-in type: O(1), and a subclass's override runs no code here. The
// method is looked up once: a lookup by name on every call makes a new name object each time,
// which the type's attribute cache may hold on to (a memory test saw them pile up).
bool is_ascii(PyObject* text) {
  PyObject* method = isascii_cell.get([]() -> PyObject* {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "isascii");
  });
  if (method == nullptr) throw PythonError{};
  PyRef answer = checked(PyRef::steal(PyObject_CallFunctionObjArgs(method, text, nullptr)));
  return answer.get() == Py_True;
}

}  // namespace

void match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyRef* out) {
  check_positional_count(signature, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyRef::borrow(args[i]);
  if (kwnames != nullptr) {
    Py_ssize_t count = PyTuple_Size(kwnames);
    if (count < 0) throw PythonError{};
    for (Py_ssize_t i = 0; i < count; ++i) {
      match_keyword(signature, PyTuple_GetItem(kwnames, i), args[nargs + i], out);
    }
  }
  check_required(signature, out);
}

void match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyRef* out) {
  Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) throw PythonError{};
  check_positional_count(signature, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyRef::borrow(PyTuple_GetItem(args, i));
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      PyRef held_name = PyRef::borrow(name);  // str() of a keyword may run Python code
      match_keyword(signature, held_name.get(), value, out);
    }
  }
  check_required(signature, out);
}

void raise_type_mismatch(PyObject* object, PyObject* target_type) {
  PyRef source = checked(qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(object))));
  PyRef target = checked(qualified_name(target_type));
  PyRef message = checked(PyRef::steal(
      PyUnicode_FromFormat("'%U' object cannot be cast as '%U'", source.get(), target.get())));
  PyErr_SetObject(PyExc_TypeError, message.get());
  throw PythonError{};
}

std::size_t to_size(PyObject* object) {
  PyRef index;
  if (!PyLong_Check(object)) {
    index = checked(PyRef::steal(PyNumber_Index(object)));
    object = index.get();
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  if (value > std::numeric_limits<std::size_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    throw PythonError{};
  }
  return static_cast<std::size_t>(value);
}

std::string_view to_text(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    raise_type_mismatch(object, reinterpret_cast<PyObject*>(&PyUnicode_Type));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) throw PythonError{};
  return {data, static_cast<std::size_t>(size)};
}

TransientText::TransientText(PyObject* object) {
  if (!PyUnicode_Check(object) || is_ascii(object)) {
    view_ = to_text(object);  // an ASCII str's own characters: nothing is cached or copied
    return;
  }
  // The same encoder as PyUnicode_AsUTF8AndSize's, so a lone surrogate raises the same
  // UnicodeEncodeError; only the result goes to a bytes object instead of the str's cache.
  copy_ = checked(PyRef::steal(PyUnicode_AsUTF8String(object)));
  char* data = nullptr;
  Py_ssize_t size = 0;
  checked(PyBytes_AsStringAndSize(copy_.get(), &data, &size));
  view_ = {data, static_cast<std::size_t>(size)};
}

void TransientText::release() {
  view_ = {};
  copy_ = PyRef{};
}

std::vector<TokenId> to_token_ids(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    throw PythonError{};
  }
  if (!PySequence_Check(object)) {
    PyObject* sequence = sequence_type();
    if (sequence == nullptr) throw PythonError{};
    raise_type_mismatch(object, sequence);
  }
  std::vector<TokenId> ids;
  Py_ssize_t length = PyObject_Size(object);
  if (length < 0) {
    PyErr_Clear();
  } else if (length <= kLargestTrustedLength) {
    ids.reserve(static_cast<std::size_t>(length));
  }
  PyRef iterator = checked(PyRef::steal(PyObject_GetIter(object)));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (ids.size() % kItemsPerSignalCheck == kItemsPerSignalCheck - 1) {
      checked(PyErr_CheckSignals());
      // The list is working memory like any token's bytes: held to the same budget, so that
      // a sequence of billions of ids fails with MemoryError instead of filling the machine.
      tokenizer::check_memory_budget(0, (ids.size() + 1) * sizeof(TokenId));
    }
    ids.push_back(to_size(item.get()));
  }
  if (PyErr_Occurred()) throw PythonError{};
  return ids;
}

std::size_t size_argument(const char* name, const PyRef& argument) {
  return convert_argument(name, [&] { return to_size(argument.get()); });
}

std::string_view text_argument(const char* name, const PyRef& argument) {
  return convert_argument(name, [&] { return to_text(argument.get()); });
}

TransientText transient_text_argument(const char* name, const PyRef& argument) {
  return convert_argument(name, [&] { return TransientText{argument.get()}; });
}

}  // namespace pairloom::binding
