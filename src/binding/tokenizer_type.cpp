// BasicTokenizer as Python sees it: construction, destruction and the eight methods.
//
// Every method follows one protocol: match the arguments, check `self`, take shared or
// exclusive access on the object's access flag, convert the arguments in parameter order, run
// the engine operation, give the access back (on every way out), and turn the result or the
// failure into Python terms.
#include "binding/tokenizer_type.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/objects.hpp"
#include "binding/once.hpp"
#include "tokenizer/core/model.hpp"
#include "tokenizer/encode/encode.hpp"
#include "tokenizer/encode/merge_lookup.hpp"
#include "tokenizer/io/decode.hpp"
#include "tokenizer/io/model_file.hpp"
#include "tokenizer/io/vocab_file.hpp"
#include "tokenizer/train/train.hpp"

namespace pairloom::binding {
namespace {

namespace engine = tokenizer;

/// The instance layout.
struct TokenizerObject {
  PyObject_HEAD engine::Model state;
  /// Encoding's tables for `state.merges`, rebuilt by the calls that may change the merges
  /// (under exclusive access); empty or stale after such a call failed, until the next one.
  std::optional<engine::EncodeTables> tables;
  /// The int objects of the ids `encode` returns, by id, made at their first use and shared by
  /// every list built after (ints are immutable): each item of a list is then one more
  /// reference. Sized with the tables (under exclusive access, so never while a list is being
  /// built), to the ids they can give.
  std::vector<PyRef> ints;
  AccessFlag access;
};

OnceCell type_cell;

TokenizerObject& self_object(PyObject* self) {
  PyObject* type = tokenizer_type();
  if (type == nullptr) throw PythonError{};
  if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
    raise_type_mismatch(self, type);
  }
  return *reinterpret_cast<TokenizerObject*>(self);
}

/// Brings `object.tables` up to date with the merges; called with exclusive access.
void refresh_tables(TokenizerObject& object) {
  if (object.tables && object.tables->built_from(object.state.merges)) return;
  object.tables.reset();  // the old tables' memory is free while the new ones fill
  object.ints.clear();
  object.tables.emplace(object.state.merges, signal_check());
  // Every id up to the largest merge id, unless the ids are sparse (then those past the
  // table's size get an int of their own in each list).
  const std::size_t largest = std::max<std::size_t>(object.tables->lookup().largest(), 255);
  object.ints.resize(std::min(largest + 1, object.state.merges.size() + 256));
}

/// A buffer for the engine's ids, used again by the calls of one thread. A buffer of its own for
/// each call would be mapped from the system and given back each time (the allocator does so
/// with large blocks), and a call on a megabyte of text would spend a quarter of its time in
/// page faults. A call made while the buffer is in use (from a signal handler) gets its own;
/// a buffer grown past a few megabytes is not kept.
class ScratchIds {
 public:
  ScratchIds() : shared_{!in_use_} {
    if (shared_) in_use_ = true;
  }
  ~ScratchIds() {
    if (!shared_) return;
    in_use_ = false;
    if (kept_.capacity() > kKeptIds) std::vector<engine::TokenId>{}.swap(kept_);
  }
  ScratchIds(const ScratchIds&) = delete;
  ScratchIds& operator=(const ScratchIds&) = delete;

  std::vector<engine::TokenId>& ids() { return shared_ ? kept_ : own_; }

 private:
  static constexpr std::size_t kKeptIds = std::size_t{1} << 20;
  static thread_local inline std::vector<engine::TokenId> kept_;
  static thread_local inline bool in_use_ = false;
  const bool shared_;
  std::vector<engine::TokenId> own_;
};

/// The list of `ids`. Ids below the size of `ints` take their int from there (made there at
/// their first use); others get one of their own.
PyObject* id_list(const std::vector<engine::TokenId>& ids, std::vector<PyRef>& ints) {
  PyRef list = checked(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size()))));
  // Held in locals: the calls below could change any memory as far as the compiler knows.
  PyObject* const items = list.get();
  const engine::TokenId* const id_at = ids.data();
  const std::size_t count = ids.size();
  PyRef* const table = ints.data();
  const std::size_t shared = ints.size();
  for (std::size_t i = 0; i < count; ++i) {
    // Tens of millions of items take a while: stay responsive to Ctrl-C meanwhile. (A handler
    // cannot resize `ints`: that needs exclusive access, and this call holds shared access.)
    if (i % kItemsPerSignalCheck == kItemsPerSignalCheck - 1) checked(PyErr_CheckSignals());
    const engine::TokenId id = id_at[i];
    PyObject* item;
    if (id < shared) {
      PyRef& made = table[id];
      if (!made) made = checked(PyRef::steal(PyLong_FromUnsignedLongLong(id)));
      item = made.get();
      Py_INCREF(item);
    } else {
      item = PyLong_FromUnsignedLongLong(id);
      if (item == nullptr) throw PythonError{};
    }
    PyList_SetItem(items, static_cast<Py_ssize_t>(i), item);  // steals `item`
  }
  return list.release();
}

PyObject* text_result(const std::string& text) {
  return checked(PyRef::steal(PyUnicode_FromStringAndSize(text.data(),
                                                          static_cast<Py_ssize_t>(text.size()))))
      .release();
}

/// The protocol for fast-call methods; `body(object, arguments)` converts and does the work.
template <std::size_t N, class Body>
PyObject* invoke(const Signature& signature, Access access, PyObject* self, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames, Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    Arguments<N> arguments;
    match_arguments(signature, args, nargs, kwnames, arguments.data());
    TokenizerObject& object = self_object(self);
    AccessGuard guard{object.access, access};
    return body(object, arguments);
  });
}

// Parameter descriptors.
constexpr const char* kNewParameters[] = {"num_threads"};
constexpr const char* kTextVocabSize[] = {"text", "vocab_size"};
constexpr const char* kText[] = {"text"};
constexpr const char* kIds[] = {"ids"};
constexpr const char* kModelFilePath[] = {"model_file_path"};
constexpr const char* kModelAndVocabPaths[] = {"model_file_path", "vocab_file_path"};
constexpr const char* kFilePath[] = {"file_path"};
constexpr const char* kVocabFilePath[] = {"vocab_file_path"};

constexpr Signature kNew{"__new__", kNewParameters, 1, 0};
constexpr Signature kTrain{"train", kTextVocabSize, 2, 2};
constexpr Signature kEncode{"encode", kText, 1, 1};
constexpr Signature kDecode{"decode", kIds, 1, 1};
constexpr Signature kLoad{"load", kModelFilePath, 1, 1};
constexpr Signature kSave{"save", kModelAndVocabPaths, 2, 2};
constexpr Signature kSaveModel{"save_model", kFilePath, 1, 1};
constexpr Signature kSaveVocab{"save_vocab", kVocabFilePath, 1, 1};

PyObject* build_vocab(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    TokenizerObject& object = self_object(self);
    AccessGuard guard{object.access, Access::exclusive};
    engine::build_vocab(object.state, signal_check());
    refresh_tables(object);
    return none();
  });
}

PyObject* save_model(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return invoke<1>(kSaveModel, Access::shared, self, args, nargs, kwnames,
                   [](TokenizerObject& object, Arguments<1>& a) {
                     std::string_view path = text_argument("file_path", a[0]);
                     succeed_or_raise(engine::save_model(object.state, path, signal_check()));
                     return none();
                   });
}

PyObject* save_vocab(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return invoke<1>(kSaveVocab, Access::shared, self, args, nargs, kwnames,
                   [](TokenizerObject& object, Arguments<1>& a) {
                     std::string_view path = text_argument("vocab_file_path", a[0]);
                     succeed_or_raise(engine::save_vocab(object.state, path, signal_check()));
                     return none();
                   });
}

PyObject* train(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
  return invoke<2>(kTrain, Access::exclusive, self, args, nargs, kwnames,
                   [](TokenizerObject& object, Arguments<2>& a) {
                     TransientText text = transient_text_argument("text", a[0]);
                     std::size_t vocab_size = size_argument("vocab_size", a[1]);
                     const engine::InterruptCheck interrupt = signal_check();
                     engine::Training training{object.state, text.view(), vocab_size, interrupt};
                     // The trainer holds the text in its own layout from here on, and its
                     // peak comes with the merges: a UTF-8 copy made for it goes first.
                     text.release();
                     while (!training.done()) (void)training.step(1, interrupt);
                     refresh_tables(object);
                     return none();
                   });
}

PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
  return invoke<1>(
      kEncode, Access::shared, self, args, nargs, kwnames,
      [](TokenizerObject& object, Arguments<1>& a) {
        std::string_view text = text_argument("text", a[0]);
        const engine::MergeTable& merges = object.state.merges;
        if (!object.tables) {
          // Tables lost to a failed rebuild: the ids' ints are made for this list alone.
          std::vector<engine::TokenId> ids = engine::encode(merges, text, signal_check());
          engine::TokenId largest = 0;
          for (engine::TokenId id : ids) largest = std::max(largest, id);
          std::vector<PyRef> ints(ids.size() >= 256 && largest / 4 < ids.size() ? largest + 1 : 0);
          return id_list(ids, ints);
        }
        ScratchIds scratch;
        engine::encode(merges, *object.tables, text, scratch.ids(), signal_check());
        return id_list(scratch.ids(), object.ints);
      });
}

PyObject* decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
  return invoke<1>(kDecode, Access::shared, self, args, nargs, kwnames,
                   [](TokenizerObject& object, Arguments<1>& a) {
                     std::vector<engine::TokenId> ids =
                         convert_argument("ids", [&] { return to_token_ids(a[0].get()); });
                     engine::Result<std::string> text =
                         engine::decode(object.state.vocab, ids, signal_check());
                     if (!text.ok()) raise_io_error(text.error());
                     return text_result(text.value());
                   });
}

PyObject* load(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
  return invoke<1>(kLoad, Access::exclusive, self, args, nargs, kwnames,
                   [](TokenizerObject& object, Arguments<1>& a) {
                     std::string_view path = text_argument("model_file_path", a[0]);
                     succeed_or_raise(engine::load(object.state, path, signal_check()));
                     refresh_tables(object);
                     return none();
                   });
}

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
  return invoke<2>(kSave, Access::shared, self, args, nargs, kwnames,
                   [](TokenizerObject& object, Arguments<2>& a) {
                     std::string_view model_path = text_argument("model_file_path", a[0]);
                     bool with_vocab = a[1].get() != Py_None;
                     std::string_view vocab_path =
                         with_vocab ? text_argument("vocab_file_path", a[1]) : std::string_view{};
                     const engine::InterruptCheck interrupt = signal_check();
                     succeed_or_raise(engine::save_model(object.state, model_path, interrupt));
                     if (with_vocab) {
                       succeed_or_raise(engine::save_vocab(object.state, vocab_path, interrupt));
                     }
                     return none();
                   });
}

PyObject* tokenizer_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    Arguments<1> a;
    match_arguments(kNew, args, kwargs, a.data());
    engine::Model state;
    state.num_threads = a[0] ? size_argument("num_threads", a[0]) : 1;
    PyObject* raw = alloc_instance(subtype);
    auto* object = reinterpret_cast<TokenizerObject*>(raw);
    new (&object->state) engine::Model(std::move(state));
    new (&object->tables) std::optional<engine::EncodeTables>();
    new (&object->ints) std::vector<PyRef>();
    new (&object->access) AccessFlag(0);
    return raw;
  });
}

void tokenizer_dealloc(PyObject* self) noexcept {
  auto* object = reinterpret_cast<TokenizerObject*>(self);
  object->ints.~vector();
  object->tables.~optional();
  object->state.~Model();
  object->access.~atomic();
  free_instance(self);
}

PyMethodDef methods[] = {
    {"build_vocab", as_cfunction(build_vocab), METH_NOARGS, "build_vocab($self)\n--\n\n"},
    {"save_model", as_cfunction(save_model), kFastCall, "save_model($self, file_path)\n--\n\n"},
    {"save_vocab", as_cfunction(save_vocab), kFastCall,
     "save_vocab($self, vocab_file_path)\n--\n\n"},
    {"train", as_cfunction(train), kFastCall, "train($self, text, vocab_size)\n--\n\n"},
    {"encode", as_cfunction(encode), kFastCall, "encode($self, text)\n--\n\n"},
    {"decode", as_cfunction(decode), kFastCall, "decode($self, ids)\n--\n\n"},
    {"load", as_cfunction(load), kFastCall, "load($self, model_file_path)\n--\n\n"},
    {"save", as_cfunction(save), kFastCall,
     "save($self, model_file_path, vocab_file_path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tokenizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tokenizer_dealloc)},
    {Py_tp_doc, const_cast<char*>("BasicTokenizer(num_threads=1)\n--\n\n")},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.BasicTokenizer",
    static_cast<int>(sizeof(TokenizerObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

PyObject* create_type() {
  PyObject* type = PyType_FromSpec(&spec);
  if (type != nullptr) return type;
  PyRef cause = fetch_exception();
  PyRef error = PyRef::steal(PyObject_CallFunction(
      PyExc_RuntimeError, "s", "An error occurred while initializing class BasicTokenizer"));
  if (!error) return nullptr;
  if (cause) PyException_SetCause(error.get(), cause.release());
  restore_exception(std::move(error));
  return nullptr;
}

}  // namespace

PyObject* tokenizer_type() {
  return type_cell.get(create_type);
}

}  // namespace pairloom::binding
