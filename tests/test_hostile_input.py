"""Hostile Python input: arbitrary objects for every parameter of every method, and conversion
hooks (__index__, __len__, __iter__, __next__) that call back into the same or another
tokenizer. Whatever happens, a call returns or raises one of the documented exceptions, and the
object stays usable. (Lying sequences, nesting and threads: test_hostile_sequences.py.)"""
import os
import sys
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import SIZE_MAX
from pairloom import BasicTokenizer


class Hostile(Exception):
    """Raised by the test's own objects: must come out of a call unchanged."""


PARAMETERS = {
    "train": ("text", "vocab_size"),
    "encode": ("text",),
    "decode": ("ids",),
    "load": ("model_file_path",),
    "save": ("model_file_path", "vocab_file_path"),
    "save_model": ("file_path",),
    "save_vocab": ("vocab_file_path",),
    "build_vocab": (),
}
EXCLUSIVE = {"train", "load", "build_vocab"}
ACCESS_MESSAGES = {"Already borrowed", "Already mutably borrowed"}
DOCUMENTED = (TypeError, OverflowError, UnicodeEncodeError, OSError, MemoryError, RuntimeError,
              Hostile)

SETTINGS = settings(max_examples=200, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                           HealthCheck.filter_too_much])

# ---- Recipes: plain data that hypothesis can draw, shrink and print, and that `Builder`
# turns into the objects handed to the tokenizer.

ints = st.one_of(st.integers(0, 300), st.integers(-2**70, 2**70),
                 st.sampled_from([SIZE_MAX, SIZE_MAX + 1, 2**64 - 1, 2**64, -1, 255, 256]))
short = st.text(max_size=5)
texts = st.one_of(st.text(max_size=40), st.builds(lambda a, b: a + "\ud800" + b, short, short))
plain_values = st.one_of(
    st.none(), st.booleans(), ints, st.floats(allow_nan=True), texts, st.binary(max_size=20),
    st.builds(bytearray, st.binary(max_size=20)), st.lists(st.integers(0, 300), max_size=20),
    st.builds(tuple, st.lists(ints, max_size=5)),
    st.builds(range, st.integers(-5, 300), st.integers(-5, 600)),
    st.builds(set, st.lists(st.integers(0, 300), max_size=3)),
    st.dictionaries(st.integers(0, 300), st.integers(0, 300), max_size=3),
    st.complex_numbers(allow_nan=False, max_magnitude=10),
)
# File names inside the test's own directory: '/' is replaced, so nothing escapes it, except in
# the two names that probe a missing directory and a file used as one.
BELOW = {"missing/below", "model/below"}
file_names = st.one_of(st.sampled_from(["model", "out", "", ".", "..", "nul\0name", "x" * 300,
                                        "\udc80", *sorted(BELOW)]),
                       st.text(max_size=12))

#: Calls a conversion hook can make: (name, whether it needs exclusive access).
ACTIONS = [("encode", False), ("decode", False), ("save_model", False), ("save_vocab", False),
           ("save", False), ("build_vocab", True), ("train", True), ("load", True)]
reentries = st.tuples(st.sampled_from(range(len(ACTIONS))), st.sampled_from(["same", "other"]),
                      st.booleans())

leaf_recipes = st.one_of(
    st.tuples(st.just("value"), plain_values),
    st.tuples(st.just("path"), file_names),
    st.tuples(st.just("index"), st.sampled_from(["int", "raise", "type_error", "non_int"]), ints),
    st.tuples(st.just("reenter_index"), reentries, ints),
    st.tuples(st.just("subclass"), st.just("str"), texts),
    st.tuples(st.just("subclass"), st.just("int"), ints),
    st.tuples(st.just("subclass"), st.just("bytes"), st.binary(max_size=10)),
    st.tuples(st.just("subclass"), st.just("list"), st.lists(ints, max_size=5)),
)


small_ids = st.tuples(st.just("value"), st.integers(0, 300))


def sequence_recipe(items):
    return st.tuples(
        st.just("sequence"), st.lists(st.one_of(small_ids, small_ids, items), max_size=6),
        st.sampled_from(["exact", "huge", "maxsize", "negative", "raise", "non_int", "big_lie",
                         "reenter"]),
        st.sampled_from(["iter", "raise", "non_iterator", "stop_early", "next_raises",
                         "getitem_only", "reenter", "mutate"]),
        reentries,
    )


recipes = st.recursive(leaf_recipes, sequence_recipe, max_leaves=12)

# Per parameter: a value that converts, often, so that the calls get past the first parameter
# and run the hooks of the others; a hook that calls back and then converts; or anything.
_paths = st.tuples(st.just("path"), file_names)
_sizes = st.integers(250, 320)
GOOD = {
    "text": st.tuples(st.just("value"), texts),
    "vocab_size": st.one_of(st.tuples(st.just("value"), _sizes),
                            st.tuples(st.just("reenter_index"), reentries, _sizes)),
    "ids": st.one_of(st.tuples(st.just("value"), st.lists(st.integers(0, 300), max_size=10)),
                     sequence_recipe(st.tuples(st.just("reenter_index"), reentries,
                                               st.integers(0, 300)))),
    "model_file_path": _paths,
    "file_path": _paths,
    "vocab_file_path": st.one_of(_paths, st.tuples(st.just("value"), st.none())),
    "num_threads": st.one_of(st.tuples(st.just("value"), st.integers(0, 4)),
                             st.tuples(st.just("reenter_index"), reentries, st.integers(0, 4))),
}


def argument(name):
    return st.one_of(GOOD[name], GOOD[name], recipes)


class Builder:
    """Turns recipes into objects. Records every re-entrant call and its outcome in `log` as
    (target, action name, exclusive?, swallowed?, outcome class name, message)."""

    def __init__(self, tok, other, base):
        self.tok, self.other, self.base, self.log = tok, other, base, []
        self.paths = []  # the paths made from "path" recipes, already inside `base`

    def path(self, name):
        return os.path.join(self.base, name if name in BELOW else name.replace("/", "_"))

    def confined(self, parameter, argument):
        """A str drawn for a path parameter, moved into the test's directory (keeping its
        class): the calls must never write anywhere else."""
        if not parameter.endswith("path") or not isinstance(argument, str):
            return argument
        if any(argument is made for made in self.paths):
            return argument
        return type(argument)(self.path(argument))

    def reenter(self, spec):
        index, target, swallow = spec
        name, exclusive = ACTIONS[index]
        tok = self.tok if target == "same" else self.other
        calls = {
            "encode": lambda: tok.encode("abc"),
            "decode": lambda: tok.decode([97]),
            "save_model": lambda: tok.save_model(self.path("inner.model")),
            "save_vocab": lambda: tok.save_vocab(self.path("inner.vocab")),
            "save": lambda: tok.save(self.path("inner2.model"), None),
            "build_vocab": tok.build_vocab,
            "train": lambda: tok.train("abcabc", 258),
            "load": lambda: tok.load(self.path("model")),
        }
        try:
            calls[name]()
        except Exception as error:
            self.log.append((target, name, exclusive, swallow, type(error).__name__, str(error)))
            if not swallow:
                raise
        else:
            self.log.append((target, name, exclusive, swallow, "ok", ""))

    def build(self, recipe):
        kind = recipe[0]
        if kind == "value":
            return recipe[1]
        if kind == "path":
            self.paths.append(self.path(recipe[1]))
            return self.paths[-1]
        if kind == "index":
            return Index(recipe[1], recipe[2])
        if kind == "reenter_index":
            return ReenteringIndex(self, recipe[1], recipe[2])
        if kind == "subclass":
            return subclass_instance(recipe[1], recipe[2])
        _, items, length, iteration, spec = recipe
        return Sequence(self, [self.build(item) for item in items], length, iteration, spec)


class Index:
    def __init__(self, behaviour, value):
        self.behaviour, self.value = behaviour, value

    def __index__(self):
        if self.behaviour == "raise":
            raise Hostile("from __index__")
        if self.behaviour == "type_error":
            raise TypeError("bad index")
        if self.behaviour == "non_int":
            return "not an int"
        return self.value


class ReenteringIndex:
    def __init__(self, builder, spec, value):
        self.builder, self.spec, self.value = builder, spec, value

    def __index__(self):
        self.builder.reenter(self.spec)
        return self.value


SUBCLASSES = {base: type("Sub" + base.__name__, (base,), {}) for base in (str, int, bytes, list)}


def subclass_instance(kind, value):
    return SUBCLASSES[{"str": str, "int": int, "bytes": bytes, "list": list}[kind]](value)


class Sequence:
    """A sequence whose length, iteration and items behave as the recipe says."""

    def __init__(self, builder, items, length, iteration, spec):
        self.builder, self.items, self.length, self.iteration = builder, items, length, iteration
        self.spec = spec

    def __len__(self):
        lengths = {"exact": len(self.items), "huge": 2**62, "maxsize": sys.maxsize,
                   "negative": -1, "non_int": "many", "big_lie": 10**6}
        if self.length == "raise":
            raise Hostile("from __len__")
        if self.length == "reenter":
            self.builder.reenter(self.spec)
            return len(self.items)
        return lengths[self.length]

    def __getitem__(self, index):
        if self.iteration == "getitem_only" or isinstance(index, slice):
            return self.items[index]
        raise Hostile("from __getitem__")

    def __iter__(self):
        items = self.items
        if self.iteration == "raise":
            raise Hostile("from __iter__")
        if self.iteration == "non_iterator":
            return 5
        if self.iteration == "getitem_only":
            return iter(SequenceByIndex(items))
        if self.iteration == "stop_early":
            return iter(items[: len(items) // 2])
        if self.iteration == "next_raises":
            return self._raising(items)
        if self.iteration == "reenter":
            return self._reentering(items)
        if self.iteration == "mutate":
            return self._mutating(list(items))
        return iter(items)

    @staticmethod
    def _raising(items):
        yield from items[:1]
        raise Hostile("from __next__")

    def _reentering(self, items):
        for item in items:
            self.builder.reenter(self.spec)
            yield item

    @staticmethod
    def _mutating(items):
        # Read the list through a live index while shrinking and growing it underneath.
        i = 0
        while i < len(items):
            item = items[i]
            if i % 2 == 0:
                items.append(item)
            if len(items) > 12:
                del items[:3]
            i += 1
            yield item


class SequenceByIndex:
    """The old iteration protocol: __getitem__ until IndexError."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, index):
        return self.items[index]


@pytest.fixture(scope="module")
def workspace():
    with tempfile.TemporaryDirectory() as base:
        here = os.getcwd()
        os.chdir(base)  # and relative paths land here too
        seed = BasicTokenizer()
        seed.train("the cat sat on the mat " * 4, 270)
        seed.save_model(os.path.join(base, "seed.model"))  # no drawn name reaches it
        seed.save_model(os.path.join(base, "model"))
        try:
            yield base
        finally:
            os.chdir(here)


def fresh_pair(base):
    tok, other = BasicTokenizer(), BasicTokenizer(2)
    tok.load(os.path.join(base, "seed.model"))
    other.train("abcabc", 258)
    return tok, other


def expected_inner_failure(outer_exclusive, inner_exclusive):
    """The RuntimeError message a call on an object in use must meet, or None."""
    if inner_exclusive:
        return "Already borrowed"
    return "Already mutably borrowed" if outer_exclusive else None


def check_inner_calls(log, outer_exclusive):
    for target, name, exclusive, _, outcome, message in log:
        if target == "other":
            assert outcome != "RuntimeError", (name, message)
            continue
        expected = expected_inner_failure(outer_exclusive, exclusive)
        if expected is None:
            assert outcome != "RuntimeError", (name, message)
        else:
            assert (outcome, message) == ("RuntimeError", expected), name


def check_failure(error, method, log):
    """`error`, raised by `method`, is one the binding documents for what was passed."""
    if type(error).__name__ == "PanicException":
        # Only training's own check; every argument converted.
        assert method == "train" and error.args == ("vocab_size must be at least 256",)
        return
    assert isinstance(error, DOCUMENTED), repr(error)
    if type(error) is TypeError:
        names = PARAMETERS[method]
        assert any(str(error).startswith(f"argument '{name}': ") for name in names), str(error)
    if isinstance(error, RuntimeError) and not isinstance(error, Hostile):
        assert str(error) in ACCESS_MESSAGES
        assert any(entry[4] == "RuntimeError" and not entry[3] for entry in log), log


def check_usable(tok, other):
    tok.build_vocab()
    assert tok.decode([97, 98]) == "ab"
    assert isinstance(tok.encode("the cat"), list)
    other.build_vocab()
    assert other.decode([99]) == "c"


@SETTINGS
@given(method=st.sampled_from(sorted(PARAMETERS)), data=st.data())
def test_every_method_survives_arbitrary_arguments(workspace, method, data):
    tok, other = fresh_pair(workspace)
    builder = Builder(tok, other, workspace)
    names = PARAMETERS[method]
    arguments = [builder.confined(name, builder.build(data.draw(argument(name), label=name)))
                 for name in names]
    by_keyword = data.draw(st.booleans(), label="by_keyword")
    call = getattr(tok, method)
    try:
        if by_keyword:
            call(**dict(zip(names, arguments)))
        else:
            call(*arguments)
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        check_failure(error, method, builder.log)
    check_inner_calls(builder.log, method in EXCLUSIVE)
    check_usable(tok, other)


@settings(SETTINGS, max_examples=50)
@given(data=st.data())
def test_constructor_survives_arbitrary_arguments(workspace, data):
    tok, other = fresh_pair(workspace)
    builder = Builder(tok, other, workspace)
    num_threads = builder.build(data.draw(argument("num_threads"), label="num_threads"))
    try:
        made = BasicTokenizer(num_threads=num_threads)
    except DOCUMENTED as error:  # a hook's own failure passes through
        if type(error) is TypeError:
            assert str(error).startswith("argument 'num_threads': ")
    else:
        made.train("abab", 257)
        assert made.encode("abab") == [256, 256]
    # No access is held while the constructor converts: every inner call gets in.
    for entry in builder.log:
        assert entry[4] != "RuntimeError", entry
    check_usable(tok, other)


# ---- Every hook, every call back, on the same object and on another: the access rules exactly.

class Hooked:
    """`decode` argument that runs `callback` from one of its hooks, then yields [97, 98]."""

    def __init__(self, hook, callback):
        self.hook, self.callback = hook, callback

    def __len__(self):
        if self.hook == "__len__":
            self.callback()
        return 2

    def __getitem__(self, index):
        return [97, 98][index]

    def __iter__(self):
        if self.hook == "__iter__":
            self.callback()
        return self._items()

    def _items(self):
        for value in (97, 98):
            if self.hook == "__next__":
                self.callback()
            yield CallingIndex(self.callback, value) if self.hook == "__index__" else value


class CallingIndex:
    def __init__(self, callback, value):
        self.callback, self.value = callback, value

    def __index__(self):
        self.callback()
        return self.value


OUTER = {
    # name: (exclusive?, run(tok, callback))
    "train/vocab_size.__index__": (True, lambda t, c: t.train("abab", CallingIndex(c, 257))),
    "decode/ids.__len__": (False, lambda t, c: t.decode(Hooked("__len__", c))),
    "decode/ids.__iter__": (False, lambda t, c: t.decode(Hooked("__iter__", c))),
    "decode/ids.__next__": (False, lambda t, c: t.decode(Hooked("__next__", c))),
    "decode/ids[i].__index__": (False, lambda t, c: t.decode(Hooked("__index__", c))),
    "__new__/num_threads.__index__": (None, lambda t, c: BasicTokenizer(CallingIndex(c, 2))),
}


@pytest.mark.parametrize("target", ["same", "other"])
@pytest.mark.parametrize("action", range(len(ACTIONS)), ids=[name for name, _ in ACTIONS])
@pytest.mark.parametrize("outer", OUTER)
def test_calls_from_hooks_follow_the_access_rules(tmp_path, outer, action, target):
    tok, other = BasicTokenizer(), BasicTokenizer()
    for t in (tok, other):
        t.train("abcabc", 258)
    (tmp_path / "model").write_text("pairloom v1\n\n0\n97 98\n")
    builder = Builder(tok, other, str(tmp_path))
    name, exclusive = ACTIONS[action]
    outer_exclusive, run = OUTER[outer]
    run(tok, lambda: builder.reenter((action, target, True)))
    assert builder.log, "the hook never ran"
    for entry in builder.log:
        assert entry[:3] == (target, name, exclusive)
        expected = None
        if target == "same" and outer_exclusive is not None:
            expected = expected_inner_failure(outer_exclusive, exclusive)
        if expected is None:
            assert entry[4:] == ("ok", ""), entry
        else:
            assert entry[4:] == ("RuntimeError", expected), entry
    check_usable(tok, other)
