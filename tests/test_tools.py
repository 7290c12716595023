"""The pairloom command and the model reader of pairloom_tools, checked against the class."""
import array
import hashlib
import json
import os
import signal
import subprocess
import sys

import pytest

from pairloom import BasicTokenizer
from pairloom_tools import Model, ModelError
from tools_helpers import ROOT, corpus_samples, needs_corpora, run_cli

MIXED = "Line one\r\nline two\x00\x07 tab\t end\n€ 🧑‍🤝‍🧑 naïve ∑ \r\rcafé café café\n" * 40


@pytest.fixture
def np():
    return pytest.importorskip("numpy", reason="numpy is not installed")


def trained(tmp_path, text=MIXED, vocab_size=400, name="m"):
    tok = BasicTokenizer()
    tok.train(text, vocab_size)
    path = tmp_path / f"{name}.model"
    tok.save_model(str(path))
    return tok, path


def written_back(model):
    """The model file a fresh tokenizer writes after loading what `model` holds."""
    lines = ["pairloom v1", model.pattern, str(len(model.special_tokens))]
    lines += [f"{text} {token}" for text, token in model.special_tokens.items()]
    lines += [f"{left} {right}" for left, right in model.merges]
    return ("\n".join(lines) + "\n").encode("utf-8")


def rendered(data):
    text = data.decode("utf-8", errors="replace")
    return "".join(f"\\u{ord(c):04x}" if ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F else c
                   for c in text)


# Model files that load, with the quirks the reader must share with the class: CRLF lines,
# tabs and Unicode spaces between fields, a plus sign, leading zeros, repeated pairs and special
# tokens (first place, last id), merges built on later ids or special tokens (skipped), special
# tokens replacing byte and merge tokens.
VALID = [
    "pairloom v1\n\n0\n",
    "pairloom v1\r\n[a-z]+ \r\n1\r\n<s>\t300\r\n104 105\r\n256 33",
    "pairloom v1\n\n+2\n<s> 65\n<e>\u3000256\n104 105\n0256 033\n104 105\n258 104\n",
    "pairloom v1\npat\n2\n<s> 900\n<s> 901\n901 97\n97 97\n",
    "pairloom v1\n\n0\n257 97\n97 97\n97\u2003+98\n",
]
# Faulty files: each with the message the class gives.
FAULTY = [
    "", "pairloom v1", "pairloom v1\n", "pairloom v1 \n\n0\n", "\ufeffpairloom v1\n\n0\n",
    "pairloom v1\n\n0 \n", "pairloom v1\n\n\n", "pairloom v1\n\n2\n<s> 300\n",
    "pairloom v1\n\n1\n<s> 3 4\n", "pairloom v1\n\n0\n1 2\n\n", "pairloom v1\n\n0\n1 -2\n",
    "pairloom v1\n\n0\n1 99999999999999999999999\n", "pairloom v1\n\n0\n1\x1c2\n",
    "pairloom v1\n\n0\n+ 2\n", "pairloom v1\n\n0\n1 \n", "pairloom v1\n\n0\n1\t2 3\n",
]


@pytest.mark.parametrize("content", VALID)
def test_model_reader_holds_what_the_class_loads(tmp_path, content):
    path = tmp_path / "m.model"
    path.write_bytes(content.encode("utf-8"))
    tok = BasicTokenizer()
    tok.load(str(path))
    tok.save_model(str(tmp_path / "again.model"))
    model = Model.load(path)
    assert written_back(model) == (tmp_path / "again.model").read_bytes()
    assert model.sha256 == hashlib.sha256(content.encode("utf-8")).hexdigest()
    for token, data in model.vocab.items():
        assert tok.decode([token]) == rendered(data)
    beyond = max(model.vocab) + 1
    with pytest.raises(OSError):
        tok.decode([beyond])
    with pytest.raises(ValueError, match=f"invalid token ID: {beyond}"):
        model.decode_bytes([104, beyond])


@pytest.mark.parametrize("content", FAULTY + [b"pairloom v1\n\xff\n0\n"])
def test_model_reader_refuses_what_the_class_refuses(tmp_path, content):
    path = tmp_path / "m.model"
    path.write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
    with pytest.raises(OSError) as expected:
        BasicTokenizer().load(str(path))
    with pytest.raises(ModelError) as error:
        Model.load(path)
    assert str(error.value) == str(expected.value)


@pytest.mark.parametrize("threads", [1, 2])
def test_train_writes_what_the_class_writes(tmp_path, threads):
    # A folder stands for its files, recursively, in sorted path order, read as stored.
    texts = {"b/2.txt": "zeta\r\nomega ", "a.txt": "alpha beta\n" * 50, "b/1.txt": MIXED,
             "b/c/0.txt": "ü" * 30}
    for name, text in texts.items():
        (tmp_path / "in" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "in" / name).write_bytes(text.encode("utf-8"))
    result = run_cli("train", "--vocab-size", 500, "--threads", threads, "--output",
                     tmp_path / "cli", tmp_path / "in")
    assert result.returncode == 0, result.stderr
    assert b"merges" in result.stdout and result.stderr == b""
    tok = BasicTokenizer(threads)
    tok.train("".join(texts[name] for name in sorted(texts)), 500)
    tok.save(str(tmp_path / "ref.model"), str(tmp_path / "ref.vocab"))
    for suffix in ("model", "vocab"):
        assert (tmp_path / f"cli.{suffix}").read_bytes() == (tmp_path / f"ref.{suffix}").read_bytes()


@needs_corpora
def test_encode_and_decode_round_trip_corpora(tmp_path, np):
    samples = corpus_samples(tmp_path / "corpora", size=60_000)
    _, model = trained(tmp_path, "".join(p.read_bytes().decode() for p in samples[::4]), 1500)
    tok = BasicTokenizer()
    tok.load(str(model))
    outputs = {}
    for jobs in (1, 2):
        out = tmp_path / f"ids{jobs}.npy"
        result = run_cli("encode", "--model", model, "--jobs", jobs, "--output", out,
                         tmp_path / "corpora")
        assert result.returncode == 0, result.stderr
        outputs[jobs] = out
    ids = np.load(outputs[1])
    assert ids.dtype == np.uint16
    assert np.array_equal(ids, np.load(outputs[2]))
    offsets = np.load(tmp_path / "ids1.offsets.npy")
    manifest = json.loads((tmp_path / "ids1.json").read_text())
    assert offsets.dtype == np.int64 and len(offsets) == len(samples) + 1
    assert [doc["path"] for doc in manifest["documents"]] == [str(p) for p in samples]
    assert manifest["model"]["sha256"] == Model.load(model).sha256
    for i, path in enumerate(samples):
        assert ids[offsets[i]:offsets[i + 1]].tolist() == tok.encode(path.read_bytes().decode())
    decoded = run_cli("decode", "--model", model, outputs[1])
    assert decoded.stdout == b"".join(p.read_bytes() for p in samples)
    rendered_text = run_cli("decode", "--model", model, "--render", outputs[1])
    assert rendered_text.stdout.decode() == tok.decode(ids.tolist())


def test_encode_keeps_ids_beyond_uint16(tmp_path, np):
    path = tmp_path / "m.model"
    path.write_text("pairloom v1\n\n1\n<big> 70000\n104 105\n")
    (tmp_path / "doc.txt").write_text("hi <big>")
    assert run_cli("encode", "--model", path, "--jobs", 1, "--output", tmp_path / "o.npy",
                   tmp_path / "doc.txt").returncode == 0
    ids = np.load(tmp_path / "o.npy")
    tok = BasicTokenizer()
    tok.load(str(path))
    assert ids.dtype == np.uint32 and ids.tolist() == tok.encode("hi <big>")
    assert Model.load(path).decode_bytes([256, 70000]) == b"hi<big>"


def test_workers_that_do_not_stop_are_killed(monkeypatch):
    import multiprocessing
    import time

    from pairloom_tools import encoding

    monkeypatch.setattr(encoding, "STOP_SECONDS", 0.2)
    quick = multiprocessing.get_context("fork").Process(target=time.sleep, args=(0,))
    stuck = multiprocessing.get_context("fork").Process(target=time.sleep, args=(600,))
    quick.start()
    stuck.start()
    encoding._reap([quick, stuck])
    assert quick.exitcode == 0 and stuck.exitcode == -signal.SIGKILL


@pytest.mark.parametrize("fork, native", [(True, True), (True, False), (False, True)],
                         ids=["fork-if-alone", "fork-if-alone-through-the-class",
                              "new-interpreter"])
def test_encode_workers_started_either_way_match_one_job(tmp_path, monkeypatch, fork, native):
    import multiprocessing

    from pairloom_tools import encoding

    can_fork = encoding._can_fork  # the command's own runs (test_encode_*) fork
    monkeypatch.setattr(encoding, "_can_fork", lambda: fork and can_fork())
    monkeypatch.setattr(encoding, "BATCH_BYTES", 500)  # several batches per worker
    if not native:  # as where the tools' native module is not built
        monkeypatch.setitem(sys.modules, "pairloom_tools._native", None)
    tok, model = trained(tmp_path)
    docs = []
    for i in range(7):
        docs.append(tmp_path / f"d{i}.txt")
        docs[-1].write_text(MIXED[i * 37:] * (i + 1), encoding="utf-8")
    docs.append(tmp_path / "latin1.txt")
    docs[-1].write_bytes(b"fa\xe7ade " * 9)
    one, _ = encoding.encode_corpus(model, docs, tmp_path / "one.npy", jobs=1, errors="replace")
    three, documents = encoding.encode_corpus(model, docs, tmp_path / "three.npy", jobs=3,
                                              errors="replace")
    assert multiprocessing.active_children() == []  # every worker was reaped
    assert three.read_bytes() == one.read_bytes()
    with pytest.raises(encoding.ToolError, match="not UTF-8"):  # and after a failure too
        encoding.encode_corpus(model, docs, tmp_path / "failed.npy", jobs=3, errors="strict")
    assert multiprocessing.active_children() == []
    texts = [d.read_bytes().decode(errors="replace") for d in docs]
    assert [d.tokens for d in documents] == [len(tok.encode(text)) for text in texts]
    assert one.read_bytes()[-2 * documents[-1].tokens:] == array.array(
        "H", tok.encode(texts[-1])).tobytes()
    docs.pop()
    # A worker's failure reaches the caller; no output or scratch file is left behind.
    docs[3].write_bytes(b"ok\nfa\xe7ade")
    with pytest.raises(encoding.ToolError, match="d3.txt.*byte offset 5"):
        encoding.encode_corpus(model, docs, tmp_path / "bad.npy", jobs=3)
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(("bad", "."))] == []


@pytest.mark.parametrize("itemsize, code", [(2, "H"), (4, "I")])
def test_native_encoder_packs_the_ids_the_class_gives(tmp_path, itemsize, code):
    native = pytest.importorskip("pairloom_tools._native")
    tok, model = trained(tmp_path)
    encoder = native.Encoder(str(model))
    assert encoder.largest_id == Model.load(model).max_id
    for text in ["", "a", MIXED, MIXED[7:901], "plain ascii text, " * 60]:
        expected = array.array(code, tok.encode(text)).tobytes()
        assert encoder.encode(text, itemsize) == expected
        assert encoder.encode(text.encode(), itemsize) == expected
    for not_utf8 in [b"caf\xe9", b"surrogate \xed\xa0\x80", b"cut \xf0\x9f\x98"]:
        assert encoder.encode(not_utf8, itemsize) is None  # left to the caller's decoding


def test_native_encoder_refuses_ids_that_do_not_fit(tmp_path):
    native = pytest.importorskip("pairloom_tools._native")
    # Every byte pair, (104, 105) last: "hi" becomes id 256 + 65535.
    pairs = [(a, b) for a in range(256) for b in range(256) if (a, b) != (104, 105)]
    lines = [f"{a} {b}" for a, b in pairs + [(104, 105)]]
    path = tmp_path / "wide.model"
    path.write_text("pairloom v1\n\n0\n" + "\n".join(lines) + "\n")
    encoder = native.Encoder(str(path))
    assert encoder.largest_id == 65791
    assert encoder.encode("hi", 4) == array.array("I", [65791]).tobytes()
    with pytest.raises(OverflowError):
        encoder.encode("hi", 2)
    with pytest.raises(ValueError, match="itemsize"):
        encoder.encode("hi", 3)


def test_help_follows_the_width_asked_for():
    def longest(columns):
        result = run_cli("encode", "--help", env={**os.environ, "COLUMNS": str(columns)})
        assert result.returncode == 0 and "--jobs" in result.stdout.decode()
        return max(map(len, result.stdout.decode().splitlines()))

    assert longest(50) <= 55 < longest(120)  # a usage group is never broken


def test_output_that_cannot_be_written_fails_the_command(tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    _, model = trained(tmp_path)
    with open("/dev/full", "wb") as full:
        result = subprocess.run([sys.executable, "-m", "pairloom_tools", "inspect", str(model)],
                                stdout=full, stderr=subprocess.PIPE, timeout=120,
                                env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert result.returncode != 0, result.stderr


def test_encode_reports_a_worker_that_dies_and_leaves_nothing(tmp_path):
    # A fresh interpreter, so that the workers are forked and run the replaced _work.
    _, model = trained(tmp_path)
    docs = []
    for i in range(6):
        docs.append(tmp_path / f"d{i}.txt")
        docs[-1].write_text(MIXED * (i + 1), encoding="utf-8")
    script = (
        "import os, signal, sys\n"
        "from pathlib import Path\n"
        "from pairloom_tools import encoding\n"
        "def die(*_):\n"
        "    os.kill(os.getpid(), signal.SIGKILL)\n"
        "encoding._encode_batch = die\n"
        "try:\n"
        "    paths = [Path(p) for p in sys.argv[3:]]\n"
        "    encoding.encode_corpus(sys.argv[1], paths, sys.argv[2], 2)\n"
        "except encoding.ToolError as error:\n"
        "    print(error)\n")
    result = subprocess.run([sys.executable, "-c", script, str(model), str(tmp_path / "o.npy"),
                             *map(str, docs)], capture_output=True, text=True, timeout=120,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert result.stdout.strip() == "a worker process ended unexpectedly", result.stderr
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(("o.", ".o.", ".pairloom"))] == []


def faults(tmp_path, np):
    """Each fault a user can make, as (arguments, words the one-line message must hold)."""
    _, model = trained(tmp_path)
    (tmp_path / "empty").mkdir()
    (tmp_path / "doc.txt").write_text("hello")
    (tmp_path / "doc2.txt").write_text("hello again")
    (tmp_path / "latin1.txt").write_bytes(b"ok\nfa\xe7ade")
    (tmp_path / "wide.model").write_text("pairloom v1\n\n1\n<big> 70000\n104 105\n")
    np.save(tmp_path / "far.npy", np.array([104, 99_999], dtype=np.uint32))
    (tmp_path / "doc.npy").write_text("a text named like an output")
    os.link(tmp_path / "doc.txt", tmp_path / "linked.model")
    out = tmp_path / "out"
    return [
        (["encode", "--model", tmp_path / "missing.model", "--output", out, tmp_path / "doc.txt"],
         "missing.model"),
        # Workers start before the command reads the model; they are ended and leave nothing.
        (["encode", "--model", tmp_path / "wide.model", "--dtype", "uint16", "--jobs", 2,
          "--output", out, tmp_path / "doc.txt", tmp_path / "doc2.txt"],
         "uint16 cannot hold"),
        (["train", "--vocab-size", 300, "--output", out, tmp_path / "empty"], "no files"),
        (["encode", "--model", model, "--output", tmp_path / "nodir" / "o.npy",
          tmp_path / "doc.txt"], "cannot write"),
        (["decode", "--model", model, "--output", out, tmp_path / "far.npy"], "99999"),
        (["train", "--vocab-size", 300, "--output", out, tmp_path / "latin1.txt"],
         "byte offset 5"),
        (["encode", "--model", model, "--jobs", 2, "--output", out, tmp_path / "doc.txt",
          tmp_path / "latin1.txt"], "byte offset 5"),
        (["encode", "--model", tmp_path / "doc.txt", "--output", out, tmp_path / "doc.txt"],
         "invalid version"),
        (["train", "--vocab-size", 10, "--output", out, tmp_path / "doc.txt"], "256"),
        # An output that would replace an input, by its own name or another.
        (["encode", "--model", model, "--output", tmp_path / "doc.npy", tmp_path / "doc.npy"],
         "is also an input"),
        (["train", "--vocab-size", 300, "--output", tmp_path / "linked", tmp_path / "doc.txt"],
         "is also an input"),
        (["export", "--model", model, "--format", "hf", "--output", tmp_path / "empty"],
         "is a folder"),
        (["inspect", model, "--text", tmp_path / "missing.txt"], "missing.txt"),
    ]


def test_user_faults_give_one_line_and_leave_no_output(tmp_path, np):
    for args, words in faults(tmp_path, np):
        before = set(tmp_path.rglob("*"))
        result = run_cli(*args)
        message = result.stderr.decode()
        assert result.returncode == 2, (args, message)
        assert message.startswith("pairloom: error: ") and message.count("\n") == 1, message
        assert words in message and result.stdout == b"", (args, result.stdout)
        assert set(tmp_path.rglob("*")) == before, args


def test_a_closed_standard_output_is_no_traceback(tmp_path, np):
    # The interpreter starts with sys.stdout None when descriptor 1 is closed.
    _, model = trained(tmp_path)
    (tmp_path / "doc.txt").write_text("hello")
    closed = {"preexec_fn": lambda: os.close(1)}
    encoded = run_cli("encode", "--model", model, "--output", tmp_path / "o.npy",
                      tmp_path / "doc.txt", **closed)
    assert encoded.returncode == 0 and encoded.stderr == b"", encoded.stderr
    decoded = run_cli("decode", "--model", model, tmp_path / "o.npy", **closed)
    assert decoded.returncode == 2
    assert decoded.stderr == b"pairloom: error: standard output is closed: give --output FILE\n"


def test_errors_replace_reads_text_that_is_not_utf8(tmp_path):
    (tmp_path / "latin1.txt").write_bytes(b"fa\xe7ade " * 100)
    result = run_cli("train", "--vocab-size", 300, "--errors", "replace", "--output",
                     tmp_path / "m", tmp_path / "latin1.txt")
    assert result.returncode == 0, result.stderr
    tok = BasicTokenizer()
    tok.train("fa\ufffdade " * 100, 300)
    tok.save_model(str(tmp_path / "ref.model"))
    assert (tmp_path / "m.model").read_bytes() == (tmp_path / "ref.model").read_bytes()


def test_interrupted_training_exits_130_and_leaves_no_file(tmp_path):
    (tmp_path / "noise.txt").write_bytes(os.urandom(6 << 20).decode("latin-1").encode())
    # The child interrupts itself a moment into the command, well before a training of this
    # size can end, whatever the machine's speed or load before the command starts.
    program = f"""
import os, signal, sys
from pairloom_tools.cli import main
# A shell that starts a job in the background ignores SIGINT for it; a user's terminal does not.
signal.signal(signal.SIGINT, signal.default_int_handler)
signal.signal(signal.SIGALRM, lambda *_: os.kill(os.getpid(), signal.SIGINT))
signal.setitimer(signal.ITIMER_REAL, 0.3)
sys.exit(main(["train", "--vocab-size", "1000000", "--output", {str(tmp_path / "m")!r},
               {str(tmp_path / "noise.txt")!r}]))
"""
    env = {**os.environ,
           "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
    child = subprocess.Popen([sys.executable, "-c", program], env=env, stderr=subprocess.PIPE,
                             stdout=subprocess.PIPE)
    _, stderr = child.communicate(timeout=120)
    assert child.returncode == 130, stderr
    assert stderr.decode().startswith("pairloom: interrupted")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["noise.txt"]


def test_inspect_shows_the_model(tmp_path):
    tok, model = trained(tmp_path)
    (tmp_path / "t.txt").write_text(MIXED)
    result = run_cli("inspect", model, "--text", tmp_path / "t.txt", "--top", 3)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.decode().splitlines()
    merges = len(Model.load(model).merges)
    assert f"merges: {merges} (ids 256 to {255 + merges})" in lines
    size, tokens = len(MIXED.encode()), len(tok.encode(MIXED))
    assert lines[-1].endswith(f"({size} bytes, {tokens} tokens)")
