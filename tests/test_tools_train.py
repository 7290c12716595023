"""The tools' native trainer and shards (pairloom_tools._native) against the class, and the
progress bar of `pairloom train`."""
import fcntl
import os
import pty
import random
import signal
import struct
import subprocess
import sys
import termios
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pairloom import BasicTokenizer
from pairloom_tools import Model, ToolError
from pairloom_tools.cli import main
from pairloom_tools.training import NOT_UTF8, RecentRate, read_corpus, read_file
from tools_helpers import ROOT

native = pytest.importorskip("pairloom_tools._native",
                             reason="pairloom_tools._native is not built (install the package)")

MIXED = "Line one\r\nline two\x00\x07 tab\t end\n€ 🧑‍🤝‍🧑 naïve ∑ \r\rcafé aaaaaaa café\n" * 30


def class_files(tmp_path, text, vocab_size, threads=1, name="ref"):
    tok = BasicTokenizer(threads)
    tok.train(text, vocab_size)
    paths = (tmp_path / f"{name}.model", tmp_path / f"{name}.vocab")
    tok.save(*map(str, paths))
    return [path.read_bytes() for path in paths]


def trainer_files(tmp_path, trainer, name="got"):
    paths = (tmp_path / f"{name}.model", tmp_path / f"{name}.vocab")
    trainer.save(*map(str, paths))
    return [path.read_bytes() for path in paths]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("chunk", [1, 7, 10_000])
def test_trainer_steps_write_what_the_class_writes(tmp_path, threads, chunk):
    trainer = native.Trainer(MIXED, 700, threads)
    steps = []
    while learned := trainer.step(chunk):
        steps.append(learned)
    assert trainer.done and trainer.step(chunk) == 0 and sum(steps) == trainer.learned
    assert all(learned == chunk for learned in steps[:-1])
    assert trainer_files(tmp_path, trainer) == class_files(tmp_path, MIXED, 700, threads)


def test_trainer_fails_as_the_class_fails(panic_type):
    # Each extension module has a PanicException class of its own, alike in name and base.
    with pytest.raises(BaseException, match="vocab_size must be at least 256") as fault:
        native.Trainer("abc", 255)
    assert (fault.type.__module__, fault.type.__name__, fault.type.__bases__) == (
        panic_type.__module__, panic_type.__name__, panic_type.__bases__)
    with pytest.raises(TypeError, match="argument 'text'"):
        native.Trainer(12, 300)
    with pytest.raises(TypeError, match=r"Trainer.step\(\) missing 1 required"):
        native.Trainer("abc", 300).step()
    with pytest.raises(FileNotFoundError):
        native.Trainer("abc", 300).save("/nonexistent/dir/m", "/nonexistent/dir/v")


def test_interrupted_step_keeps_the_merges_learned(tmp_path):
    text = os.urandom(3 << 20).decode("latin-1")
    trainer = native.Trainer(text, 1 << 20)

    def interrupt(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        with pytest.raises(KeyboardInterrupt):
            trainer.step(1 << 20)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    learned = trainer.learned
    assert 0 < learned < (1 << 20) - 256
    assert trainer_files(tmp_path, trainer) == class_files(tmp_path, text, 256 + learned)
    # Stopped between merges it goes on; stopped inside one it says it cannot.
    try:
        assert trainer.step(5) == 5
    except RuntimeError as error:
        assert "cannot go on" in str(error)
    else:
        assert trainer_files(tmp_path, trainer) == class_files(tmp_path, text, 256 + learned + 5)


def test_write_model_writes_what_the_class_writes(tmp_path):
    expected = class_files(tmp_path, MIXED, 600)
    merges = list(Model.load(tmp_path / "ref.model").merges)
    native.write_model(merges, str(tmp_path / "w.model"), str(tmp_path / "w.vocab"))
    assert [(tmp_path / f"w.{suffix}").read_bytes() for suffix in ("model", "vocab")] == expected
    for bad in ([(1, 256)], [(1, 2), (1, 2)], [(1, 2, 3)], [(-1, 2)], [7]):
        with pytest.raises((ValueError, TypeError, OverflowError)):
            native.write_model(bad, str(tmp_path / "x.model"), str(tmp_path / "x.vocab"))


def sharded_merges(data, shards, vocab_size):
    """The driver's loop of pairloom_tools.dask.train, with the shards in this process."""
    cuts = [k * len(data) // shards for k in range(shards + 1)]
    parts = [native.Shard(data[begin:end]) for begin, end in zip(cuts, cuts[1:])]
    coordinator = native.Coordinator()
    for part in parts:
        coordinator.add(part.take_deltas())
    coordinator.set_edges([part.edges() for part in parts])
    merges = []
    for token in range(256, vocab_size):
        pair = coordinator.most_common_pair()
        if pair is None:
            break
        for part, role in zip(parts, coordinator.plan(*pair)):
            part.merge(*pair, token, *role)
        # One message for all shards, as a worker holding several sends.
        coordinator.add(native.sum_deltas(part.take_deltas() for part in parts))
        coordinator.set_edges([part.edges() for part in parts])
        coordinator.finish_step(*pair)
        merges.append(pair)
    tok = BasicTokenizer()
    tok.train(data.decode("utf-8"), vocab_size)
    assert sum(part.live for part in parts) == len(tok.encode(data.decode("utf-8")))
    return merges


@pytest.mark.parametrize("seed", range(6))
def test_shards_learn_the_class_merges(tmp_path, seed):
    # Cuts fall inside characters and runs; some shards are empty or one byte long.
    rng = random.Random(seed)
    pieces = ["a", "aaaa", "b", "é", "🧑", "ab ", "\r\n", "the "]
    text = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 500)))
    expected = class_files(tmp_path, text, 450)
    for shards in (1, 2, 3, 8, 40):
        merges = sharded_merges(text.encode("utf-8"), shards, 450)
        native.write_model(merges, str(tmp_path / "s.model"), str(tmp_path / "s.vocab"))
        got = [(tmp_path / f"s.{suffix}").read_bytes() for suffix in ("model", "vocab")]
        assert got == expected, shards


def test_coordinator_refuses_malformed_changes():
    coordinator = native.Coordinator()
    with pytest.raises(ValueError, match="whole number"):
        coordinator.add(b"\x00" * 23)
    with pytest.raises(ValueError, match="5 values"):
        coordinator.set_edges([(True, 0, 0)])
    with pytest.raises(TypeError):
        coordinator.add("text")
    with pytest.raises(ValueError, match="token id out of range"):
        native.sum_deltas([b"\xff" * 24])
    assert coordinator.most_common_pair() is None


def test_train_shows_a_bar_of_merges_on_a_terminal(tmp_path):
    (tmp_path / "a.txt").write_text(MIXED, encoding="utf-8")
    controller, terminal = pty.openpty()
    # A terminal of 0 columns (a fresh pseudo-terminal's size) gets an empty bar.
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    chunks = []
    reader = threading.Thread(target=lambda: chunks.extend(iter(
        lambda: _read(controller), b"")))
    reader.start()
    env = {**os.environ,
           "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
    done = subprocess.run([sys.executable, "-m", "pairloom_tools", "train", "--vocab-size", "500",
                           "--output", str(tmp_path / "m"), str(tmp_path / "a.txt")],
                          stderr=terminal, stdout=subprocess.PIPE, env=env, timeout=120)
    os.close(terminal)
    reader.join(timeout=10)
    os.close(controller)
    shown = b"".join(chunks).decode("utf-8", "replace")
    assert done.returncode == 0 and b"learned" in done.stdout
    # The training runs out of pairs before 244 merges: the bar ends full all the same.
    learned = len(Model.load(tmp_path / "m.model").merges)
    assert learned < 244 and "merges: 100%" in shown and f" {learned}/{learned} " in shown, shown


def _read(fd):
    try:
        return os.read(fd, 4096)
    except OSError:  # the terminal's other end closed
        return b""


def random_text(seed):
    rng = random.Random(seed)
    pieces = ["a", "aaaa", "b", "é", "🧑", "ab ", "\r\n", "the ", "\x00"]
    return "".join(rng.choice(pieces) for _ in range(rng.randint(0, 3000)))


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("text, vocab_size", [
    (MIXED, 700), (MIXED, 256), ("", 300), ("x", 300), *((random_text(seed), 600) for seed in range(4))])
def test_trainer_on_bytes_ends_on_the_encoding_of_its_text(tmp_path, threads, text, vocab_size):
    # The command trains on a buffer and takes its token count from the trainer instead of
    # encoding the text again: a fresh training's last sequence is that encoding.
    trainer = native.Trainer(bytearray(text.encode("utf-8")), vocab_size, threads)
    while trainer.step(50):
        pass
    expected = class_files(tmp_path, text, vocab_size, threads)
    assert trainer_files(tmp_path, trainer) == expected
    tok = BasicTokenizer()
    tok.load(str(tmp_path / "ref.model"))
    assert trainer.tokens == len(tok.encode(text))


# Bytes around the edges of UTF-8's ranges, so that random strings hit every kind of fault:
# lone continuations, overlong forms, surrogates, code points above U+10FFFF, cut sequences.
EDGES = [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0,
         0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF]


@settings(max_examples=400, deadline=None)
@given(st.lists(st.sampled_from(EDGES), max_size=40).map(bytes) | st.binary(max_size=40),
       st.integers(0, 50), st.integers(0, 50))
def test_utf8_checks_agree_with_the_interpreter(data, start, stop):
    part = data[start:stop]
    try:
        part.decode("utf-8")
        expected = None
    except UnicodeDecodeError as error:
        expected = error.start
    assert native.utf8_error(data, start, stop) == expected
    assert native.utf8_replace(bytearray(data), start, stop) == (
        part.decode("utf-8", "replace").encode("utf-8"))


def test_read_corpus_checks_each_file_as_its_own_text(tmp_path):
    # A file ending in a cut character is not mended by the next one beginning with the rest.
    files = {"a": "été ".encode() * 3 + b"\xe2\x82", "b": b"\xac rest", "c": "ok 🧑".encode()}
    paths = []
    for name, data in files.items():
        paths.append(tmp_path / name)
        paths[-1].write_bytes(data)
    seen = []
    with pytest.raises(ToolError) as fault:
        read_corpus(paths, "strict", seen.append)
    assert str(fault.value) == NOT_UTF8.format(path=paths[0], offset=len("été ".encode()) * 3)
    assert str(fault.value).endswith("(--errors replace substitutes U+FFFD)")
    replaced = read_corpus(paths, "replace", seen.append)
    assert replaced == b"".join(
        data.decode("utf-8", "replace").encode() for data in files.values())
    assert read_corpus(paths[2:]) == files["c"]


@pytest.mark.parametrize("expected_size", [5, 20])
def test_a_file_of_another_size_than_expected_is_refused(tmp_path, expected_size):
    # As if the file grew or shrank between its size being taken and its reading.
    (tmp_path / "f").write_bytes(b"0123456789")
    with pytest.raises(ToolError, match="changed while it was read"):
        read_file(tmp_path / "f", memoryview(bytearray(expected_size)), lambda count: None)


@pytest.mark.parametrize("built", [True, False], ids=["native", "without-native"])
def test_train_reports_the_bytes_per_token_of_the_encoding(tmp_path, capsys, monkeypatch, built):
    if not built:  # the pairloom module built on its own: the class trains, in one call
        monkeypatch.setitem(sys.modules, "pairloom_tools._native", None)
    (tmp_path / "a.txt").write_bytes(random_text(7).encode() + b"\xff")
    (tmp_path / "b.txt").write_bytes(random_text(8).encode())
    assert main(["train", "--vocab-size", "400", "--errors", "replace", "--quiet", "--output",
                 str(tmp_path / "m"), str(tmp_path / "a.txt"), str(tmp_path / "b.txt")]) == 0
    text = random_text(7) + "\ufffd" + random_text(8)
    tok = BasicTokenizer()
    tok.train(text, 400)
    tok.save_model(str(tmp_path / "ref.model"))
    merges, tokens = len(Model.load(tmp_path / "ref.model").merges), len(tok.encode(text))
    shown = capsys.readouterr().out
    assert (tmp_path / "m.model").read_bytes() == (tmp_path / "ref.model").read_bytes()
    assert shown.startswith(f"learned {merges} merges in ")
    assert f"; {len(text.encode()) / tokens:.2f} bytes per token on the training text;" in shown


def test_recent_rate_follows_the_last_window():
    rate = RecentRate(window=10)
    assert rate.rate() is None
    # Ten merges a second for a minute, then a hundred a second: the rate within a window
    # of the change is the new one, not the run's average.
    done = 0
    for second in range(61):
        rate.add(second, done)
        done += 10
    for second in range(61, 90):
        done += 100
        rate.add(second, done)
    assert rate.rate() == pytest.approx(100)
    rate.clear()
    rate.add(0, 0)
    assert rate.rate() is None
