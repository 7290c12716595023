"""Hostile Python input, continued from test_hostile_input.py: lengths that lie, sequences that
change while they are read, calls nested in conversion hooks, and one tokenizer used from
several Python threads at once. Whatever happens, a call returns or raises one of the
documented exceptions, and the object stays usable."""
import operator
import sys
import threading

import pytest

from pairloom import BasicTokenizer


class Hostile(Exception):
    """Raised by the test's own objects: must come out of a call unchanged."""


ACCESS_MESSAGES = {"Already borrowed", "Already mutably borrowed"}


# ---- Lying lengths and sequences that change while they are read: the ids are exactly what
# a Python loop over the same object would see, so a Python loop over a twin is the oracle.

class Lying:
    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize(
    "length",
    [0, 1, 10**6, 2**24 + 1, 2**31 - 1, 2**62, sys.maxsize, -1, -(2**70), 2**70, "x", 1.5, None,
     Hostile("len"), MemoryError(), OverflowError()],
    ids=repr,
)
def test_lying_length_is_only_a_hint(length):
    tok = BasicTokenizer()
    tok.build_vocab()
    assert tok.decode(Lying([104, 105, 33], length)) == "hi!"


def growing(items, limit):
    """A list whose elements append to it while the list is read, up to `limit` items."""
    class Grow:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            if len(items) < limit:
                items.append(Grow(self.value + 1))
            return self.value
    items.append(Grow(97))
    return items


def shrinking(items):
    class Shrink:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            if items:
                items.pop()
            return self.value
    items.extend(Shrink(v) for v in range(97, 107))
    return items


def clearing(items):
    class Clear:
        def __index__(self):
            items.clear()
            return 120
    items.extend([104, Clear(), 105, 106])
    return items


def swapping(items):
    class Swap:
        def __index__(self):
            items[:] = [33] * 5
            return 63
    items.extend([Swap(), 104, 105])
    return items


@pytest.mark.parametrize("make", [lambda l: growing(l, 40), shrinking, clearing, swapping],
                         ids=["growing", "shrinking", "clearing", "swapping"])
@pytest.mark.parametrize("container", [list, "list-subclass"])
def test_sequences_changing_while_read(make, container):
    def built():
        items = [] if container is list else type("L", (list,), {})()
        return make(items)

    expected = [operator.index(item) for item in built()]  # the same protocol, in Python
    tok = BasicTokenizer()
    tok.build_vocab()
    assert tok.decode(built()) == tok.decode(expected)


# ---- Nesting: calls made from conversion hooks, several levels deep.

def test_nested_shared_calls_through_every_hook_and_a_nested_exclusive_one():
    tok = BasicTokenizer()
    tok.train("abcabcabd", 260)
    abc, ab = tok.encode("abc"), tok.encode("ab")
    seen = []

    class Element:
        def __index__(self):
            seen.append(tok.decode(Sequence3()))  # three levels of shared use
            return 256

    class Sequence3:
        def __len__(self):
            seen.append(tok.encode("abc"))
            return 1

        def __getitem__(self, index):
            return [97][index]

        def __iter__(self):
            seen.append(tok.encode("ab"))
            try:
                tok.train("x", 256)
            except RuntimeError as error:
                seen.append(str(error))
            return iter([97])

    assert tok.decode([Element(), 98]) == tok.decode([256, 98])
    assert seen == [abc, ab, "Already borrowed", "a"]
    tok.build_vocab()  # free again


def test_hook_training_another_tokenizer_on_the_worker_pool_during_training():
    text = "hello world, " * 2000
    outer, inner = BasicTokenizer(2), BasicTokenizer(3)

    class Size:
        def __index__(self):
            inner.train(text, 300)
            return 300

    outer.train(text, Size())
    assert outer.encode(text) == inner.encode(text)


# ---- Threads. The engine keeps the interpreter lock while it works, so other threads run
# only while a call converts its arguments (hooks below sleep to hand the lock over). Calls
# that meet the object in use fail at once with the access RuntimeError; nothing else may go
# wrong, and the object ends consistent and free.

def test_threads_sharing_one_tokenizer(tmp_path):
    tok = BasicTokenizer(2)
    text = "the cat sat on the mat; the dog sat on the log. " * 50
    tok.train(text, 300)
    reference_model = str(tmp_path / "reference.model")
    tok.save_model(reference_model)
    expected = tok.encode(text)
    errors, outcomes = [], {"ok": 0, "busy": 0}
    lock = threading.Lock()

    class Yielding:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            threading.Event().wait(0.0005)
            return self.value

    class SlowIds:
        def __len__(self):
            threading.Event().wait(0.0005)
            return 3

        def __getitem__(self, index):
            return [116, 104, 101][index]

    def worker(seed):
        own = str(tmp_path / f"w{seed}")
        for step in range(120):
            choice = (seed + step) % 7
            try:
                if choice == 0:
                    tok.train(text, Yielding(300))  # same text, same merges: state unchanged
                elif choice == 1:
                    assert tok.encode(text) == expected
                elif choice == 2:
                    assert tok.decode(SlowIds()) == "the"
                elif choice == 3:
                    tok.decode([Yielding(104), Yielding(256)])
                elif choice == 4:
                    tok.save(own + ".model", own + ".vocab")
                elif choice == 5:
                    tok.build_vocab()
                else:
                    tok.load(reference_model) if step % 2 else tok.save_model(own + ".m")
                result = "ok"
            except RuntimeError as error:
                if str(error) not in ACCESS_MESSAGES:
                    errors.append(repr(error))
                result = "busy"
            except BaseException as error:  # noqa: B036 - any other failure is a bug
                errors.append(repr(error))
                continue
            with lock:
                outcomes[result] += 1

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
        assert not any(thread.is_alive() for thread in threads), "a thread hung"
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    assert outcomes["ok"] > 0
    # Free and consistent: the same merges as before, every load having renumbered them alike.
    tok.build_vocab()
    assert tok.encode(text) == expected
    check = str(tmp_path / "after.model")
    tok.save_model(check)
    with open(check, "rb") as after, open(reference_model, "rb") as before:
        assert after.read() == before.read()
