// Shard and Coordinator: the engine's training shard and shard coordinator, for training on a
// cluster, where each shard lives in a worker process and the coordinator in the driver.
//
// What travels between them each step is small and plain: a shard's count changes as one
// bytes object (`kDeltaBytes` per changed pair), its edges as a tuple, and the roles as
// pairs of bools.
#include "tools_native/shards.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "tokenizer/support/flat_map.hpp"
#include "tokenizer/train/shard.hpp"
#include "tokenizer/train/shard_coordinator.hpp"

namespace pairloom::tools_native {
namespace {

using binding::Arguments;
using binding::convert_argument;
using binding::match_arguments;
using binding::Signature;

/// A count change travels as three signed 64-bit integers in little-endian order: left,
/// right, change.
constexpr std::size_t kDeltaBytes = 3 * sizeof(std::int64_t);

void put_int64(char* out, std::int64_t value) {
  auto bits = static_cast<std::uint64_t>(value);
  for (std::size_t i = 0; i < sizeof bits; ++i) {
    out[i] = static_cast<char>(static_cast<unsigned char>(bits >> (8 * i)));
  }
}

std::int64_t get_int64(const char* in) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < sizeof bits; ++i) {
    bits |= std::uint64_t{static_cast<unsigned char>(in[i])} << (8 * i);
  }
  return static_cast<std::int64_t>(bits);
}

/// The packed form of `count` changes that `for_each(visit)` gives as visit(pair, delta).
template <class ForEach>
PyObject* pack_deltas(std::size_t count, ForEach&& for_each) {
  PyRef out = checked(PyRef::steal(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * kDeltaBytes))));
  char* at = PyBytes_AsString(out.get());
  if (at == nullptr) throw PythonError{};
  for_each([&](engine::TokenPair pair, std::int64_t delta) {
    put_int64(at, static_cast<std::int64_t>(pair.left));
    put_int64(at + 8, static_cast<std::int64_t>(pair.right));
    put_int64(at + 16, delta);
    at += kDeltaBytes;
  });
  return out.release();
}

/// Calls visit(pair, delta) for each change packed in `data`, once all of them are known to be
/// well formed: bad input raises TypeError or ValueError before any visit.
template <class Visit>
void unpack_deltas(PyObject* data, Visit&& visit) {
  if (!PyBytes_Check(data)) {
    binding::raise_type_mismatch(data, reinterpret_cast<PyObject*>(&PyBytes_Type));
  }
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  checked(PyBytes_AsStringAndSize(data, &bytes, &size));
  const auto length = static_cast<std::size_t>(size);
  if (length % kDeltaBytes != 0) {
    PyErr_SetString(PyExc_ValueError, "deltas: not a whole number of packed count changes");
    throw PythonError{};
  }
  for (std::size_t at = 0; at < length; at += kDeltaBytes) {
    if (!std::in_range<engine::TokenId>(get_int64(bytes + at)) ||
        !std::in_range<engine::TokenId>(get_int64(bytes + at + 8))) {
      PyErr_SetString(PyExc_ValueError, "deltas: a token id out of range");
      throw PythonError{};
    }
  }
  for (std::size_t at = 0; at < length; at += kDeltaBytes) {
    visit(engine::TokenPair{static_cast<engine::TokenId>(get_int64(bytes + at)),
                            static_cast<engine::TokenId>(get_int64(bytes + at + 8))},
          get_int64(bytes + at + 16));
  }
}

/// Releases the interpreter lock for its lifetime.
class WithoutLock {
 public:
  WithoutLock() : saved_{PyEval_SaveThread()} {}
  ~WithoutLock() { PyEval_RestoreThread(saved_); }
  WithoutLock(const WithoutLock&) = delete;
  WithoutLock& operator=(const WithoutLock&) = delete;

 private:
  PyThreadState* saved_;
};

bool bool_argument(const char* name, const PyRef& argument) {
  return convert_argument(name, [&] {
    int truth = PyObject_IsTrue(argument.get());
    checked(truth);
    return truth != 0;
  });
}

PyObject* size_object(std::uint64_t value) {
  return PyLong_FromUnsignedLongLong(value);
}

// ---------------------------------------------------------------------------------------
// Shard

constexpr const char* kShardNewParameters[] = {"data"};
constexpr const char* kMergeParameters[] = {"left", "right", "id", "first_taken", "takes_next"};
constexpr Signature kShardNew{"__new__", kShardNewParameters, 1, 1, "Shard"};
constexpr Signature kMerge{"merge", kMergeParameters, 5, 5, "Shard"};

PyObject* shard_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return binding::guarded([&] {
    Arguments<1> a;
    match_arguments(kShardNew, args, kwargs, a.data());
    PyObject* data = a[0].get();
    if (!PyBytes_Check(data))
      binding::raise_type_mismatch(data, reinterpret_cast<PyObject*>(&PyBytes_Type));
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    checked(PyBytes_AsStringAndSize(data, &bytes, &size));
    std::unique_ptr<engine::Shard> shard;
    {
      // A bytes object never changes, and `a` holds it: its buffer outlives the lock's absence.
      WithoutLock unlocked;
      shard =
          std::make_unique<engine::Shard>(std::string_view{bytes, static_cast<std::size_t>(size)});
    }
    return new_native(type, std::move(shard));
  });
}

PyObject* shard_merge(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return binding::guarded([&] {
    Arguments<5> a;
    match_arguments(kMerge, args, nargs, kwnames, a.data());
    engine::Shard& shard = native<engine::Shard>(self);
    BusyGuard guard{busy_flag<engine::Shard>(self)};
    engine::TokenPair pair{size_argument("left", a[0]), size_argument("right", a[1])};
    engine::TokenId id = size_argument("id", a[2]);
    bool first_taken = bool_argument("first_taken", a[3]);
    bool takes_next = bool_argument("takes_next", a[4]);
    {
      WithoutLock unlocked;
      shard.merge(pair, id, first_taken, takes_next);
    }
    return none();
  });
}

PyObject* shard_take_deltas(PyObject* self, PyObject*) noexcept {
  return binding::guarded([&] {
    engine::Shard& shard = native<engine::Shard>(self);
    BusyGuard guard{busy_flag<engine::Shard>(self)};
    std::vector<engine::PairDelta> deltas = shard.take_deltas();
    return pack_deltas(deltas.size(), [&](auto&& visit) {
      for (const engine::PairDelta& delta : deltas) visit(delta.pair, delta.delta);
    });
  });
}

PyObject* edges_tuple(const engine::ShardEdges& edges) {
  return checked(PyRef::steal(Py_BuildValue("(NNNNN)", PyBool_FromLong(edges.empty),
                                            size_object(edges.first), size_object(edges.last),
                                            size_object(edges.last_run),
                                            PyBool_FromLong(edges.run_is_whole))))
      .release();
}

PyObject* shard_edges(PyObject* self, PyObject*) noexcept {
  return binding::guarded([&] { return edges_tuple(native<engine::Shard>(self).edges()); });
}

PyObject* shard_live(PyObject* self, void*) noexcept {
  return binding::guarded([&] { return size_object(native<engine::Shard>(self).live()); });
}

PyMethodDef shard_methods[] = {
    {"merge", as_cfunction(shard_merge), kFastCall,
     "merge($self, left, right, id, first_taken, takes_next)\n--\n\n"
     "Rewrites this step's pair (left, right) into id, in the roles the coordinator planned."},
    {"take_deltas", as_cfunction(shard_take_deltas), METH_NOARGS,
     "take_deltas($self)\n--\n\n"
     "The count changes since the last call (first: the initial counts), packed for\n"
     "Coordinator.add."},
    {"edges", as_cfunction(shard_edges), METH_NOARGS,
     "edges($self)\n--\n\n"
     "(empty, first, last, last_run, run_is_whole): the shard's ends, for Coordinator.set_edges."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef shard_getset[] = {
    {"live", shard_live, nullptr, "Tokens in the shard.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const TypeParts shard_type = {"pairloom_tools._native.Shard",
                              "Shard(data)\n--\n\n"
                              "The tokens of one byte range of a training text.",
                              shard_new, shard_methods, shard_getset};

// ---------------------------------------------------------------------------------------
// Coordinator

constexpr const char* kDeltasParameters[] = {"deltas"};
constexpr const char* kEdgesParameters[] = {"edges"};
constexpr const char* kPairParameters[] = {"left", "right"};
constexpr Signature kAdd{"add", kDeltasParameters, 1, 1, "Coordinator"};
constexpr Signature kSetEdges{"set_edges", kEdgesParameters, 1, 1, "Coordinator"};
constexpr Signature kPlan{"plan", kPairParameters, 2, 2, "Coordinator"};
constexpr Signature kFinish{"finish_step", kPairParameters, 2, 2, "Coordinator"};
constexpr const char* kLimitParameters[] = {"limit"};
constexpr const char* kMergedParameters[] = {"pairs"};
constexpr Signature kPairs{"most_common_pairs", kLimitParameters, 1, 1, "Coordinator"};
constexpr Signature kFinishSteps{"finish_steps", kMergedParameters, 1, 1, "Coordinator"};

PyObject* pair_tuple(engine::TokenPair pair) {
  return checked(
             PyRef::steal(Py_BuildValue("(NN)", size_object(pair.left), size_object(pair.right))))
      .release();
}

engine::TokenPair pair_arguments(const Arguments<2>& a) {
  return {size_argument("left", a[0]), size_argument("right", a[1])};
}

PyObject* coordinator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return binding::guarded([&] {
    if ((args != nullptr && PyTuple_Size(args) != 0) ||
        (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
      PyErr_SetString(PyExc_TypeError, "Coordinator() takes no arguments");
      throw PythonError{};
    }
    return new_native(type, std::make_unique<engine::ShardCoordinator>());
  });
}

PyObject* coordinator_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return binding::guarded([&] {
    Arguments<1> a;
    match_arguments(kAdd, args, nargs, kwnames, a.data());
    engine::ShardCoordinator& coordinator = native<engine::ShardCoordinator>(self);
    BusyGuard guard{busy_flag<engine::ShardCoordinator>(self)};
    unpack_deltas(a[0].get(), [&](engine::TokenPair pair, std::int64_t delta) {
      coordinator.add(pair, delta);
    });
    return none();
  });
}

/// One shard's edges from the tuple Shard.edges() gives.
engine::ShardEdges edges_value(PyObject* item) {
  PyRef fields = checked(PyRef::steal(PySequence_Tuple(item)));
  if (PyTuple_Size(fields.get()) != 5) {
    PyErr_SetString(PyExc_ValueError, "edges: each shard's edges are 5 values (see Shard.edges)");
    throw PythonError{};
  }
  auto field = [&](Py_ssize_t i) { return PyTuple_GetItem(fields.get(), i); };
  auto truth = [&](Py_ssize_t i) {
    int value = PyObject_IsTrue(field(i));
    checked(value);
    return value != 0;
  };
  engine::ShardEdges edges;
  edges.empty = truth(0);
  edges.first = binding::to_size(field(1));
  edges.last = binding::to_size(field(2));
  edges.last_run = binding::to_size(field(3));
  edges.run_is_whole = truth(4);
  return edges;
}

PyObject* coordinator_set_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return binding::guarded([&] {
    Arguments<1> a;
    match_arguments(kSetEdges, args, nargs, kwnames, a.data());
    engine::ShardCoordinator& coordinator = native<engine::ShardCoordinator>(self);
    BusyGuard guard{busy_flag<engine::ShardCoordinator>(self)};
    std::vector<engine::ShardEdges> edges;
    convert_argument("edges", [&] {
      PyRef iterator = checked(PyRef::steal(PyObject_GetIter(a[0].get())));
      while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        edges.push_back(edges_value(item.get()));
      }
      if (PyErr_Occurred()) throw PythonError{};
    });
    coordinator.set_edges(edges);
    return none();
  });
}

PyObject* coordinator_most_common_pair(PyObject* self, PyObject*) noexcept {
  return binding::guarded([&] {
    engine::ShardCoordinator& coordinator = native<engine::ShardCoordinator>(self);
    BusyGuard guard{busy_flag<engine::ShardCoordinator>(self)};
    std::optional<engine::TokenPair> pair = coordinator.most_common_pair();
    if (!pair) return none();
    return pair_tuple(*pair);
  });
}

PyObject* coordinator_most_common_pairs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
  return binding::guarded([&] {
    Arguments<1> a;
    match_arguments(kPairs, args, nargs, kwnames, a.data());
    engine::ShardCoordinator& coordinator = native<engine::ShardCoordinator>(self);
    BusyGuard guard{busy_flag<engine::ShardCoordinator>(self)};
    const std::size_t limit = size_argument("limit", a[0]);
    std::vector<engine::TokenPair> pairs = coordinator.most_common_pairs(limit);
    PyRef list = checked(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(pairs.size()))));
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair_tuple(pairs[i]));  // steals
    }
    return list.release();
  });
}

PyObject* coordinator_finish_steps(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return binding::guarded([&] {
    Arguments<1> a;
    match_arguments(kFinishSteps, args, nargs, kwnames, a.data());
    engine::ShardCoordinator& coordinator = native<engine::ShardCoordinator>(self);
    BusyGuard guard{busy_flag<engine::ShardCoordinator>(self)};
    std::vector<engine::TokenPair> pairs;
    convert_argument("pairs", [&] {
      PyRef iterator = checked(PyRef::steal(PyObject_GetIter(a[0].get())));
      while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        PyRef fields = checked(PyRef::steal(PySequence_Tuple(item.get())));
        if (PyTuple_Size(fields.get()) != 2) {
          PyErr_SetString(PyExc_ValueError, "pairs: each pair is (left, right)");
          throw PythonError{};
        }
        pairs.push_back({binding::to_size(PyTuple_GetItem(fields.get(), 0)),
                         binding::to_size(PyTuple_GetItem(fields.get(), 1))});
      }
      if (PyErr_Occurred()) throw PythonError{};
    });
    coordinator.finish_steps(pairs);
    return none();
  });
}

PyObject* coordinator_plan(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return binding::guarded([&] {
    Arguments<2> a;
    match_arguments(kPlan, args, nargs, kwnames, a.data());
    engine::ShardCoordinator& coordinator = native<engine::ShardCoordinator>(self);
    BusyGuard guard{busy_flag<engine::ShardCoordinator>(self)};
    std::vector<engine::ShardRole> roles = coordinator.plan(pair_arguments(a));
    PyRef list = checked(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(roles.size()))));
    for (std::size_t i = 0; i < roles.size(); ++i) {
      PyObject* role = Py_BuildValue("(NN)", PyBool_FromLong(roles[i].first_taken),
                                     PyBool_FromLong(roles[i].takes_next));
      if (role == nullptr) throw PythonError{};
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), role);  // steals `role`
    }
    return list.release();
  });
}

PyObject* coordinator_finish_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
  return binding::guarded([&] {
    Arguments<2> a;
    match_arguments(kFinish, args, nargs, kwnames, a.data());
    engine::ShardCoordinator& coordinator = native<engine::ShardCoordinator>(self);
    BusyGuard guard{busy_flag<engine::ShardCoordinator>(self)};
    coordinator.finish_step(pair_arguments(a));
    return none();
  });
}

PyObject* coordinator_pairs(PyObject* self, void*) noexcept {
  return binding::guarded(
      [&] { return size_object(native<engine::ShardCoordinator>(self).pairs()); });
}

PyMethodDef coordinator_methods[] = {
    {"add", as_cfunction(coordinator_add), kFastCall,
     "add($self, deltas)\n--\n\nAdds a shard's count changes (Shard.take_deltas())."},
    {"set_edges", as_cfunction(coordinator_set_edges), kFastCall,
     "set_edges($self, edges)\n--\n\n"
     "After every shard's changes of a step were added: every shard's edges, in shard order."},
    {"most_common_pair", as_cfunction(coordinator_most_common_pair), METH_NOARGS,
     "most_common_pair($self)\n--\n\n"
     "The next pair to merge (highest count, then the smallest pair), or None."},
    {"most_common_pairs", as_cfunction(coordinator_most_common_pairs), kFastCall,
     "most_common_pairs($self, limit)\n--\n\n"
     "The pairs of the next steps, at most limit of them, each sure to be its step's most\n"
     "common pair: the first as most_common_pair() gives it, with roles from plan(); the\n"
     "others with no role in any shard. Empty when no pair occurs. End with finish_steps()."},
    {"plan", as_cfunction(coordinator_plan), kFastCall,
     "plan($self, left, right)\n--\n\n"
     "Each shard's (first_taken, takes_next) in this step's rewrite of the pair."},
    {"finish_step", as_cfunction(coordinator_finish_step), kFastCall,
     "finish_step($self, left, right)\n--\n\nEnds the step that merged the pair."},
    {"finish_steps", as_cfunction(coordinator_finish_steps), kFastCall,
     "finish_steps($self, pairs)\n--\n\n"
     "Ends the steps of the last most_common_pairs(), once every shard's changes are added."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coordinator_getset[] = {
    {"pairs", coordinator_pairs, nullptr, "Distinct pairs with a count held.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const TypeParts coordinator_type = {"pairloom_tools._native.Coordinator",
                                    "Coordinator()\n--\n\n"
                                    "The global counts and the choice of pairs of a sharded "
                                    "training.",
                                    coordinator_new, coordinator_methods, coordinator_getset};

constexpr const char* kSumParameters[] = {"parts"};
constexpr Signature kSum{"sum_deltas", kSumParameters, 1, 1, "_native"};

PyObject* sum_deltas(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return binding::guarded([&] {
    Arguments<1> a;
    match_arguments(kSum, args, nargs, kwnames, a.data());
    engine::FlatMap<engine::TokenPair, std::int64_t> sums;
    convert_argument("parts", [&] {
      PyRef parts = checked(PyRef::steal(PySequence_List(a[0].get())));
      // Room made at once for twice the largest part's pairs: the parts change mostly the same
      // pairs, and growing the table as they come cost a fifth of the time.
      std::size_t largest = 0;
      for (Py_ssize_t i = 0; i < PyList_Size(parts.get()); ++i) {
        PyObject* part = PyList_GetItem(parts.get(), i);
        if (PyBytes_Check(part)) {
          largest = std::max(largest, static_cast<std::size_t>(PyBytes_Size(part)) / kDeltaBytes);
        }
      }
      sums.reserve(largest * 2);
      for (Py_ssize_t i = 0; i < PyList_Size(parts.get()); ++i) {
        unpack_deltas(PyList_GetItem(parts.get(), i),
                      [&](engine::TokenPair pair, std::int64_t delta) { sums[pair] += delta; });
      }
    });
    std::size_t nonzero = 0;
    sums.for_each([&](engine::TokenPair, std::int64_t delta) { nonzero += delta != 0; });
    return pack_deltas(nonzero, [&](auto&& visit) {
      sums.for_each([&](engine::TokenPair pair, std::int64_t delta) {
        if (delta != 0) visit(pair, delta);
      });
    });
  });
}

PyMethodDef module_functions[] = {
    {"sum_deltas", as_cfunction(sum_deltas), kFastCall,
     "sum_deltas(parts)\n--\n\n"
     "Packed count changes (of several shards) summed per pair, the pairs whose sum is 0 left\n"
     "out: what Coordinator.add does with all of them, in one smaller message."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_shards(PyObject* module) {
  add_native_type<engine::Shard>(module, shard_type);
  add_native_type<engine::ShardCoordinator>(module, coordinator_type);
  checked(PyModule_AddFunctions(module, module_functions));
  // A shard holds fewer bytes than this; the driver cuts the text finer where it must.
  checked(
      PyModule_AddIntConstant(module, "SHARD_LIMIT", static_cast<long>(engine::Shard::kLongest)));
}

}  // namespace pairloom::tools_native
