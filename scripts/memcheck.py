"""Memory check of the Python module under valgrind (the memcheck test of the valgrind preset,
and of the i386 session).

    memcheck.py run XML PYTHON OBJECT...
                            runs `exercise` under valgrind memcheck with the interpreter PYTHON
                            (the module found on PYTHONPATH), valgrind's XML output in XML, then
                            `report`
    memcheck.py exercise    calls every method of BasicTokenizer, failures included, a few
                            rounds over, so that a leak per call adds up
    memcheck.py report XML OBJECT...
                            reads valgrind's XML output; prints a one-line summary and fails
                            when a definite leak or a memory error has a frame in one of the
                            object files OBJECT (the module that was loaded, the engine library)

`exercise` runs with PYTHONMALLOC=malloc, so that Python objects are plain heap blocks that
memcheck follows one by one.
"""

import gc
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

ROUNDS = 3


def expect(exception, function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except exception:
        return
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        if exception is BaseException or isinstance(error, exception):
            return
        raise AssertionError(f"{function.__name__}{args}: {error!r}, wanted {exception}") from error
    raise AssertionError(f"{function.__name__}{args} did not fail")


class Index:
    """An int-like argument whose __index__ runs `action` first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


class Ids:
    """A sequence whose iteration fails part way."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 2:
            raise ValueError("broken sequence")
        return 104 + i


def exercise_round(pairloom, work):
    text = "the cat sat on the mat; the dog ate the hat. café ünïcödé 😀\n" * 60
    model = os.path.join(work, "m.model")
    vocab = os.path.join(work, "m.vocab")

    # Construction, and its argument faults.
    pairloom.BasicTokenizer()
    pairloom.BasicTokenizer(0)
    expect(TypeError, pairloom.BasicTokenizer, 1, 2)
    expect(TypeError, pairloom.BasicTokenizer, threads=2)
    expect(OverflowError, pairloom.BasicTokenizer, -1)
    expect(TypeError, pairloom.BasicTokenizer, 2.0)

    # Training on the calling thread and on the worker pool; then its faults.
    serial = pairloom.BasicTokenizer(1)
    serial.train(text, 330)
    parallel = pairloom.BasicTokenizer(num_threads=3)
    parallel.train(text=text, vocab_size=330)
    parallel.train("", 300)
    parallel.train(text, 330)
    expect(BaseException, serial.train, text, 255)  # PanicException
    expect(TypeError, serial.train, text)
    expect(TypeError, serial.train, b"bytes", 300)
    expect(UnicodeEncodeError, serial.train, "\ud800", 300)
    expect(OverflowError, serial.train, text, -1)

    # Encoding and decoding, and their faults.
    ids = serial.encode(text)
    assert serial.decode(ids)
    serial.decode(tuple(ids))
    serial.decode(b"hi")
    serial.decode(range(100, 110))
    serial.decode([])
    expect(TypeError, serial.encode, 5)
    expect(TypeError, serial.encode, text, text)
    expect(UnicodeEncodeError, serial.encode, "a\udfffb")
    expect(TypeError, serial.decode, "text")
    expect(TypeError, serial.decode, {1, 2})
    expect(TypeError, serial.decode, (i for i in range(3)))
    expect(OverflowError, serial.decode, [1, -1])
    expect(TypeError, serial.decode, [1, 2.0])
    expect(OSError, serial.decode, [104, 10**6, 105])
    expect(ValueError, serial.decode, Ids())

    # Vocabulary rebuild.
    serial.build_vocab()
    expect(TypeError, serial.build_vocab, 1)

    # Files: writing, reading back, and every kind of failure.
    serial.save(model, vocab)
    serial.save(model, None)
    serial.save_model(file_path=model)
    serial.save_vocab(vocab)
    loaded = pairloom.BasicTokenizer()
    loaded.load(model)
    assert loaded.encode(text) == ids
    loaded.load(model)  # on top of what it holds
    missing = os.path.join(work, "missing", "m.model")
    expect(FileNotFoundError, loaded.load, missing)
    expect(IsADirectoryError, loaded.load, work)
    expect(FileNotFoundError, serial.save_model, missing)
    expect(FileNotFoundError, serial.save_vocab, missing)
    expect(FileNotFoundError, serial.save, model, missing)
    expect(OSError, serial.save_model, model + "\0x")
    expect(TypeError, serial.save, model)
    expect(TypeError, loaded.load, 5)
    for content in (b"", b"pairloom v2\n", b"pairloom v1\n\n2\n<s> 300\n",
                    b"pairloom v1\n\n0\n1 2\n\n", b"pairloom v1\n\n0\n1 99999999999999999999999\n",
                    b"pairloom v1\n\xff\n0\n"):
        with open(model, "wb") as f:
            f.write(content)
        expect(OSError, pairloom.BasicTokenizer().load, model)
    # A merge whose parts have no vocabulary entry makes the listing fault.
    with open(model, "wb") as f:
        f.write(b"pairloom v1\n\n1\n<s> 256\n300 301\n")
    broken = pairloom.BasicTokenizer()
    broken.load(model)
    expect(BaseException, broken.save_vocab, vocab)  # PanicException

    # Calls made while arguments are converted: conflicts, and a fault coming back through
    # the binding.
    expect(RuntimeError, serial.train, text, Index(300, lambda: serial.encode("x")))
    other = pairloom.BasicTokenizer()
    expect(BaseException, serial.train, text, Index(300, lambda: other.train("", 10)))
    serial.encode("still usable")


def exercise():
    import pairloom

    with tempfile.TemporaryDirectory() as work:
        for _ in range(ROUNDS):
            exercise_round(pairloom, work)
            gc.collect()
    print("exercise: every method called", ROUNDS, "times", file=sys.stderr)


def in_module(error, modules):
    """Whether a frame of `error` runs code of one of the object files `modules` (resolved
    paths).

    Frames are matched by the very file, never by a part of its path: the folder of a checkout
    may well hold the module's name, and then so do the interpreter's own frames."""
    return any(os.path.realpath(obj) in modules
               for obj in (frame.findtext("obj") for frame in error.iter("frame")) if obj)


def report(path, *objects):
    modules = {os.path.realpath(obj) for obj in objects}
    name = " or ".join(sorted(os.path.basename(obj) for obj in modules))
    root = ET.parse(path).getroot()
    leaks = {"module": 0, "other": 0, "bytes": 0}
    errors = {"module": 0, "other": 0}
    ours = []
    for error in root.iter("error"):
        kind = error.findtext("kind") or ""
        mine = in_module(error, modules)
        if kind.startswith("Leak_"):
            if kind != "Leak_DefinitelyLost":
                continue
            leaks["module" if mine else "other"] += 1
            if mine:
                leaks["bytes"] += int(error.findtext("xwhat/leakedbytes") or 0)
        else:
            errors["module" if mine else "other"] += 1
        if mine:
            what = error.findtext("what") or error.findtext("xwhat/text") or kind
            ours.append(what)
    summary = (f"definite leaks: {leaks['module']} in {name} ({leaks['bytes']} bytes), "
               f"{leaks['other']} elsewhere; errors: {errors['module']} in {name}, "
               f"{errors['other']} elsewhere")
    print(summary)
    for what in ours:
        print("  " + what, file=sys.stderr)
    return 1 if ours else 0


def run(xml, python, *objects):
    if os.path.exists(xml):
        os.remove(xml)
    done = subprocess.run(
        ["valgrind", "--tool=memcheck", "--leak-check=full",
         "--show-leak-kinds=definite,possible", "--num-callers=50", "--xml=yes",
         f"--xml-file={xml}", python, os.path.abspath(__file__), "exercise"],
        env={**os.environ, "PYTHONMALLOC": "malloc"}, check=False)
    if done.returncode != 0:
        print(f"the exercise failed under valgrind (exit {done.returncode})", file=sys.stderr)
        return 1
    return report(xml, *objects)


def main(argv):
    if argv[1:2] == ["exercise"]:
        exercise()
        return 0
    if argv[1:2] == ["report"] and len(argv) >= 4:
        return report(argv[2], *argv[3:])
    if argv[1:2] == ["run"] and len(argv) >= 5:
        return run(*argv[2:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
