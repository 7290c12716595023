// Trainer: the tokenizer's training in steps, so that the command line can show its progress
// and stop between merges; write_model, the model and vocabulary files of a list of merges;
// and the UTF-8 checks of the command's input bytes, which never become a str.
#include "tools_native/trainer.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "binding/args.hpp"
#include "tokenizer/core/model.hpp"
#include "tokenizer/io/model_file.hpp"
#include "tokenizer/io/vocab_file.hpp"
#include "tokenizer/train/train.hpp"

namespace pairloom::tools_native {
namespace {

using binding::Arguments;
using binding::convert_argument;
using binding::match_arguments;
using binding::Signature;

/// One training and the tokenizer it fills. Not movable: the training holds the tokenizer.
struct TrainerState {
  engine::Model tokenizer;
  std::unique_ptr<engine::Training> training;
};

/// A buffer export of an object, released when it goes out of scope.
class BufferView {
 public:
  explicit BufferView(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) != 0) throw PythonError{};
  }
  ~BufferView() { PyBuffer_Release(&view_); }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  std::string_view bytes() const {
    return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

/// One step of UTF-8 decoding at the start of `bytes` (not empty): a whole character of
/// `length` bytes, or (`valid` false) the `length` bytes a decoder replaces by one U+FFFD: an
/// impossible lead byte alone, else the lead byte and the continuation bytes that still fit a
/// character before the first that does not (or the end).
struct Utf8Step {
  std::size_t length;
  bool valid;
};

Utf8Step utf8_step(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80) return {1, true};
  std::size_t follow = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    follow = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    follow = 2;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    follow = 3;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {1, false};
  }
  for (std::size_t i = 1; i <= follow; ++i) {
    if (i >= bytes.size()) return {i, false};
    const auto next = static_cast<unsigned char>(bytes[i]);
    if (next < low || next > high) return {i, false};
    low = 0x80;
    high = 0xBF;
  }
  return {follow + 1, true};
}

/// Bytes of ASCII at the start of `bytes`, found eight at a time (at most 7 short of them all).
std::size_t ascii_prefix(std::string_view bytes) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + at, sizeof word);
    if ((word & kHighBits) != 0) break;
  }
  return at;
}

/// Calls `part(piece, valid)` for the pieces of `bytes` in order: runs of whole characters
/// (valid) and the byte runs a decoder replaces by one U+FFFD each (not valid). Stops early
/// when `part` returns false.
template <class Part>
void utf8_pieces(std::string_view bytes, Part&& part) {
  std::size_t begin = 0;
  std::size_t at = 0;
  while (at < bytes.size()) {
    at += ascii_prefix(bytes.substr(at));
    if (at == bytes.size()) break;
    const Utf8Step step = utf8_step(bytes.substr(at));
    if (step.valid) {
      at += step.length;
      continue;
    }
    if (at > begin && !part(bytes.substr(begin, at - begin), true)) return;
    if (!part(bytes.substr(at, step.length), false)) return;
    at += step.length;
    begin = at;
  }
  if (at > begin) (void)part(bytes.substr(begin, at - begin), true);
}

/// Bytes `start` to `stop` of a buffer, the stop clamped to its end.
std::string_view byte_range(std::string_view bytes, std::size_t start, std::size_t stop) {
  stop = stop < bytes.size() ? stop : bytes.size();
  return start < stop ? bytes.substr(start, stop - start) : std::string_view{};
}

constexpr const char* kUtf8Parameters[] = {"data", "start", "stop"};
constexpr Signature kUtf8Error{"utf8_error", kUtf8Parameters, 3, 3, "_native"};
constexpr Signature kUtf8Replace{"utf8_replace", kUtf8Parameters, 3, 3, "_native"};

PyObject* utf8_error(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return binding::guarded([&] {
    Arguments<3> a;
    match_arguments(kUtf8Error, args, nargs, kwnames, a.data());
    BufferView data{a[0].get()};
    std::string_view range =
        byte_range(data.bytes(), size_argument("start", a[1]), size_argument("stop", a[2]));
    std::size_t offset = 0;
    bool found = false;
    utf8_pieces(range, [&](std::string_view piece, bool valid) {
      if (valid) {
        offset += piece.size();
        return true;
      }
      found = true;
      return false;
    });
    return found ? PyLong_FromSize_t(offset) : none();
  });
}

PyObject* utf8_replace(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return binding::guarded([&] {
    Arguments<3> a;
    match_arguments(kUtf8Replace, args, nargs, kwnames, a.data());
    BufferView data{a[0].get()};
    std::string_view range =
        byte_range(data.bytes(), size_argument("start", a[1]), size_argument("stop", a[2]));
    constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
    std::size_t size = 0;
    utf8_pieces(range, [&](std::string_view piece, bool valid) {
      size += valid ? piece.size() : kReplacement.size();
      return true;
    });
    PyRef result =
        checked(PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
    char* out = PyBytes_AsString(result.get());
    if (out == nullptr) throw PythonError{};
    utf8_pieces(range, [&](std::string_view piece, bool valid) {
      const std::string_view written = valid ? piece : kReplacement;
      std::memcpy(out, written.data(), written.size());
      out += written.size();
      return true;
    });
    return result.release();
  });
}

constexpr const char* kNewParameters[] = {"text", "vocab_size", "num_threads"};
constexpr const char* kStepParameters[] = {"max_merges"};
constexpr const char* kSaveParameters[] = {"model_path", "vocab_path"};
constexpr const char* kWriteParameters[] = {"merges", "model_path", "vocab_path"};
constexpr Signature kNew{"__new__", kNewParameters, 3, 2, "Trainer"};
constexpr Signature kStep{"step", kStepParameters, 1, 1, "Trainer"};
constexpr Signature kSave{"save", kSaveParameters, 2, 2, "Trainer"};
constexpr Signature kWrite{"write_model", kWriteParameters, 3, 3, "_native"};

/// The model file, then the vocabulary listing, as BasicTokenizer.save writes them.
void save_files(const engine::Model& tokenizer, std::string_view model_path,
                std::string_view vocab_path) {
  const engine::InterruptCheck interrupt = signal_check();
  succeed_or_raise(engine::save_model(tokenizer, model_path, interrupt));
  succeed_or_raise(engine::save_vocab(tokenizer, vocab_path, interrupt));
}

PyObject* trainer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return binding::guarded([&] {
    Arguments<3> a;
    match_arguments(kNew, args, kwargs, a.data());
    // A str trains on its UTF-8; anything else must lend its bytes, which train as they are.
    // The training keeps no reference to them.
    std::unique_ptr<BufferView> lent;
    std::optional<binding::TransientText> utf8;
    std::string_view text;
    if (PyUnicode_Check(a[0].get())) {
      utf8.emplace(binding::transient_text_argument("text", a[0]));
      text = utf8->view();
    } else {
      lent = binding::convert_argument("text",
                                       [&] { return std::make_unique<BufferView>(a[0].get()); });
      text = lent->bytes();
    }
    std::size_t vocab_size = size_argument("vocab_size", a[1]);
    auto state = std::make_unique<TrainerState>();
    state->tokenizer.num_threads = a[2] ? size_argument("num_threads", a[2]) : 1;
    state->training =
        std::make_unique<engine::Training>(state->tokenizer, text, vocab_size, signal_check());
    return new_native(type, std::move(state));
  });
}

PyObject* trainer_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return binding::guarded([&] {
    Arguments<1> a;
    match_arguments(kStep, args, nargs, kwnames, a.data());
    TrainerState& state = native<TrainerState>(self);
    BusyGuard guard{busy_flag<TrainerState>(self)};
    std::size_t most = size_argument("max_merges", a[0]);
    if (state.training->broken()) {
      PyErr_SetString(PyExc_RuntimeError,
                      "the training stopped in the middle of a merge and cannot go on; save() "
                      "writes the merges learned before it");
      throw PythonError{};
    }
    std::size_t learned = state.training->step(most, signal_check());
    return PyLong_FromSize_t(learned);
  });
}

PyObject* trainer_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return binding::guarded([&] {
    Arguments<2> a;
    match_arguments(kSave, args, nargs, kwnames, a.data());
    TrainerState& state = native<TrainerState>(self);
    BusyGuard guard{busy_flag<TrainerState>(self)};
    save_files(state.tokenizer, text_argument("model_path", a[0]),
               text_argument("vocab_path", a[1]));
    return none();
  });
}

PyObject* trainer_learned(PyObject* self, void*) noexcept {
  return binding::guarded(
      [&] { return PyLong_FromSize_t(native<TrainerState>(self).training->learned()); });
}

PyObject* trainer_tokens(PyObject* self, void*) noexcept {
  return binding::guarded(
      [&] { return PyLong_FromSize_t(native<TrainerState>(self).training->tokens()); });
}

PyObject* trainer_done(PyObject* self, void*) noexcept {
  return binding::guarded(
      [&] { return PyBool_FromLong(native<TrainerState>(self).training->done() ? 1 : 0); });
}

/// An int of a merge pair that must name a token known before merge `index` (id 256 + index).
engine::TokenId pair_part(PyObject* item, std::size_t index) {
  std::size_t id = binding::to_size(item);
  if (id >= engine::kFirstMergeId + index) {
    PyErr_Format(PyExc_ValueError, "merge %zu uses token %zu, which is not made before it", index,
                 id);
    throw PythonError{};
  }
  return static_cast<engine::TokenId>(id);
}

/// The merges (pairs of ints; the k-th makes id 256 + k) as a tokenizer's merge table.
void read_merges(PyObject* merges, engine::Model& tokenizer) {
  PyRef iterator = checked(PyRef::steal(PyObject_GetIter(merges)));
  std::size_t index = 0;
  while (PyRef merge = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (index % binding::kItemsPerSignalCheck == binding::kItemsPerSignalCheck - 1) {
      checked(PyErr_CheckSignals());
    }
    PyRef items = checked(PyRef::steal(PySequence_Tuple(merge.get())));
    if (PyTuple_Size(items.get()) != 2) {
      PyErr_Format(PyExc_ValueError, "merge %zu is not a pair of token ids", index);
      throw PythonError{};
    }
    engine::TokenPair pair{pair_part(PyTuple_GetItem(items.get(), 0), index),
                           pair_part(PyTuple_GetItem(items.get(), 1), index)};
    if (tokenizer.merges.find(pair) != nullptr) {
      PyErr_Format(PyExc_ValueError, "merge %zu repeats an earlier merge", index);
      throw PythonError{};
    }
    tokenizer.merges.insert_or_assign(pair,
                                      static_cast<engine::TokenId>(engine::kFirstMergeId + index));
    ++index;
  }
  if (PyErr_Occurred()) throw PythonError{};
}

PyObject* write_model(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return binding::guarded([&] {
    Arguments<3> a;
    match_arguments(kWrite, args, nargs, kwnames, a.data());
    engine::Model tokenizer;
    convert_argument("merges", [&] { read_merges(a[0].get(), tokenizer); });
    std::string_view model_path = text_argument("model_path", a[1]);
    std::string_view vocab_path = text_argument("vocab_path", a[2]);
    engine::build_vocab(tokenizer, signal_check());
    save_files(tokenizer, model_path, vocab_path);
    return none();
  });
}

PyMethodDef trainer_methods[] = {
    {"step", as_cfunction(trainer_step), kFastCall,
     "step($self, max_merges)\n--\n\n"
     "Learns up to max_merges more merges; returns how many (0 once the training is done)."},
    {"save", as_cfunction(trainer_save), kFastCall,
     "save($self, model_path, vocab_path)\n--\n\n"
     "Writes the model and vocabulary files of the merges learned so far."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef trainer_getset[] = {
    {"learned", trainer_learned, nullptr, "Merges learned so far.", nullptr},
    {"done", trainer_done, nullptr, "True once no step can learn a merge.", nullptr},
    {"tokens", trainer_tokens, nullptr,
     "Tokens of the text rewritten by the merges learned so far; once done, the length of\n"
     "the text's encoding by the trained model.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const TypeParts trainer_type = {
    "pairloom_tools._native.Trainer",
    "Trainer(text, vocab_size, num_threads=1)\n--\n\n"
    "BasicTokenizer(num_threads).train(text, vocab_size), a few merges at a time. text: a str,\n"
    "or a bytes-like object whose bytes (UTF-8, unchecked) are the text's.",
    trainer_new, trainer_methods, trainer_getset};

PyMethodDef module_functions[] = {
    {"write_model", as_cfunction(write_model), kFastCall,
     "write_model(merges, model_path, vocab_path)\n--\n\n"
     "Writes the model and vocabulary files of a tokenizer that learned these merges (pairs of\n"
     "token ids; the k-th makes id 256 + k), as BasicTokenizer.save writes them."},
    {"utf8_error", as_cfunction(utf8_error), kFastCall,
     "utf8_error(data, start, stop)\n--\n\n"
     "Where bytes start to stop of a bytes-like object first fail to decode as UTF-8 (an offset\n"
     "from start, as UnicodeDecodeError.start gives it), or None when they decode."},
    {"utf8_replace", as_cfunction(utf8_replace), kFastCall,
     "utf8_replace(data, start, stop)\n--\n\n"
     "Bytes start to stop of a bytes-like object with what does not decode as UTF-8 replaced\n"
     "by U+FFFD, as bytes.decode('utf-8', 'replace').encode() gives them."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_trainer(PyObject* module) {
  add_native_type<TrainerState>(module, trainer_type);
  checked(PyModule_AddFunctions(module, module_functions));
}

}  // namespace pairloom::tools_native
