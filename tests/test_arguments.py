"""Argument matching, conversion, access conflicts and the mapping of failures to exceptions."""
import pytest

from conftest import SIZE_MAX
from pairloom import BasicTokenizer
from robust_helpers import run_child

T = BasicTokenizer()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: T.encode("a", "b"),
         "BasicTokenizer.encode() takes 1 positional arguments but 2 were given"),
        (lambda: T.save("a", "b", "c"),
         "BasicTokenizer.save() takes 2 positional arguments but 3 were given"),
        (lambda: BasicTokenizer(1, 2),
         "BasicTokenizer.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: T.train(),
         "BasicTokenizer.train() missing 2 required positional arguments: 'text' and 'vocab_size'"),
        (lambda: T.train("x"),
         "BasicTokenizer.train() missing 1 required positional argument: 'vocab_size'"),
        (lambda: T.train(vocab_size=300),
         "BasicTokenizer.train() missing 1 required positional argument: 'text'"),
        (lambda: T.decode(),
         "BasicTokenizer.decode() missing 1 required positional argument: 'ids'"),
        (lambda: BasicTokenizer(threads=1),
         "BasicTokenizer.__new__() got an unexpected keyword argument 'threads'"),
        (lambda: T.encode(text="a", other=1),
         "BasicTokenizer.encode() got an unexpected keyword argument 'other'"),
        (lambda: T.encode("a", text="b"),
         "BasicTokenizer.encode() got multiple values for argument 'text'"),
        (lambda: BasicTokenizer(2, num_threads=2),
         "BasicTokenizer.__new__() got multiple values for argument 'num_threads'"),
        # Keywords are taken in the order given; the first faulty one decides.
        (lambda: T.train(text="a", bogus=1, vocab_size=2),
         "BasicTokenizer.train() got an unexpected keyword argument 'bogus'"),
        # Too many positional arguments is reported before anything else is looked at.
        (lambda: T.train(1, 2, 3, bogus=4),
         "BasicTokenizer.train() takes 2 positional arguments but 3 were given"),
    ],
)
def test_matching_messages(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    assert type(caught.value) is TypeError


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: T.encode(5), TypeError, "argument 'text': 'int' object cannot be cast as 'str'"),
        (lambda: T.encode(b"x"), TypeError,
         "argument 'text': 'bytes' object cannot be cast as 'str'"),
        (lambda: T.save_model(bytearray(b"p")), TypeError,
         "argument 'file_path': 'bytearray' object cannot be cast as 'str'"),
        (lambda: T.save(None, None), TypeError,
         "argument 'model_file_path': 'NoneType' object cannot be cast as 'str'"),
        (lambda: T.load(1.5), TypeError,
         "argument 'model_file_path': 'float' object cannot be cast as 'str'"),
        (lambda: T.save_vocab(None), TypeError,
         "argument 'vocab_file_path': 'NoneType' object cannot be cast as 'str'"),
        (lambda: T.decode("hi"), TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
        (lambda: T.decode({1, 2}), TypeError,
         "argument 'ids': 'set' object cannot be cast as 'Sequence'"),
        (lambda: T.decode(i for i in [1]), TypeError,
         "argument 'ids': 'generator' object cannot be cast as 'Sequence'"),
        (lambda: T.decode({1: 2}), TypeError,
         "argument 'ids': 'dict' object cannot be cast as 'Sequence'"),
        (lambda: T.decode(5), TypeError, "argument 'ids': 'int' object cannot be cast as 'Sequence'"),
        (lambda: T.decode([1, 2.0]), TypeError,
         "argument 'ids': 'float' object cannot be interpreted as an integer"),
        (lambda: T.train("a", 2.0), TypeError,
         "argument 'vocab_size': 'float' object cannot be interpreted as an integer"),
        (lambda: T.train("a", "300"), TypeError,
         "argument 'vocab_size': 'str' object cannot be interpreted as an integer"),
        (lambda: BasicTokenizer(None), TypeError,
         "argument 'num_threads': 'NoneType' object cannot be interpreted as an integer"),
        # Failures other than TypeError itself pass through without the argument's name.
        (lambda: T.train("a", -1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: BasicTokenizer(-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: T.decode([104, -1]), OverflowError, "can't convert negative int to unsigned"),
        (lambda: T.train("a", 2**64), OverflowError, "int too big to convert"),
        (lambda: T.train("a", Index(-5)), OverflowError, "can't convert negative int to unsigned"),
    ],
)
def test_conversion_failures(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error
    assert str(caught.value) == message


@pytest.mark.skipif(SIZE_MAX == 2**64 - 1, reason="the size type has 64 bits here")
@pytest.mark.parametrize("call", [lambda v: BasicTokenizer(v), lambda v: T.train("a", v),
                                  lambda v: T.decode([v])])
def test_values_above_the_size_type_overflow(call):
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        call(SIZE_MAX + 1)


def test_largest_size_value_converts():
    BasicTokenizer(SIZE_MAX)
    BasicTokenizer(num_threads=Index(SIZE_MAX))


def test_lone_surrogate_raises_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError):
        T.encode("a\ud800b")


def test_type_error_from_index_gets_the_prefix_and_keeps_its_cause():
    root = ValueError("root")

    class Broken:
        def __index__(self):
            raise TypeError("inner") from root

    with pytest.raises(TypeError) as caught:
        T.train("a", Broken())
    assert str(caught.value) == "argument 'vocab_size': inner"
    assert caught.value.__cause__ is root


def test_type_error_subclass_passes_unchanged():
    class Special(TypeError):
        pass

    class Broken:
        def __index__(self):
            raise Special("mine")

    with pytest.raises(Special, match="^mine$"):
        T.train("a", Broken())


def test_str_subclass_is_text():
    class S(str):
        pass

    assert T.encode(S("hi")) == [104, 105]


def test_bool_converts_to_int(tok):
    assert BasicTokenizer(True) is not None
    tok.build_vocab()
    assert tok.decode([True, False]) == "\\u0001\\u0000"


@pytest.mark.parametrize("ids", [(104, 105), range(104, 106), b"hi", bytearray(b"hi"), [104, 105]])
def test_id_sequences_of_every_kind(tok, ids):
    tok.build_vocab()
    assert tok.decode(ids) == "hi"


class Ids:
    """A sequence that runs a callback when iterated."""

    def __init__(self, on_iter, length=2):
        self.on_iter, self.length = on_iter, length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return [104, 105][index]

    def __iter__(self):
        self.on_iter()
        return iter([104, 105])


@pytest.mark.parametrize("length", [0, 2, 10**6, 2**62, ValueError("no length")])
def test_length_is_only_a_hint(tok, length):
    tok.build_vocab()
    assert tok.decode(Ids(lambda: None, length)) == "hi"


def test_shared_calls_nest_inside_a_shared_call(tok):
    tok.build_vocab()
    seen = []
    assert tok.decode(Ids(lambda: seen.append(tok.encode("x")))) == "hi"
    assert seen == [[120]]


def test_exclusive_call_inside_a_shared_call_fails(tok):
    tok.build_vocab()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        tok.decode(Ids(tok.build_vocab))
    assert tok.decode([104]) == "h"  # the flag is free again


def test_any_call_inside_an_exclusive_call_fails(tok):
    inner = []

    class Size:
        def __index__(self):
            for call in (lambda: tok.encode("x"), tok.build_vocab):
                try:
                    call()
                except RuntimeError as error:
                    inner.append(str(error))
            tok.encode("x")  # escapes: train fails with this very error
            return 300

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        tok.train("abc", Size())
    assert inner == ["Already mutably borrowed", "Already borrowed"]
    assert tok.encode("ab") == [97, 98]


def test_other_objects_are_not_blocked(tok):
    other = BasicTokenizer()

    class Size:
        def __index__(self):
            other.build_vocab()
            return 256

    tok.train("abc", Size())
    assert other.decode([97]) == "a"


def test_panic_exception_class(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert "BaseException" in panic_type.__doc__


def test_fault_is_a_base_exception_and_leaves_the_object_usable(tok, panic_type, capfd):
    with pytest.raises(BaseException) as caught:
        try:
            tok.train("abc", 255)
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    assert type(caught.value) is panic_type
    assert caught.value.args == ("vocab_size must be at least 256",)
    diagnostic = capfd.readouterr().err
    assert "src/tokenizer/" in diagnostic
    assert "vocab_size must be at least 256" in diagnostic
    assert tok.encode("ab") == [97, 98]


def test_panic_from_python_code_is_raised_anew(tok, panic_type, capfd):
    class Size:
        def __index__(self):
            BasicTokenizer().train("x", 10)  # escapes as PanicException

    with pytest.raises(BaseException) as caught:
        tok.train("abc", Size())
    assert type(caught.value) is panic_type
    assert caught.value.args == ("vocab_size must be at least 256",)
    assert caught.value.__cause__ is None and caught.value.__context__ is None
    err = capfd.readouterr().err
    assert "PanicException" in err and "Traceback" in err
    assert tok.encode("a") == [97]


@pytest.mark.parametrize("name", ["save_model", "save_vocab", "load"])
def test_nul_in_a_path_is_invalid_input(tok, name):
    with pytest.raises(OSError) as caught:
        getattr(tok, name)("bad\0path")
    assert type(caught.value) is OSError
    assert caught.value.args == ("file name contained an unexpected NUL byte",)
    assert caught.value.errno is None


def test_missing_file_maps_to_file_not_found(tok, tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        tok.load(str(tmp_path / "missing.model"))
    assert caught.value.args == ("No such file or directory (os error 2)",)
    assert caught.value.errno is None and caught.value.filename is None


def test_rebound_sequence_class_still_gives_type_error():
    # The class named in the message is looked up where any code can replace it.
    result = run_child(
        """
        import collections.abc
        collections.abc.Sequence = 42
        print(json.dumps(outcome(lambda: BasicTokenizer().decode({1}))))
        """
    )
    assert result == [
        "TypeError", "argument 'ids': 'set' object cannot be cast as '<failed to extract type name>'"]


def test_excepthook_raising_system_exit_does_not_end_the_process():
    # The notice for a PanicException coming back through Python code goes through the hook.
    result = run_child(
        """
        def hook(*exc_info):
            raise SystemExit(3)

        sys.excepthook = hook

        class Size:
            def __index__(self):
                BasicTokenizer().train("x", 10)

        print(json.dumps(outcome(lambda: BasicTokenizer().train("abc", Size()))))
        """
    )
    assert result == ["PanicException", "vocab_size must be at least 256"]
