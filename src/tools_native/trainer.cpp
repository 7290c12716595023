// Trainer: the tokenizer's training in steps, so that the command line can show its progress
// and stop between merges; and write_model, the model and vocabulary files of a list of merges.
#include "tools_native/trainer.hpp"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "binding/args.hpp"
#include "tokenizer/core/state.hpp"
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
  engine::Tokenizer tokenizer;
  std::unique_ptr<engine::Training> training;
};

constexpr const char* kNewParameters[] = {"text", "vocab_size", "num_threads"};
constexpr const char* kStepParameters[] = {"max_merges"};
constexpr const char* kSaveParameters[] = {"model_path", "vocab_path"};
constexpr const char* kWriteParameters[] = {"merges", "model_path", "vocab_path"};
constexpr Signature kNew{"__new__", kNewParameters, 3, 2, "Trainer"};
constexpr Signature kStep{"step", kStepParameters, 1, 1, "Trainer"};
constexpr Signature kSave{"save", kSaveParameters, 2, 2, "Trainer"};
constexpr Signature kWrite{"write_model", kWriteParameters, 3, 3, "_native"};

/// The model file, then the vocabulary listing, as BasicTokenizer.save writes them.
void save_files(const engine::Tokenizer& tokenizer, std::string_view model_path,
                std::string_view vocab_path) {
  const engine::InterruptCheck interrupt = signal_check();
  succeed_or_raise(engine::save_model(tokenizer, model_path, interrupt));
  succeed_or_raise(engine::save_vocab(tokenizer, vocab_path, interrupt));
}

PyObject* trainer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return binding::guarded([&] {
    Arguments<3> a;
    match_arguments(kNew, args, kwargs, a.data());
    std::string_view text = text_argument("text", a[0]);
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
void read_merges(PyObject* merges, engine::Tokenizer& tokenizer) {
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
    engine::Tokenizer tokenizer;
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
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const TypeParts trainer_type = {
    "pairloom_tools._native.Trainer",
    "Trainer(text, vocab_size, num_threads=1)\n--\n\n"
    "BasicTokenizer(num_threads).train(text, vocab_size), a few merges at a time.",
    trainer_new, trainer_methods, trainer_getset};

PyMethodDef module_functions[] = {
    {"write_model", as_cfunction(write_model), kFastCall,
     "write_model(merges, model_path, vocab_path)\n--\n\n"
     "Writes the model and vocabulary files of a tokenizer that learned these merges (pairs of\n"
     "token ids; the k-th makes id 256 + k), as BasicTokenizer.save writes them."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_trainer(PyObject* module) {
  add_native_type<TrainerState>(module, trainer_type);
  checked(PyModule_AddFunctions(module, module_functions));
}

}  // namespace pairloom::tools_native
