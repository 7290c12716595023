"""The command under hostile conditions: outputs that are devices, FIFOs or links, a model that
changes or never ends, ids that shrink while read, and faults that must stay one line."""
import hashlib
import json
import os
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest

from pairloom import BasicTokenizer
from pairloom_tools import Model, ModelError
from test_model_file import CONTENT_FAULTS
from test_tools import FAULTY, MIXED, VALID, trained
from tools_helpers import ROOT, run_cli

np = pytest.importorskip("numpy", reason="numpy is not installed")


def one_line_fault(result, *words):
    message = result.stderr.decode(errors="replace")
    assert result.returncode == 2, message
    assert message.startswith("pairloom: error: ") and message.count("\n") == 1, message
    assert "Traceback" not in message and result.stdout == b""
    for word in words:
        assert word in message, message


def leftovers(folder):
    return sorted(p.name for p in folder.rglob(".*"))


@pytest.fixture
def encoded(tmp_path):
    """A model and the ids of a few documents encoded with it (OUT.npy, OUT.json beside)."""
    _, model = trained(tmp_path)
    docs = []
    for i in range(4):
        docs.append(tmp_path / f"doc{i}.txt")
        docs[-1].write_text(MIXED[i * 50:] * (i + 1), encoding="utf-8")
    result = run_cli("encode", "--model", model, "--jobs", 2, "--output", tmp_path / "ids.npy",
                     *docs)
    assert result.returncode == 0, result.stderr
    return model, tmp_path / "ids.npy", b"".join(doc.read_bytes() for doc in docs)


def device(path, minor):
    """A private copy of /dev/null (minor 3) or /dev/full (minor 7)."""
    if os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    try:
        os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(1, minor))
        with open(path, "wb"):
            pass
    except PermissionError as error:
        pytest.skip(f"no device node here: {error}")
    return path


@pytest.mark.parametrize("kind", ["null-device", "full-device", "fifo", "symlink"])
def test_decode_and_export_write_through_what_is_not_a_regular_file(tmp_path, encoded, kind):
    model, ids, text = encoded
    target = tmp_path / "out"
    if kind == "null-device":
        device(target, 3)
    elif kind == "full-device":
        device(target, 7)
    elif kind == "fifo":
        os.mkfifo(target)
    else:
        (tmp_path / "real").write_bytes(b"old")
        target.symlink_to(tmp_path / "real")
    before = os.lstat(target)
    got = []
    reader = threading.Thread(target=lambda: got.append(target.read_bytes()), daemon=True)
    if kind == "fifo":
        reader.start()
    result = run_cli("decode", "--model", model, "--output", target, ids)
    if kind == "full-device":
        one_line_fault(result, "No space left on device")
    else:
        assert result.returncode == 0, result.stderr
    if kind == "fifo":
        reader.join(timeout=60)
        assert got == [text]
        # Standard output, a pipe here, by the name that leads to it.
        assert run_cli("decode", "--model", model, "--output", "/dev/stdout", ids).stdout == text
    if kind == "symlink":
        assert (tmp_path / "real").read_bytes() == text
        exported = run_cli("export", "--model", model, "--format", "tiktoken", "--output", target)
        assert exported.returncode == 0, exported.stderr
        assert (tmp_path / "real").read_text().startswith("AA== 0\n")
    after = os.lstat(target)  # never replaced: the same node, of the same kind
    assert (after.st_ino, stat.S_IFMT(after.st_mode)) == (before.st_ino, stat.S_IFMT(before.st_mode))
    assert leftovers(tmp_path) == []


def test_export_removes_the_special_tokens_of_an_earlier_export(tmp_path):
    with_specials = tmp_path / "s.model"
    with_specials.write_text("pairloom v1\n\n1\n<eot> 300\n104 105\n")
    plain = tmp_path / "p.model"
    plain.write_text("pairloom v1\n\n0\n104 105\n")
    out = tmp_path / "out.tiktoken"
    for model, specials in [(with_specials, True), (plain, False)]:
        result = run_cli("export", "--model", model, "--format", "tiktoken", "--output", out)
        assert result.returncode == 0, result.stderr
        assert (tmp_path / "out.tiktoken.special.json").exists() == specials


CHILD = """
import os, signal, sys
from pairloom_tools import cli
signal.signal(signal.SIGINT, signal.default_int_handler)
if sys.argv[1] == "interrupt-after-writing":
    from pairloom_tools import training
    train_buffer = training.train_buffer
    class Interrupting:  # the training's result, read for the summary once the files are written
        @property
        def merges(self):
            raise KeyboardInterrupt
    training.train_buffer = lambda *args: train_buffer(*args) and Interrupting()
else:
    signal.signal(signal.SIGALRM, lambda *_: os.kill(os.getpid(), signal.SIGTERM))
    signal.setitimer(signal.ITIMER_REAL, 0.3)
if sys.argv[1] == "sigterm-encode":
    sys.exit(cli.main(["encode", "--jobs", "2", "--model", "noise.model", "--output", "m",
                       *sorted(name for name in os.listdir() if name.startswith("noise"))]))
sys.exit(cli.main(["train", "--vocab-size", sys.argv[2], "--output", "m", "noise.txt"]))
"""


@pytest.mark.parametrize("stop, vocab_size, status, message", [
    ("sigterm", 1_000_000, 128 + signal.SIGTERM, "pairloom: terminated; no output written"),
    ("sigterm-encode", 0, 128 + signal.SIGTERM, "pairloom: terminated; no output written"),
    ("interrupt-after-writing", 300, 130, "pairloom: interrupted; wrote m.model, m.vocab"),
])
def test_a_stopped_command_says_truly_what_it_wrote(tmp_path, stop, vocab_size, status, message):
    (tmp_path / "noise.txt").write_bytes(os.urandom(3 << 20).decode("latin-1").encode())
    inputs = ["noise.txt"]
    if stop == "sigterm-encode":  # enough to keep two workers busy for seconds
        _, model = trained(tmp_path, name="noise")
        for i in range(12):
            inputs.append(f"noise{i}.txt")
            (tmp_path / inputs[-1]).write_bytes((tmp_path / "noise.txt").read_bytes())
        inputs.append(model.name)
    env = {**os.environ,
           "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
    done = subprocess.run([sys.executable, "-c", CHILD, stop, str(vocab_size)], cwd=tmp_path,
                          env=env, capture_output=True, timeout=300)
    assert (done.returncode, done.stderr.decode()) == (status, message + "\n")
    written = ["m.model", "m.vocab"] if "wrote" in message else []
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([*inputs, *written])
    # No worker outlives the command (they would still have its folder as theirs).
    for entry in os.scandir("/proc"):
        if entry.name.isdigit():
            try:
                assert os.readlink(f"/proc/{entry.name}/cwd") != str(tmp_path), entry.name
            except OSError:
                pass


def test_a_model_swapped_during_encoding_never_mixes_ids(tmp_path):
    texts = ["the cat sat on the mat " * 40, "a quick brown fox " * 40]
    versions = []
    for name, text in zip("ab", texts):
        _, path = trained(tmp_path, text, 300, name)
        versions.append(path.read_bytes())
    docs = []
    for i in range(8):
        docs.append(tmp_path / f"doc{i}.txt")
        docs[-1].write_text((texts[i % 2] + MIXED) * 30, encoding="utf-8")
    model = tmp_path / "model"
    stop = threading.Event()

    def swap():
        staged = tmp_path / "staged"
        while not stop.is_set():
            for data in versions:
                staged.write_bytes(data)
                os.replace(staged, model)

    model.write_bytes(versions[0])
    swapper = threading.Thread(target=swap)
    swapper.start()
    try:
        seen = set()
        for run in range(8):  # each run of two processes had several chances to mix models
            out = tmp_path / f"o{run}.npy"
            result = run_cli("encode", "--model", model, "--jobs", 2, "--output", out, *docs)
            assert result.returncode == 0, result.stderr
            manifest = json.loads(out.with_suffix(".json").read_text())
            seen.add(manifest["model"]["sha256"])
            made_by = next(data for data in versions
                           if hashlib.sha256(data).hexdigest() == manifest["model"]["sha256"])
            (tmp_path / "check.model").write_bytes(made_by)
            tok = BasicTokenizer()
            tok.load(str(tmp_path / "check.model"))
            expected = [tok.encode(doc.read_bytes().decode()) for doc in docs]
            assert np.load(out).tolist() == [i for ids in expected for i in ids], run
    finally:
        stop.set()
        swapper.join()


def test_decode_refuses_ids_of_another_model_unless_forced(tmp_path, encoded):
    model, ids, text = encoded
    other = tmp_path / "other.model"
    other.write_bytes(model.read_bytes().replace(b"pairloom v1\n\n", b"pairloom v1\nx\n", 1))
    one_line_fault(run_cli("decode", "--model", other, ids), "another model", "--force")
    assert run_cli("decode", "--model", other, "--force", ids).stdout == text
    assert run_cli("decode", "--model", model, ids).stdout == text


# ---- Model files: read bounded, as the class reads them ----

def test_model_reader_accepts_and_refuses_as_the_class_does(tmp_path):
    cases = [content for content, _ in CONTENT_FAULTS] + [
        c.encode() if isinstance(c, str) else c for c in VALID + FAULTY]
    cases += [case.replace(b"\n", b"\r\n") for case in cases]
    path = tmp_path / "m.model"
    for content in cases:
        path.write_bytes(content)
        try:
            BasicTokenizer().load(str(path))
            expected = None
        except OSError as error:
            expected = str(error)
        try:
            Model.load(path)
            got = None
        except ModelError as error:
            got = str(error)
        assert got == expected, content[:60]


def doubling_model(path):
    # Each merge joins the last token with itself: token 256 + k has 2^(k+1) bytes.
    lines = ["97 97"] + [f"{256 + k} {256 + k}" for k in range(70)]
    path.write_text("pairloom v1\n\n0\n" + "\n".join(lines) + "\n")
    return path


@pytest.mark.parametrize("model", ["zero", "doubling"])
@pytest.mark.parametrize("command", ["inspect", "decode", "export", "encode"])
def test_a_model_without_bounds_fails_at_once(tmp_path, model, command):
    path = tmp_path / "m.model"
    if model == "zero":
        path.symlink_to("/dev/zero")
    else:
        doubling_model(path)
    (tmp_path / "doc.txt").write_text("aaaa")
    np.save(tmp_path / "ids.npy", np.array([97], dtype=np.uint16))
    args = {"inspect": [path],
            "decode": ["--model", path, tmp_path / "ids.npy"],
            "export": ["--model", path, "--format", "hf", "--output", tmp_path / "o.json"],
            "encode": ["--model", path, "--output", tmp_path / "o.npy", tmp_path / "doc.txt"]}
    started = time.monotonic()
    result = run_cli(command, *args[command])
    one_line_fault(result, "m.model")
    assert time.monotonic() - started < 60
    with pytest.raises((ModelError, MemoryError)):
        Model.load(path)


# ---- Ids files ----

def test_decode_refuses_what_is_not_a_whole_npy_array(tmp_path, encoded):
    model, ids, _ = encoded
    np.savez(tmp_path / "ids.npz", ids=np.load(ids))
    short = tmp_path / "short.npy"
    short.write_bytes(ids.read_bytes()[:-3])
    (tmp_path / "text.npy").write_text("not an array")
    np.save(tmp_path / "floats.npy", np.array([1.5]))
    for path, words in [(tmp_path / "ids.npz", "not a .npy array"),
                        (tmp_path / "text.npy", "not a .npy array"),
                        (tmp_path / "floats.npy", "not a one-dimensional array of integers"),
                        (short, "changed while read")]:
        one_line_fault(run_cli("decode", "--model", model, "--force", path), words)


def test_ids_that_shrink_during_decode_fail_with_one_line(tmp_path):
    _, model = trained(tmp_path)
    ids = np.tile(np.arange(97, 123, dtype=np.uint16), 3_000_000)  # 150 MB of text
    whole = tmp_path / "whole.npy"
    np.save(whole, ids)
    caught = False
    for attempt in range(10):  # until the shrink comes while the command reads
        target = tmp_path / "ids.npy"
        target.write_bytes(whole.read_bytes())
        process = subprocess.Popen(
            [sys.executable, "-m", "pairloom_tools", "decode", "--model", str(model), "--output",
             str(tmp_path / "out.txt"), str(target)], stderr=subprocess.PIPE,
            stdout=subprocess.PIPE,
            env={**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), *sys.path])})
        time.sleep(0.2 + attempt * 0.1)
        os.truncate(target, 1000)
        _, stderr = process.communicate(timeout=300)
        assert process.returncode in (0, 2), (process.returncode, stderr)  # never SIGBUS
        assert stderr.decode().count("\n") == process.returncode // 2, stderr
        if b"changed while read" in stderr:
            assert not (tmp_path / "out.txt").exists()
            caught = True
            break
    assert caught, "the file never shrank while the command read it"
    assert leftovers(tmp_path) == []


# ---- Faults a user can act on: one line, exit status 2 ----

def test_odd_names_arguments_and_streams_give_one_line(tmp_path):
    _, model = trained(tmp_path)
    odd = os.fsencode(tmp_path) + b"/caf\xe9\nname.txt"
    with open(odd, "wb") as file:
        file.write(b"hello there")
    encoded = run_cli("encode", "--model", model, "--jobs", 2, "--output",
                      tmp_path / "o.npy", os.fsdecode(odd), tmp_path / "m.model")
    assert encoded.returncode == 0 and encoded.stdout.count(b"\n") == 1, encoded.stderr
    listed = json.loads((tmp_path / "o.json").read_text())["documents"][0]["path"]
    assert os.fsencode(listed) == odd
    missing = os.fsencode(tmp_path) + b"/gone\n\xff.txt"
    one_line_fault(run_cli("encode", "--model", model, "--output", tmp_path / "p.npy",
                           os.fsdecode(missing)),
                   "gone\\n\\udcff.txt")
    beyond = str(2 ** 64)
    for args in (["train", "--vocab-size", beyond, "--output", "m", "x"],
                 ["train", "--vocab-size", 300, "--threads", beyond, "--output", "m", "x"],
                 ["inspect", "--top", beyond, model],
                 ["encode", "--jobs", beyond, "--model", model, "--output", "o", "x"]):
        result = run_cli(*args)
        assert result.returncode == 2 and b"must be from" in result.stderr, result.stderr
    # A fault with standard error closed, and with standard error a pipe nobody reads.
    closed = run_cli("decode", "--model", model, tmp_path / "none.npy",
                     preexec_fn=lambda: os.close(2))
    assert closed.returncode == 2 and closed.stdout == b""
    reader, writer = os.pipe()
    os.close(reader)
    with open(writer, "wb") as broken:
        gone = subprocess.run([sys.executable, "-m", "pairloom_tools", "inspect",
                               str(tmp_path / "none.model")], stderr=broken,
                              stdout=subprocess.PIPE, timeout=120,
                              env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert gone.returncode == 2 and gone.stdout == b""


def test_inspect_measures_the_text_given_and_nothing_else(tmp_path):
    path = tmp_path / "m.model"
    path.write_text("pairloom v1\n\n1\n<a-long-special-token> 300\n104 105\n")
    (tmp_path / "t.txt").write_text("hi hi hi")
    plain = run_cli("inspect", path).stdout.decode()
    assert "bytes per token" not in plain
    measured = run_cli("inspect", path, "--text", tmp_path / "t.txt").stdout.decode()
    assert measured.splitlines()[-1].endswith("1.600 (8 bytes, 5 tokens)")
