"""Training through Python: golden cases on every counting path, failures and the state they
leave, thread-count independence, interruption by a signal, and training in a forked child."""
import os
import random
import signal
import sys
import time
import warnings

import pytest

from pairloom import BasicTokenizer

THREAD_COUNTS = [0, 1, 2, 3, 8]


def trained(text, vocab_size, num_threads=1):
    tok = BasicTokenizer(num_threads)
    tok.train(text, vocab_size)
    return tok


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
@pytest.mark.parametrize(
    "text, vocab_size, probes",
    [
        # Ends after two merges on every path, even with more threads than tokens left.
        ("aaaa", 300, {"aaaa": [257], "aa": [256], "aaa": [256, 97], "a": [97]}),
        ("éé", 258, {"éé": [257], "é": [256], "e": [101]}),
        ("", 300, {"hi": [104, 105]}),
        ("aaaa", 256, {"aaaa": [97, 97, 97, 97]}),
    ],
)
def test_golden_cases(num_threads, text, vocab_size, probes):
    tok = trained(text, vocab_size, num_threads)
    assert {probe: tok.encode(probe) for probe in probes} == probes


def test_vocab_size_below_256_changes_nothing(panic_type):
    tok = trained("aaaa", 300)
    with pytest.raises(BaseException) as caught:
        tok.train("bbbb", 255)
    assert type(caught.value) is panic_type
    assert caught.value.args == ("vocab_size must be at least 256",)
    assert tok.encode("aaaa") == [257]
    tok.train("bbbb", 257)  # still usable for training
    assert tok.encode("bb") == [256]
    assert tok.encode("bbbb") == [257]  # the first training's (256, 256) -> 257 applies


@pytest.mark.parametrize("num_threads", [1, 2])
def test_second_training_renumbers_from_256(num_threads):
    tok = trained("aaaa", 300, num_threads)
    tok.train("bbbaa", 258)
    # Now (97, 97) -> 257 (it kept its first place), (256, 256) -> 257, (98, 98) -> 256.
    assert tok.encode("bb") == [256]
    assert tok.encode("aa") == [257]
    assert tok.encode("bbaa") == [256, 257]
    assert tok.encode("bbbbaa") == [257, 257]


@pytest.fixture(params=["words", "book"])
def sample_text(request):
    if request.param == "book":
        corpora = request.getfixturevalue("corpora")
        return (corpora / "gutenberg_00011_alice_in_wonderland.txt").read_text("utf-8")[:60000]
    rng = random.Random(5)
    words = ["the", "cat", "sat", "on", "a", "mat", "é", "€", "\n"]
    return " ".join(rng.choice(words) for _ in range(12000))


def test_thread_counts_learn_the_same_merges(sample_text):
    text = sample_text
    probes = [text[:5000], "the quick brown fox", text[-3000:]]
    results = {
        n: [trained(text, 256 + 120, n).encode(p) for p in probes] for n in THREAD_COUNTS
    }
    assert all(result == results[1] for result in results.values())


@pytest.mark.parametrize("num_threads", [1, 2])
def test_signal_interrupts_training_and_keeps_completed_steps(num_threads):
    # Random bytes give tens of thousands of possible merges: far more than 0.2 s allow.
    text = random.Random(1).randbytes(1 << 20).decode("latin-1")
    tok = BasicTokenizer(num_threads)

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(KeyboardInterrupt):
            tok.train(text, 100_000)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # The object is free again, and whatever merges were learned before the signal (none on
    # a slow build) still encode.
    assert len(tok.encode(text[:2000])) <= len(text[:2000].encode("utf-8"))
    tok.train("aaaa", 257)


def test_forked_child_can_train_on_the_worker_pool():
    trained("abababab", 260, 2)  # the parent's pool is running
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a multi-threaded process
        pid = os.fork()
    if pid == 0:
        try:
            ok = trained("aaaa", 300, 2).encode("aaaa") == [257]
        finally:
            os._exit(0 if ok else 1)
    deadline = time.monotonic() + 60
    while (result := os.waitpid(pid, os.WNOHANG)) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("training in the forked child hung")
        time.sleep(0.05)
    assert os.waitstatus_to_exitcode(result[1]) == 0


# One str per storage width the interpreter uses: Latin-1, two-byte and four-byte characters.
WIDE_TEXTS = ["café crème " * 300, "€uro ∑ " * 300, "emoji 😀 mix " * 300]


@pytest.mark.parametrize("text", WIDE_TEXTS, ids=["latin-1", "two-byte", "four-byte"])
def test_training_leaves_no_utf8_copy_in_the_callers_str(text):
    # The interpreter counts a UTF-8 copy cached inside a str in its size; the whole copy would
    # stay as long as the caller keeps the text.
    size = sys.getsizeof(text)
    tok = trained(text, 300)
    assert sys.getsizeof(text) == size
    # The same merges as from a str that already holds such a copy (encode leaves one).
    cached = "".join(list(text))
    BasicTokenizer().encode(cached)
    assert sys.getsizeof(cached) > size
    probe = text[:200]
    assert trained(cached, 300).encode(probe) == tok.encode(probe)


class OwnAscii(str):
    def isascii(self):
        raise AssertionError("a subclass's method ran")


@pytest.mark.parametrize("text", ["plain ascii", "a\ud800b", "é\udfff", "😀x\udc80\udc81y"])
@pytest.mark.parametrize("wrap", [str, OwnAscii])
def test_text_converts_as_the_interpreters_utf8_encoder(text, wrap):
    text = wrap(text)
    try:
        expected = text.encode("utf-8")
    except UnicodeEncodeError as error:
        with pytest.raises(UnicodeEncodeError) as caught:
            BasicTokenizer().train(text, 300)
        got = caught.value
        assert (str(got), got.args[1:]) == (str(error), error.args[1:])
        return
    assert trained(text, 300).encode(text) == trained(expected.decode(), 300).encode(text)
