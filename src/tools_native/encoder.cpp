// Encoder: a model's encoding with the ids packed into bytes, so that encoding a corpus into an
// array makes no list of ints per document, and takes its files' bytes without decoding them.
#include "tools_native/encoder.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "tokenizer/core/state.hpp"
#include "tokenizer/encode/encode.hpp"
#include "tokenizer/encode/encode_tables.hpp"
#include "tokenizer/io/model_file.hpp"
#include "tokenizer/io/render.hpp"

namespace pairloom::tools_native {
namespace {

using binding::Arguments;
using binding::match_arguments;
using binding::Signature;

struct EncoderState {
  engine::Tokenizer tokenizer;
  std::optional<engine::EncodeTables> tables;
  engine::TokenId largest_id = 255;  ///< of the bytes, merges and special tokens
};

constexpr const char* kNewParameters[] = {"model_path"};
constexpr const char* kEncodeParameters[] = {"text", "itemsize"};
constexpr Signature kNew{"__new__", kNewParameters, 1, 1, "Encoder"};
constexpr Signature kEncode{"encode", kEncodeParameters, 2, 2, "Encoder"};

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return binding::guarded([&] {
    Arguments<1> a;
    match_arguments(kNew, args, kwargs, a.data());
    std::string_view path = text_argument("model_path", a[0]);
    auto state = std::make_unique<EncoderState>();
    succeed_or_raise(engine::load(state->tokenizer, path, signal_check()));
    state->tables.emplace(state->tokenizer.merges, signal_check());
    for (const auto& [pair, id] : state->tokenizer.merges) {
      state->largest_id = std::max(state->largest_id, id);
    }
    for (const auto& [text, id] : state->tokenizer.special_tokens) {
      state->largest_id = std::max(state->largest_id, id);
    }
    return new_native(type, std::move(state));
  });
}

/// `ids` as native-endian unsigned integers of `itemsize` bytes.
template <class Item>
PyObject* packed(const std::vector<engine::TokenId>& ids) {
  const std::size_t size = ids.size() * sizeof(Item);
  PyRef bytes =
      checked(PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
  char* out = PyBytes_AsString(bytes.get());
  if constexpr (sizeof(Item) == sizeof(engine::TokenId)) {
    std::memcpy(out, ids.data(), size);
  } else {
    engine::TokenId largest = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const auto item = static_cast<Item>(ids[i]);
      largest |= ids[i];
      std::memcpy(out + i * sizeof(Item), &item, sizeof(Item));
    }
    if (largest > std::numeric_limits<Item>::max()) {
      PyErr_Format(PyExc_OverflowError, "an id does not fit in %zu bytes", sizeof(Item));
      throw PythonError{};
    }
  }
  return bytes.release();
}

PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return binding::guarded([&]() -> PyObject* {
    Arguments<2> a;
    match_arguments(kEncode, args, nargs, kwnames, a.data());
    const EncoderState& state = native<EncoderState>(self);
    const std::size_t itemsize = size_argument("itemsize", a[1]);
    if (itemsize != 2 && itemsize != 4) {
      PyErr_SetString(PyExc_ValueError, "itemsize must be 2 or 4");
      throw PythonError{};
    }
    std::string_view text;
    if (PyBytes_Check(a[0].get())) {
      char* data = nullptr;
      Py_ssize_t size = 0;
      checked(PyBytes_AsStringAndSize(a[0].get(), &data, &size));
      text = {data, static_cast<std::size_t>(size)};
      if (!engine::is_valid_utf8(text)) return none();
    } else {
      text = text_argument("text", a[0]);
    }
    std::vector<engine::TokenId> ids =
        engine::encode(state.tokenizer.merges, *state.tables, text, signal_check());
    return itemsize == 2 ? packed<std::uint16_t>(ids) : packed<std::uint32_t>(ids);
  });
}

PyMethodDef encoder_methods[] = {
    {"encode", as_cfunction(encoder_encode), kFastCall,
     "encode($self, text, itemsize)\n--\n\n"
     "The ids of text (a str, or bytes holding UTF-8) as BasicTokenizer.encode gives them,\n"
     "packed as native-endian unsigned integers of itemsize (2 or 4) bytes each. None for\n"
     "bytes that are not UTF-8; OverflowError for an id that does not fit."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* encoder_largest_id(PyObject* self, void*) noexcept {
  return binding::guarded([&] { return PyLong_FromSize_t(native<EncoderState>(self).largest_id); });
}

PyGetSetDef encoder_getset[] = {
    {"largest_id", encoder_largest_id, nullptr,
     "The largest id of the model: of its bytes, merges and special tokens.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const TypeParts encoder_type = {
    "pairloom_tools._native.Encoder",
    "Encoder(model_path)\n--\n\n"
    "The encoding of a BasicTokenizer that loaded model_path, with packed ids.",
    encoder_new, encoder_methods, encoder_getset};

}  // namespace

void add_encoder(PyObject* module) {
  add_native_type<EncoderState>(module, encoder_type);
}

}  // namespace pairloom::tools_native
