#!/usr/bin/env python3
"""Training and encoding benchmarks: pairloom against the plain algorithm and its peers.

    python bench/bench.py [--quick] [--ref REF] [--out bench/results]
    python bench/bench.py --from-json bench/results/results.json   # only re-render

Systems, all given the same text:

- pairloom: the module built from this checkout (or from REF with --ref; --installed takes the
  pairloom that Python imports without help).
- plain: bench/plain_bpe.cpp, the straightforward algorithm on the engine's one-step operations:
  every training step recounts every adjacent pair and rewrites the sequence in place; every
  encoding round recounts as well. It learns the same merges as pairloom.
- hf: Hugging Face tokenizers. Training: BpeTrainer over a byte-level alphabet with no
  pre-splitting (a ByteLevel pre-tokenizer with use_regex=False maps the bytes to characters
  and keeps the whole text one word). Encoding: its BPE model loaded with pairloom's merges.
- tiktoken: an Encoding whose mergeable ranks are pairloom's vocabulary. It pre-splits the text
  with a GPT-style word/line regex, so it solves an easier, pre-split problem. No trainer.
- spm: SentencePiece's BPE trainer with the whole text as one sentence, no whitespace, script
  or digit splitting, identity normalisation and byte fallback. Its symbols are characters
  (bytes only as fallback pieces), pieces are at most 512 characters long, and every
  character of the text takes a vocabulary slot. Encoding uses its own vocabulary of the same
  size.

Every measurement runs in a fresh subprocess. Memory is the peak resident set during the call
minus the resident set of the same process just before it (interpreter, libraries and the
text loaded), per byte of text. 1 KB = 1,000 bytes, 1 MB = 1,000,000 bytes.

Results go to OUT/RESULTS.md, OUT/*.png and OUT/results.json; the targets are printed at the
end. Peers that are not installed are left out (pip install '.[bench]' installs them).
"""

from __future__ import annotations

import argparse
import array
import datetime
import importlib.metadata
import io
import json
import math
import os
import platform
import re
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
KB = 1_000
MB = 1_000_000
# The shared text corpora sit beside the project folder unless PAIRLOOM_CORPORA says otherwise.
DEFAULT_CORPORA = Path(os.environ.get("PAIRLOOM_CORPORA") or REPO.parent / "shared" / "corpora")

# cl100k-style pre-split regex: contractions, letter runs, 1-3 digit groups, punctuation runs,
# line breaks and other whitespace.
TIKTOKEN_PATTERN = (
    r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]++[\r\n]*"""
    r"""|\s*[\r\n]|\s+(?!\S)|\s+"""
)

SYSTEM_LABELS = {
    "pairloom": "pairloom (1 thread)",
    "pairloom2": "pairloom (2 threads)",
    "plain": "plain algorithm (C++)",
    "hf": "HF tokenizers",
    "tiktoken": "tiktoken (pre-split)",
    "spm": "SentencePiece",
}
PYTHON_PEERS = {"hf": "tokenizers", "tiktoken": "tiktoken", "spm": "sentencepiece"}


# ---------------------------------------------------------------------------------------------
# Settings of a run


@dataclass
class Settings:
    """What one run measures. The full run is the default; --quick shrinks every input."""

    quick: bool
    target_bytes: int  # the target problem: English text of this size ...
    target_vocab: int  # ... trained to this vocabulary size
    sweep_vocab_bytes: int  # text size of the training-time-vs-vocab-size sweep
    sweep_vocabs: list[int]
    sweep_sizes: list[int]  # text sizes of the training-time-vs-size sweep (at target_vocab)
    corpus_bytes: int  # per corpus, for the training and encoding tables by corpus
    encode_sizes: list[int]
    timeout: float  # per run, for the peers and the plain algorithm
    pairloom_timeout: float  # per run, for pairloom itself
    target_timeout: float  # per run, pairloom and plain on the target problem
    hf_target_timeout: float  # per run, HF on the target problem
    encode_seconds: float  # each encode measurement repeats calls for about this long
    max_repeats: int  # fresh processes per training measurement (fewer for slow runs)


FULL = Settings(
    quick=False,
    target_bytes=5 * MB,
    target_vocab=4096,
    sweep_vocab_bytes=1 * MB,
    sweep_vocabs=[1024, 2048, 4096, 8192, 16384, 32768],
    sweep_sizes=[MB // 10, MB // 5, MB // 2, 1 * MB, 2 * MB, 5 * MB, 10 * MB, 20 * MB],
    corpus_bytes=1 * MB,
    encode_sizes=[1 * KB, 100 * KB, 1 * MB, 10 * MB],
    timeout=60,
    pairloom_timeout=240,
    target_timeout=900,
    hf_target_timeout=120,
    encode_seconds=1.0,
    max_repeats=3,
)

QUICK = Settings(
    quick=True,
    target_bytes=300 * KB,
    target_vocab=1024,
    sweep_vocab_bytes=50 * KB,
    sweep_vocabs=[512, 1024, 2048],
    sweep_sizes=[50 * KB, 100 * KB, 200 * KB, 500 * KB],
    corpus_bytes=100 * KB,
    encode_sizes=[1 * KB, 100 * KB, 1 * MB],
    timeout=5,
    pairloom_timeout=20,
    target_timeout=30,
    hf_target_timeout=5,
    encode_seconds=0.2,
    max_repeats=1,
)


def size_label(n: int) -> str:
    if n >= MB:
        return f"{n / MB:g} MB"
    if n >= KB:
        return f"{n / KB:g} KB"
    return f"{n} B"


# ---------------------------------------------------------------------------------------------
# Input texts


def cut(data: bytes, size: int) -> bytes:
    """The first `size` bytes of `data`, shortened to end on a whole UTF-8 character."""
    if size >= len(data):
        return data
    end = size
    while end > 0 and (data[end] & 0xC0) == 0x80:
        end -= 1
    return data[:end]


def stdlib_sources() -> bytes:
    """The running Python's standard library sources (tests included), in a fixed order."""
    root = Path(sysconfig.get_paths()["stdlib"])
    parts = []
    for path in sorted(root.rglob("*.py")):
        if {"site-packages", "dist-packages", "__pycache__"} & set(path.relative_to(root).parts):
            continue
        try:
            data = path.read_bytes()
            data.decode("utf-8")
        except (OSError, UnicodeDecodeError):
            continue
        parts.append(data)
    return b"".join(parts)


@dataclass
class Inputs:
    """The texts of a run, as files of UTF-8 bytes in a scratch directory."""

    directory: Path
    main_name: str  # what the main text is
    main: bytes  # training text of the sweeps and the target problem
    main_corpus: str  # the corpus the main text begins with
    corpora: dict[str, bytes] = field(default_factory=dict)  # per corpus, for the by-corpus tables
    paths: dict[tuple[str, int, int], Path] = field(default_factory=dict)

    def path(self, name: str, size: int, offset: int = 0) -> Path:
        """A file holding `size` bytes of text `name` ("main" or a corpus) from `offset`."""
        if name == self.main_corpus and offset + size <= len(self.corpora[name]):
            name = "main"  # the same bytes: measured once
        key = (name, size, offset)
        if key not in self.paths:
            source = self.main if name == "main" else self.corpora[name]
            start = len(cut(source, offset))
            data = cut(source[start:], size)
            path = self.directory / f"{name}-{offset}-{size}.txt"
            path.write_bytes(data)
            self.paths[key] = path
        return self.paths[key]


def load_inputs(corpora_dir: Path, directory: Path) -> Inputs:
    stdlib = stdlib_sources()
    if not corpora_dir.is_dir():
        return Inputs(directory, "Python standard library sources", stdlib, "python-stdlib",
                      {"python-stdlib": stdlib})
    books = sorted(corpora_dir.glob("gutenberg_*.txt"))
    english = b"".join(path.read_bytes() for path in books)
    code = (corpora_dir / "code_c_sqlite.txt").read_bytes() + (
        corpora_dir / "code_python_stdlib.txt"
    ).read_bytes()
    udhr = (corpora_dir / "udhr_multilingual.txt").read_bytes()
    # Beyond the books (about 19 MB), the main text goes on with the code and the UDHR.
    main = english + code + udhr
    name = (
        f"English books ({len(books)} Project Gutenberg texts, CRLF, {len(english) / MB:.1f} MB; "
        "larger inputs go on with the C/Python code and the UDHR)"
    )
    corpora = {"english": english, "udhr": udhr, "code": code, "python-stdlib": stdlib}
    return Inputs(directory, name, main, "english", corpora)


# ---------------------------------------------------------------------------------------------
# Building pairloom and the plain tool


@dataclass
class Build:
    module_dir: Path | None  # goes first on PYTHONPATH; None: the installed pairloom
    plain_tool: Path
    commit: str
    description: str


# For commits older than the tool's build option.
PLAIN_TOOL_CMAKE = """
# PAIRLOOM_BUILD_BENCH: added by bench/bench.py
add_executable(plain_bpe bench/plain_bpe.cpp)
target_link_libraries(plain_bpe PRIVATE pairloom_engine)
"""


def git(*args: str, cwd: Path = REPO) -> str:
    return subprocess.run(
        ["git", *args], cwd=cwd, check=True, capture_output=True, text=True
    ).stdout.strip()


def build(args: argparse.Namespace) -> Build:
    build_dir = Path(args.build_dir).resolve()
    if args.ref:
        commit = git("rev-parse", args.ref)
        source = build_dir / f"src-{commit[:12]}"
        if not source.exists():
            archive = subprocess.run(
                ["git", "archive", commit], cwd=REPO, check=True, capture_output=True
            ).stdout
            source.mkdir(parents=True)
            with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
                tar.extractall(source, filter="data")
        # The baseline tool comes from this checkout, so an older commit can be measured too.
        shutil.copy2(REPO / "bench" / "plain_bpe.cpp", source / "bench" / "plain_bpe.cpp")
        cmake_lists = source / "CMakeLists.txt"
        if "PAIRLOOM_BUILD_BENCH" not in cmake_lists.read_text():
            with cmake_lists.open("a") as f:
                f.write(PLAIN_TOOL_CMAKE)
        out = build_dir / commit[:12]
        description = f"commit {commit[:12]} ({git('log', '-1', '--format=%s', commit)})"
    else:
        commit = git("rev-parse", "HEAD")
        source = REPO
        out = build_dir
        changed = git("status", "--porcelain", "--", "src", "CMakeLists.txt")
        description = f"working tree at {commit[:12]}" + (
            " with uncommitted changes under src/" if changed else ""
        )
    if not (out / "build.ninja").exists():
        subprocess.run(
            ["cmake", "-S", str(source), "-B", str(out), "-G", "Ninja",
             f"-DPython_EXECUTABLE={sys.executable}", "-DPAIRLOOM_BUILD_BENCH=ON",
             "-DCMAKE_BUILD_TYPE=Release"],
            check=True, stdout=subprocess.DEVNULL,
        )
    targets = ["plain_bpe"] if args.installed else ["plain_bpe", "pairloom"]
    subprocess.run(["ninja", "-C", str(out), *targets], check=True, stdout=subprocess.DEVNULL)
    if args.installed:
        description = "installed pairloom module; plain tool from " + description
    return Build(None if args.installed else out, out / "plain_bpe", commit, description)


# ---------------------------------------------------------------------------------------------
# The worker: one measurement in a fresh process, reporting JSON on its last output line


def status_bytes(field_name: str) -> int:
    match = re.search(field_name + r":\s+(\d+) kB", Path("/proc/self/status").read_text())
    return int(match.group(1)) * 1024 if match else 0


def rss_now() -> int:
    return status_bytes("VmRSS")


def start_peak_window() -> bool:
    """Resets the peak resident set to the current one, so the peak that follows belongs to
    the measured call only; False when the kernel does not allow it."""
    try:
        Path("/proc/self/clear_refs").write_text("5")
        return True
    except OSError:
        return False


def peak_rss() -> int:
    # Not ru_maxrss: after a vfork-and-exec start it also holds the parent's peak.
    return status_bytes("VmHWM") or resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def bytes_to_unicode() -> dict[int, str]:
    """The byte-to-character table of HF's ByteLevel pre-tokenizer: printable bytes stand for
    themselves, the others for characters from U+0100 on."""
    printable = [*range(33, 127), *range(161, 173), *range(174, 256)]
    table = {b: chr(b) for b in printable}
    extra = 0
    for b in range(256):
        if b not in table:
            table[b] = chr(256 + extra)
            extra += 1
    return table


def read_merges(model_path: str) -> list[tuple[int, int]]:
    """The merges of a pairloom model file: after the header, the pattern, the special-token
    count and the special tokens, one "left right" line each, in id order from 256."""
    lines = Path(model_path).read_text(encoding="utf-8").split("\n")
    specials = int(lines[2])
    merges = []
    for line in lines[3 + specials:]:
        if line:
            left, right = line.split()
            merges.append((int(left), int(right)))
    return merges


def token_bytes(merges: list[tuple[int, int]]) -> list[bytes]:
    vocab = [bytes([b]) for b in range(256)]
    for left, right in merges:
        vocab.append(vocab[left] + vocab[right])
    return vocab


def hf_tokenizer_from_merges(merges: list[tuple[int, int]]):
    """A HF BPE tokenizer applying pairloom's merges to the unsplit byte-level text. HF keys its
    vocabulary by token text, so a token whose bytes repeat an earlier token's maps to that
    earlier id."""
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers

    to_char = bytes_to_unicode()
    strings = ["".join(to_char[b] for b in token) for token in token_bytes(merges)]
    vocab: dict[str, int] = {}
    for i, s in enumerate(strings):
        vocab.setdefault(s, i)
    hf_merges = [(strings[left], strings[right]) for left, right in merges]
    tokenizer = Tokenizer(models.BPE(vocab=vocab, merges=hf_merges))
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)
    tokenizer.decoder = decoders.ByteLevel()
    return tokenizer


def tiktoken_from_merges(merges: list[tuple[int, int]]):
    import tiktoken

    ranks: dict[bytes, int] = {}
    for i, token in enumerate(token_bytes(merges)):
        ranks.setdefault(token, i)
    return tiktoken.Encoding(
        name="pairloom-vocab", pat_str=TIKTOKEN_PATTERN, mergeable_ranks=ranks, special_tokens={}
    )


def spm_train_options(vocab: int, text_bytes: int) -> dict:
    return dict(
        model_type="bpe", vocab_size=vocab, byte_fallback=True, character_coverage=1.0,
        split_by_whitespace=False, split_by_unicode_script=False, split_by_number=False,
        split_digits=False, treat_whitespace_as_suffix=False, allow_whitespace_only_pieces=True,
        remove_extra_whitespaces=False, normalization_rule_name="identity",
        add_dummy_prefix=False, max_sentence_length=max(text_bytes + 1, 4192),
        max_sentencepiece_length=512, input_sentence_size=0, shuffle_input_sentence=False,
        hard_vocab_limit=False, bos_id=-1, eos_id=-1, num_threads=1, minloglevel=2,
    )


def load_text(path: str) -> str:
    # Bytes decoded as they are: CRLF line ends stay CRLF.
    return Path(path).read_bytes().decode("utf-8")


def worker_train(job: dict) -> dict:
    system, vocab = job["system"], job["vocab"]
    text = load_text(job["text"])
    if system.startswith("pairloom"):
        import pairloom

        tokenizer = pairloom.BasicTokenizer(num_threads=job["threads"])
        call = lambda: tokenizer.train(text, vocab)  # noqa: E731
    elif system == "hf":
        from tokenizers import Tokenizer, models, pre_tokenizers, trainers

        tokenizer = Tokenizer(models.BPE())
        tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)
        trainer = trainers.BpeTrainer(
            vocab_size=vocab, min_frequency=0, show_progress=False, special_tokens=[],
            initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
        )
        call = lambda: tokenizer.train_from_iterator([text], trainer=trainer)  # noqa: E731
    elif system == "spm":
        import sentencepiece

        model = io.BytesIO()
        options = spm_train_options(vocab, len(text.encode()))

        def call():
            sentencepiece.SentencePieceTrainer.train(
                sentence_iterator=iter([text]), model_writer=model, **options)
    else:
        raise ValueError(system)

    reset = start_peak_window()
    baseline = rss_now()
    cpu, start = time.process_time(), time.perf_counter()
    call()
    wall, cpu = time.perf_counter() - start, time.process_time() - cpu
    result = {"wall": wall, "cpu": cpu, "baseline_rss": baseline, "peak_rss": peak_rss(),
              "peak_window": reset}
    if system.startswith("pairloom") and not text.isascii():
        # The binding's UTF-8 view of a non-ASCII str is a copy that the str keeps.
        result["utf8_copy"] = len(text.encode())
    if job.get("model_out"):
        if system.startswith("pairloom"):
            tokenizer.save_model(job["model_out"])
        elif system == "spm":
            Path(job["model_out"]).write_bytes(model.getvalue())
    if system == "hf":
        result["vocab_size"] = tokenizer.get_vocab_size()
    if system == "spm":
        import sentencepiece

        result["vocab_size"] = sentencepiece.SentencePieceProcessor(
            model_proto=model.getvalue()).get_piece_size()
    return result


def worker_steps(job: dict) -> dict:
    """pairloom's train at vocab_size 256 (no step) and 257 (the first count and one merge),
    with num_threads 1 and 2 in turn in one process, so both see the same load; the
    difference 257 - 256 is the cost of the first step."""
    import pairloom

    text = load_text(job["text"])
    tokenizers = {n: pairloom.BasicTokenizer(num_threads=n) for n in (1, 2)}
    for tokenizer in tokenizers.values():
        tokenizer.train(text, 257)  # warm-up: starts the worker pool, caches the text's UTF-8
    walls = {(n, v): [] for n in (1, 2) for v in (256, 257)}
    cpus = {(n, v): [] for n in (1, 2) for v in (256, 257)}
    for _ in range(job["repeats"]):
        for n, tokenizer in tokenizers.items():
            for vocab in (256, 257):
                cpu, start = time.process_time(), time.perf_counter()
                tokenizer.train(text, vocab)
                walls[n, vocab].append(time.perf_counter() - start)
                cpus[n, vocab].append(time.process_time() - cpu)
    result = {}
    for n in (1, 2):
        result[f"wall_{n}"] = statistics.median(
            b - a for a, b in zip(walls[n, 256], walls[n, 257]))
        result[f"cpu_{n}"] = statistics.median(b - a for a, b in zip(cpus[n, 256], cpus[n, 257]))
    return result


def make_encoder(system: str, model: str):
    if system == "pairloom":
        import pairloom

        tokenizer = pairloom.BasicTokenizer()
        tokenizer.load(model)
        return tokenizer.encode
    if system == "hf":
        tokenizer = hf_tokenizer_from_merges(read_merges(model))
        return lambda text: tokenizer.encode(text, add_special_tokens=False).ids
    if system == "tiktoken":
        return tiktoken_from_merges(read_merges(model)).encode_ordinary
    if system == "spm":
        import sentencepiece

        processor = sentencepiece.SentencePieceProcessor(model_file=model)
        return processor.encode
    raise ValueError(system)


def worker_encode(job: dict) -> dict:
    text = load_text(job["text"])
    encode = make_encoder(job["system"], job["model"])
    encode(text[:1000])  # warm-up: first-call set-up is not part of the throughput
    reset = start_peak_window()
    baseline = rss_now()
    walls, cpus = [], []
    while True:
        cpu, start = time.process_time(), time.perf_counter()
        ids = encode(text)
        walls.append(time.perf_counter() - start)
        cpus.append(time.process_time() - cpu)
        total = sum(walls)
        if total >= job["seconds"] and (len(walls) >= 3 or total >= 3 * job["seconds"]):
            break
        del ids
    result = {"wall": statistics.median(walls), "cpu": statistics.median(cpus),
              "calls": len(walls), "tokens": len(ids), "baseline_rss": baseline,
              "peak_rss": peak_rss(), "peak_window": reset}
    if job.get("ids_out"):
        Path(job["ids_out"]).write_bytes(array.array("I", ids).tobytes())
    return result


def worker_agreement(job: dict) -> dict:
    """Encodes each text with pairloom and with HF's BPE model holding pairloom's merges."""
    import pairloom

    merges = read_merges(job["model"])
    tokens = token_bytes(merges)
    first_with_bytes: dict[bytes, int] = {}
    canonical = [first_with_bytes.setdefault(token, i) for i, token in enumerate(tokens)]
    tokenizer = pairloom.BasicTokenizer()
    tokenizer.load(job["model"])
    hf = hf_tokenizer_from_merges(merges)
    checks = []
    for name, path in job["texts"]:
        text = load_text(path)
        ours = tokenizer.encode(text)
        theirs = hf.encode(text, add_special_tokens=False).ids
        checks.append({
            "text": name, "tokens": len(ours), "hf_tokens": len(theirs),
            "identical": ours == theirs,
            # Equal once every token is named by the first id with its bytes.
            "identical_by_bytes": [canonical[i] for i in ours] == theirs,
            "same_bytes": b"".join(tokens[i] for i in ours) == text.encode(),
        })
    duplicates = len(tokens) - len(first_with_bytes)
    return {"checks": checks, "duplicate_tokens": duplicates}


def worker_main(job: dict) -> None:
    kind = job["kind"]
    handler = {"train": worker_train, "steps": worker_steps, "encode": worker_encode,
               "agreement": worker_agreement}[kind]
    result = handler(job)
    result["load"] = os.getloadavg()[0]
    print(json.dumps(result), flush=True)


# ---------------------------------------------------------------------------------------------
# Running measurements


@dataclass
class Result:
    """One measurement: the median over its runs, or why there is none."""

    status: str  # "ok", "timeout", "skipped" (a smaller input already took too long), "error"
    wall: float = math.nan
    cpu: float = math.nan
    memory: float = math.nan  # peak minus baseline resident bytes
    timeout: float = math.nan
    runs: int = 0
    text_bytes: int = 0
    extra: dict = field(default_factory=dict)
    error: str = ""

    @property
    def ok(self) -> bool:
        return self.status == "ok"

    def seconds(self) -> str:
        if self.ok:
            return f"{self.wall:.3g} s" if self.wall < 100 else f"{self.wall:.0f} s"
        if self.status in ("timeout", "skipped"):
            return f"> {self.timeout:g} s"
        return "error"

    def lower_bound(self) -> float:
        """The time, or the least it would take."""
        return self.wall if self.ok else self.timeout


class Runner:
    def __init__(self, settings: Settings, built: Build, inputs: Inputs, scratch: Path):
        self.settings = settings
        self.built = built
        self.inputs = inputs
        self.scratch = scratch
        self.results: dict[str, Result] = {}
        self.loads: list[float] = []
        self.env = dict(os.environ)
        if built.module_dir is not None:
            self.env["PYTHONPATH"] = os.pathsep.join(
                [str(built.module_dir), *filter(None, [os.environ.get("PYTHONPATH")])])

    def python_job(self, job: dict, timeout: float) -> dict:
        command = [sys.executable, str(Path(__file__).resolve()), "--worker", json.dumps(job)]
        return self.subprocess(command, timeout)

    def subprocess(self, command: list[str], timeout: float) -> dict:
        self.loads.append(os.getloadavg()[0])
        done = subprocess.run(command, env=self.env, capture_output=True, text=True,
                              timeout=timeout)
        if done.returncode != 0:
            raise RuntimeError((done.stderr.strip().splitlines() or ["failed"])[-1][:300])
        return json.loads(done.stdout.strip().splitlines()[-1])

    def plain_job(self, job: dict, timeout: float) -> dict:
        if job["kind"] == "train":
            command = [str(self.built.plain_tool), "train", job["text"], str(job["vocab"]),
                       job.get("model_out") or os.devnull]
        else:
            command = [str(self.built.plain_tool), "encode", job["text"], job["merges"],
                       str(job["seconds"]), *([job["ids_out"]] if job.get("ids_out") else [])]
        return self.subprocess(command, timeout)

    def measure(self, key: str, job: dict, timeout: float, repeats: int | None = None,
                skip_from: Result | None = None, skip_factor: float = 1.0) -> Result:
        """Runs `job` in fresh processes and keeps the medians. `skip_from`: the same system on
        a smaller problem; when that timed out, or took longer than timeout / skip_factor
        (the time grows at least by that factor), this one is not run and counts as over the
        timeout."""
        if key in self.results:
            return self.results[key]
        text_bytes = Path(job["text"]).stat().st_size
        if skip_from is not None and (
            skip_from.status in ("timeout", "skipped")
            or (skip_from.ok and skip_from.wall * skip_factor > timeout)
        ):
            result = Result("skipped", timeout=timeout, text_bytes=text_bytes)
            self.results[key] = result
            print(f"  {key}: skipped (> {timeout:g} s expected)", flush=True)
            return result
        runs: list[dict] = []
        failure = None
        limit = repeats or self.settings.max_repeats
        while len(runs) < limit and failure is None:
            failure = self.run_once(job, timeout, runs)
            # Slow runs are not repeated: their noise is small next to their length.
            if runs and repeats is None and runs[0]["wall"] > 10:
                break
        return self.keep(key, runs, failure, timeout, text_bytes)

    def round_robin(self, jobs: dict[str, tuple[dict, float]], rounds: int) -> dict[str, Result]:
        """Runs each job once per round, in turn, so a load that changes meanwhile weighs on
        all of them alike; medians per job."""
        runs: dict[str, list[dict]] = {key: [] for key in jobs}
        failures: dict[str, Result | None] = {key: None for key in jobs}
        for _ in range(rounds):
            for key, (job, timeout) in jobs.items():
                if failures[key] is None:
                    failures[key] = self.run_once(job, timeout, runs[key])
        return {key: self.keep(key, runs[key], failures[key], timeout,
                               Path(job["text"]).stat().st_size)
                for key, (job, timeout) in jobs.items()}

    def run_once(self, job: dict, timeout: float, runs: list[dict]) -> Result | None:
        """One fresh process: appends its report to `runs`, or returns why there is none."""
        try:
            if job["system"] == "plain":
                runs.append(self.plain_job(job, timeout))
            else:
                runs.append(self.python_job(job, timeout))
            return None
        except subprocess.TimeoutExpired:
            return Result("timeout", timeout=timeout)
        except RuntimeError as error:
            return Result("error", error=str(error))

    def keep(self, key: str, runs: list[dict], failure: Result | None, timeout: float,
             text_bytes: int) -> Result:
        """The medians of `runs` (a failure after a successful run only ends the repeats)."""
        if not runs:
            result = failure or Result("error", error="not run")
            result.text_bytes = text_bytes
            detail = f"> {timeout:g} s" if result.status == "timeout" else f"error: {result.error}"
        else:
            result = Result(
                "ok",
                wall=statistics.median(r["wall"] for r in runs),
                cpu=statistics.median(r["cpu"] for r in runs),
                runs=len(runs),
                timeout=timeout,
                text_bytes=text_bytes,
                extra={k: v for k, v in runs[0].items()
                       if k not in ("wall", "cpu", "baseline_rss", "peak_rss")},
            )
            if "peak_rss" in runs[0]:
                result.memory = statistics.median(r["peak_rss"] - r["baseline_rss"] for r in runs)
            detail = f"{result.seconds()} (cpu {result.cpu:.3g} s, {result.runs} run(s))"
        self.results[key] = result
        print(f"  {key}: {detail}", flush=True)
        return result

    # -- one kind of measurement each

    @staticmethod
    def train_job(system: str, text: Path, vocab: int) -> dict:
        return {"kind": "train", "system": system, "text": str(text), "vocab": vocab,
                "threads": 2 if system == "pairloom2" else 1}

    def encode_job(self, system: str, text: Path, model: Path) -> dict:
        return {"kind": "encode", "system": system, "text": str(text), "model": str(model),
                "merges": str(model), "seconds": self.settings.encode_seconds}

    def train(self, system: str, text: Path, vocab: int, timeout: float, **kw) -> Result:
        job = self.train_job(system, text, vocab)
        if "model_out" in kw:
            job["model_out"] = str(kw.pop("model_out"))
        return self.measure(f"train/{system}/{text.name}/{vocab}", job, timeout, **kw)

    def encode(self, system: str, text: Path, model: Path, timeout: float, **kw) -> Result:
        job = self.encode_job(system, text, model)
        if "ids_out" in kw:
            job["ids_out"] = str(kw.pop("ids_out"))
        return self.measure(f"encode/{system}/{text.name}", job, timeout, repeats=1, **kw)


# ---------------------------------------------------------------------------------------------
# The stages of a run


def available_systems() -> tuple[list[str], dict[str, str]]:
    systems, versions = ["pairloom", "plain"], {}
    for system, package in PYTHON_PEERS.items():
        try:
            versions[package] = importlib.metadata.version(package)
            systems.append(system)
        except importlib.metadata.PackageNotFoundError:
            print(f"{package} is not installed: {SYSTEM_LABELS[system]} is left out")
    return systems, versions


def settle(longest: float, quiet: float = 0.3) -> None:
    """Waits until the 1-minute load average falls below `quiet`, for at most `longest` s."""
    deadline = time.monotonic() + longest
    while os.getloadavg()[0] >= quiet and time.monotonic() < deadline:
        time.sleep(1)


def scaling_sizes(settings: Settings) -> tuple[int, int]:
    """The text sizes whose training times make the 10x-the-text target."""
    return (50 * KB, 500 * KB) if settings.quick else (1 * MB, 10 * MB)


def encode_scaling_sizes(settings: Settings) -> tuple[int, int]:
    """The text sizes whose encoding times make the 10x-the-text target."""
    return (100 * KB, 1 * MB) if settings.quick else (1 * MB, 10 * MB)


def timeout_for(system: str, settings: Settings) -> float:
    return settings.pairloom_timeout if system.startswith("pairloom") else settings.timeout


def write_merges_file(model: Path, out: Path) -> Path:
    out.write_text("".join(f"{a} {b}\n" for a, b in read_merges(str(model))))
    return out


def run_stages(runner: Runner, systems: list[str]) -> dict:
    s, inputs, scratch = runner.settings, runner.inputs, runner.scratch
    trainers = [x for x in ["pairloom", "plain", "hf", "spm"] if x in systems]
    report: dict = {}

    # 1. The target problem, which also yields the vocabularies for encoding.
    print(f"training {size_label(s.target_bytes)} to vocab_size {s.target_vocab}", flush=True)
    target_text = inputs.path("main", s.target_bytes)
    models = {"pairloom": scratch / "pairloom.model", "spm": scratch / "spm.model"}
    target = {}
    for system in ["pairloom", "pairloom2", "plain", "hf", "spm"]:
        if system not in systems and system != "pairloom2":
            continue
        timeout = {"hf": s.hf_target_timeout, "spm": s.timeout}.get(system, s.target_timeout)
        kw = {}
        if system in ("pairloom", "spm"):
            kw["model_out"] = models[system]
        if system == "plain":
            kw["model_out"] = scratch / "plain.merges"
        target[system] = runner.train(system, target_text, s.target_vocab, timeout, **kw)
    report["target"] = target
    if not models["pairloom"].exists():
        raise SystemExit("pairloom's training on the target problem failed; nothing to encode")
    plain_merges = scratch / "plain.merges"
    pairloom_merges = write_merges_file(models["pairloom"], scratch / "pairloom.merges")
    report["plain_same_merges"] = (
        plain_merges.exists() and plain_merges.read_text() == pairloom_merges.read_text()
        if target["plain"].ok else None)

    # 2. Training time against vocabulary size.
    print(f"training time vs vocab_size ({size_label(s.sweep_vocab_bytes)})", flush=True)
    sweep_text = inputs.path("main", s.sweep_vocab_bytes)
    by_vocab: dict[str, dict[int, Result]] = {}
    for system in trainers:
        by_vocab[system] = {}
        previous = None
        for vocab in s.sweep_vocabs:
            previous = by_vocab[system][vocab] = runner.train(
                system, sweep_text, vocab, timeout_for(system, s), skip_from=previous)
    report["by_vocab"] = by_vocab

    # 3. Training time against text size.
    print(f"training time vs text size (vocab_size {s.target_vocab})", flush=True)
    by_size: dict[str, dict[int, Result]] = {}
    for system in trainers:
        by_size[system] = {}
        previous, previous_size = None, 0
        for size in s.sweep_sizes:
            timeout = timeout_for(system, s)
            if size == s.target_bytes and target.get(system) is not None:
                result = target[system]  # the same measurement, already made
            else:
                result = runner.train(system, inputs.path("main", size), s.target_vocab, timeout,
                                      skip_from=previous,
                                      skip_factor=size / previous_size if previous_size else 1)
            by_size[system][size] = result
            previous, previous_size = result, size
    report["by_size"] = by_size

    # 4. num_threads 2 against 1: the first step alone (a count and a merge) and a whole
    #    training; the engine's count on its own comes from the plain tool.
    print("num_threads 1 and 2", flush=True)
    # The peers' big runs just before leave the kernel reclaiming their memory on some core
    # for a while; a two-thread measurement needs both cores, so it waits for a quiet machine.
    settle(0 if s.quick else 90)
    job = {"kind": "steps", "system": "pairloom-steps", "text": str(target_text),
           "repeats": 3 if s.quick else 15}
    try:
        steps = runner.python_job(job, s.pairloom_timeout)
        threads = {n: Result("ok", wall=steps[f"wall_{n}"], cpu=steps[f"cpu_{n}"], runs=1,
                             text_bytes=s.target_bytes, extra={"load": steps["load"]})
                   for n in (1, 2)}
        print(f"  first step: {steps}", flush=True)
    except subprocess.TimeoutExpired:
        threads = {n: Result("timeout", timeout=s.pairloom_timeout) for n in (1, 2)}
    except RuntimeError as error:
        threads = {n: Result("error", error=str(error)) for n in (1, 2)}
    try:
        done = subprocess.run([str(runner.built.plain_tool), "count", str(target_text), "2",
                               "5" if s.quick else "21"],
                              capture_output=True, text=True, timeout=s.pairloom_timeout,
                              check=True)
        threads["engine_count"] = json.loads(done.stdout)
        print(f"  engine count: {threads['engine_count']}", flush=True)
    except (subprocess.SubprocessError, ValueError) as error:
        threads["engine_count"] = {"error": str(error)}
    report["threads"] = threads

    # 5. Training by corpus.
    print(f"training by corpus ({size_label(s.corpus_bytes)}, vocab_size {s.target_vocab})",
          flush=True)
    by_corpus: dict[str, dict[str, Result]] = {}
    for corpus in inputs.corpora:
        by_corpus[corpus] = {}
        text = inputs.path(corpus, s.corpus_bytes)
        for system in [x for x in trainers if x != "hf"]:
            by_corpus[corpus][system] = runner.train(system, text, s.target_vocab,
                                                     timeout_for(system, s))
    report["by_corpus"] = by_corpus

    # 6. Encoding throughput with the target problem's vocabulary, on held-out text.
    print("encoding throughput", flush=True)
    encoders = [x for x in ["pairloom", "plain", "hf", "tiktoken", "spm"] if x in systems]
    if not models["spm"].exists():
        encoders = [x for x in encoders if x != "spm"]
    by_encode_size: dict[str, dict[int, Result]] = {}
    for system in encoders:
        by_encode_size[system] = {}
        previous, previous_size = None, 0
        for size in s.encode_sizes:
            text = inputs.path("main", size, offset=s.target_bytes)
            model = {"spm": models["spm"], "plain": pairloom_merges}.get(system,
                                                                         models["pairloom"])
            kw = {}
            if system in ("pairloom", "plain") and size <= MB:
                kw["ids_out"] = scratch / f"{system}-{size}.ids"
            previous = by_encode_size[system][size] = runner.encode(
                system, text, model, timeout_for(system, s), skip_from=previous,
                skip_factor=size / previous_size if previous_size else 1, **kw)
            previous_size = size
    report["by_encode_size"] = by_encode_size
    same = [(scratch / f"plain-{n}.ids").read_bytes() == (scratch / f"pairloom-{n}.ids").read_bytes()
            for n in s.encode_sizes
            if (scratch / f"plain-{n}.ids").exists() and (scratch / f"pairloom-{n}.ids").exists()]
    report["plain_same_ids"] = all(same) if same else None

    encode_corpus: dict[str, dict[str, Result]] = {}
    for corpus in inputs.corpora:
        encode_corpus[corpus] = {}
        offset = s.target_bytes if corpus == "english" else 0
        text = inputs.path(corpus, s.corpus_bytes, offset=offset)
        for system in encoders:
            model = {"spm": models["spm"], "plain": pairloom_merges}.get(system,
                                                                         models["pairloom"])
            encode_corpus[corpus][system] = runner.encode(system, text, model,
                                                          timeout_for(system, s))
    report["encode_corpus"] = encode_corpus

    # 7. The targets' comparisons once more, run in turn so that they share the load.
    print("paired runs for the targets", flush=True)
    rounds = 1 if s.quick else 5
    small, large = scaling_sizes(s)
    paired = runner.round_robin({
        f"paired/train {size_label(n)}": (runner.train_job("pairloom", inputs.path("main", n),
                                               s.target_vocab), s.pairloom_timeout)
        for n in (small, large)}, rounds)
    size = MB if MB in s.encode_sizes else s.encode_sizes[-1]
    text = inputs.path("main", size, offset=s.target_bytes)
    paired.update(runner.round_robin({
        f"paired/encode {size_label(size)} {system}": (runner.encode_job(system, text, models["pairloom"]),
                                    timeout_for(system, s))
        for system in ("pairloom", "tiktoken", "hf") if system in encoders}, rounds))
    paired.update(runner.round_robin({
        f"paired/encode {size_label(n)} pairloom": (
            runner.encode_job("pairloom", inputs.path("main", n, offset=s.target_bytes),
                              models["pairloom"]), timeout_for("pairloom", s))
        for n in encode_scaling_sizes(s) if n != size}, rounds))
    report["paired"] = paired

    # 8. Does HF's BPE model give pairloom's ids for pairloom's merges?
    if "hf" in systems:
        print("HF agreement", flush=True)
        texts = [(f"held-out main text, {size_label(n)}",
                  str(inputs.path("main", n, offset=s.target_bytes)))
                 for n in s.encode_sizes if n <= MB]
        texts += [(f"{corpus}, {size_label(s.corpus_bytes)}",
                   str(inputs.path(corpus, s.corpus_bytes)))
                  for corpus in inputs.corpora if corpus != "english"]
        job = {"kind": "agreement", "system": "agreement", "model": str(models["pairloom"]),
               "texts": texts, "text": texts[0][1]}
        try:
            report["hf_agreement"] = runner.python_job(job, 4 * s.pairloom_timeout)
        except (subprocess.TimeoutExpired, RuntimeError) as error:
            report["hf_agreement"] = {"error": str(error)}
    return report


# ---------------------------------------------------------------------------------------------
# Targets


@dataclass
class Target:
    name: str
    measured: str
    ratio: float  # measured value; nan when unknown
    bound: str  # "=": exact, ">": at least `ratio`, "<": at most `ratio`
    goal: float
    larger_is_better: bool
    note: str = ""
    cpu_ratio: float = math.nan  # the same from CPU times, less disturbed by a busy machine
    timed: bool = True  # False: not a time, so CPU time does not apply

    def cpu_verdict(self) -> str:
        """The verdict by CPU time; "–" where CPU time says nothing (several threads)."""
        if not self.timed:
            return self.verdict()
        if math.isnan(self.cpu_ratio):
            return "–"
        good = (self.cpu_ratio >= self.goal if self.larger_is_better
                else self.cpu_ratio <= self.goal)
        return "met" if good else "not met"

    def verdict(self) -> str:
        if math.isnan(self.ratio):
            return "not met (not measured)"
        good = self.ratio >= self.goal if self.larger_is_better else self.ratio <= self.goal
        if self.bound == "=":
            return "met" if good else "not met"
        # A bound decides only when it lies on the deciding side of the goal.
        if self.bound == ">" and self.larger_is_better and good:
            return "met"
        if self.bound == "<" and not self.larger_is_better and good:
            return "met"
        if self.bound == "<" and self.larger_is_better and not good:
            return "not met"
        if self.bound == ">" and not self.larger_is_better and not good:
            return "not met"
        return "not met (undecided: " + (self.note or "bound only") + ")"

    def ratio_text(self) -> str:
        if math.isnan(self.ratio):
            return "n/a"
        prefix = {"=": "", ">": "> ", "<": "< "}[self.bound]
        return f"{prefix}{self.ratio:.3g}"

    def cpu_text(self) -> str:
        if not self.timed:
            return self.ratio_text()
        return "–" if math.isnan(self.cpu_ratio) else f"{self.cpu_ratio:.3g}"


def power_fit(points: dict[int, Result]) -> tuple[float, float] | None:
    """(a, k) of time = a * size^k through the measured points, or None for fewer than two."""
    xs = [(math.log(n), math.log(r.wall)) for n, r in points.items() if r.ok and r.wall > 0]
    if len(xs) < 2:
        return None
    mx = statistics.fmean(x for x, _ in xs)
    my = statistics.fmean(y for _, y in xs)
    k = sum((x - mx) * (y - my) for x, y in xs) / sum((x - mx) ** 2 for x, _ in xs)
    return math.exp(my - k * mx), k


def ratio_of(slow: Result, fast: Result) -> tuple[float, str]:
    """slow / fast with what is known about it."""
    if slow.ok and fast.ok:
        return slow.wall / fast.wall, "="
    if not slow.ok and slow.status != "error" and fast.ok:
        return slow.timeout / fast.wall, ">"
    if slow.ok and not fast.ok and fast.status != "error":
        return slow.wall / fast.timeout, "<"
    return math.nan, "="


def cpu_ratio(slow: Result, fast: Result) -> float:
    return slow.cpu / fast.cpu if slow.ok and fast.ok and fast.cpu > 0 else math.nan


def targets(report: dict, settings: Settings) -> list[Target]:
    t = report["target"]
    ours = t["pairloom"]
    problem = f"{size_label(settings.target_bytes)}, vocab {settings.target_vocab}"
    found = []

    ratio, bound = ratio_of(t["plain"], ours)
    found.append(Target(f"training {problem}: speed-up over the plain algorithm",
                        f"{t['plain'].seconds()} / {ours.seconds()}", ratio, bound, 30, True,
                        cpu_ratio=cpu_ratio(t["plain"], ours)))

    if "hf" in t:
        ratio, bound = ratio_of(t["hf"], ours)
        note = ""
        fit = power_fit(report["by_size"].get("hf", {}))
        if bound == ">" and ratio < 10 and fit and ours.ok:
            a, k = fit
            estimate = a * settings.target_bytes ** k
            note = (f"HF extrapolated from its smaller runs (time ~ size^{k:.2f}): "
                    f"~{estimate:.3g} s, ratio ~{estimate / ours.wall:.3g}")
        found.append(Target(f"training {problem}: speed-up over HF tokenizers (unsplit)",
                            f"{t['hf'].seconds()} / {ours.seconds()}", ratio, bound, 10, True,
                            note, cpu_ratio(t["hf"], ours)))

    if ours.ok:
        rate, bound = settings.target_bytes / MB / ours.wall, "="
    else:
        rate, bound = (settings.target_bytes / MB / ours.timeout, "<") if ours.status != "error" \
            else (math.nan, "=")
    found.append(Target(f"training {problem}: MB/s of input, 1 thread, end to end",
                        ours.seconds(), rate, bound, 15, True,
                        cpu_ratio=settings.target_bytes / MB / ours.cpu if ours.ok else math.nan))

    for system in ("pairloom", "pairloom2"):
        r = t.get(system)
        if r is not None:
            per_byte = r.memory / r.text_bytes if r.ok else math.nan
            note = ""
            utf8 = r.extra.get("utf8_copy", 0)
            if r.ok and utf8:
                note = (f"{SYSTEM_LABELS[system]}: {utf8 / r.text_bytes:.1f} byte per byte of "
                        "that is the UTF-8 copy CPython caches in a non-ASCII str on its first "
                        f"conversion; without it {(r.memory - utf8) / r.text_bytes:.1f}")
            found.append(Target(f"training {problem}: peak bytes per byte of text "
                                f"({SYSTEM_LABELS[system]})",
                                f"{r.memory / MB:.1f} MB" if r.ok else r.seconds(),
                                per_byte, "=", 24, False, note, timed=False))

    # The encoding and scaling targets come from the paired runs, which share the load.
    paired = report.get("paired", {})
    size = MB if MB in settings.encode_sizes else settings.encode_sizes[-1]
    ours = paired.get(f"paired/encode {size_label(size)} pairloom")
    for peer, goal in (("tiktoken", 3), ("hf", 5)):
        theirs = paired.get(f"paired/encode {size_label(size)} {peer}")
        if ours is not None and theirs is not None:
            ratio, bound = ratio_of(theirs, ours)
            found.append(Target(
                f"encoding {size_label(size)}: throughput over {SYSTEM_LABELS[peer]}",
                f"{throughput(ours)} vs {throughput(theirs)}", ratio, bound, goal, True,
                cpu_ratio=cpu_ratio(theirs, ours)))

    def scaling(what: str, key: str, sizes: tuple[int, int], note: str = "") -> None:
        runs = {n: paired[key.format(size_label(n))] for n in sizes
                if key.format(size_label(n)) in paired}
        if len(runs) == 2:
            small, large = sizes
            ratio, bound = ratio_of(runs[large], runs[small])
            found.append(Target(f"{what} {size_label(large)} vs {size_label(small)}{note}: "
                                "time ratio for 10x the text",
                                f"{runs[large].seconds()} / {runs[small].seconds()}",
                                ratio, bound, 12, False,
                                cpu_ratio=cpu_ratio(runs[large], runs[small])))

    scaling("training", "paired/train {}", scaling_sizes(settings),
            f" (vocab {settings.target_vocab})")
    scaling("encoding", "paired/encode {} pairloom", encode_scaling_sizes(settings))

    steps = report["threads"]
    both = steps[1].ok and steps[2].ok
    found.append(Target(
        f"first training step (count + one merge), {size_label(settings.target_bytes)}: "
        "num_threads 2 over 1",
        f"{steps[1].wall * 1e3:.1f} ms / {steps[2].wall * 1e3:.1f} ms" if both else "failed",
        steps[1].wall / steps[2].wall if both else math.nan, "=", 1.6, True))
    return found


def throughput(result: Result) -> str:
    if result.ok:
        return f"{result.text_bytes / MB / result.wall:.3g} MB/s"
    if result.status in ("timeout", "skipped"):
        return f"< {result.text_bytes / MB / result.timeout:.2g} MB/s"
    return "error"


# ---------------------------------------------------------------------------------------------
# Report: Markdown, plots, console


def memory_per_byte(result: Result) -> str:
    if not result.ok or math.isnan(result.memory):
        return "–"
    return f"{result.memory / result.text_bytes:.1f}"


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def machine_description() -> str:
    model = "unknown CPU"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    return (f"{model}, {os.cpu_count()} logical CPUs, {platform.system()} {platform.release()}, "
            f"CPython {platform.python_version()}")


def markdown(report: dict, meta: dict, found: list[Target], settings: Settings) -> str:
    out = ["# pairloom benchmark results", ""]
    out += [f"- Measured: {meta['date']}, {meta['mode']} run, {meta['duration']:.0f} s in all",
            f"- pairloom: {meta['build']}",
            f"- Machine: {meta['machine']}",
            f"- Load (1-minute average when each run started): {meta['load']}",
            f"- Peers: {meta['versions']}",
            f"- Text: {meta['text']}",
            "- Times are medians of fresh processes (up to "
            f"{settings.max_repeats} per training measurement); wall time unless marked CPU. "
            "Memory: peak resident bytes during the call above the process's resident set "
            "just before it (interpreter, libraries and text loaded), per byte of text.",
            ""]

    out += ["## Targets", "",
            "Each value from wall time and from CPU time (user + system, all threads): on a "
            "machine busy with other work, wall time of single-threaded work stretches by "
            "the load while CPU time does not.", "", table(
        ["target", "measured (wall)", "value (wall)", "value (CPU)", "goal", "verdict (wall)",
         "verdict (CPU)"],
        [[t.name, t.measured, t.ratio_text(), t.cpu_text(),
          ("≥ " if t.larger_is_better else "≤ ") + f"{t.goal:g}", t.verdict(), t.cpu_verdict()]
         for t in found])]
    notes = [t.note for t in found if t.note]
    if notes:
        out += [""] + [f"- {n}" for n in notes]
    paired = report.get("paired", {})
    if paired:
        rounds = max(r.runs for r in paired.values())
        out += ["", "The encoding and scaling targets come from runs made in turn (up to "
                f"{rounds} rounds of fresh processes), so that a changing load weighs on each "
                "alike:", "",
                table(["run", "wall", "CPU", "runs"],
                      [[key.removeprefix("paired/"), r.seconds(),
                        f"{r.cpu:.3g} s" if r.ok else "–", str(r.runs)]
                       for key, r in paired.items()])]

    t = report["target"]
    problem = f"{size_label(settings.target_bytes)} of the main text, vocab_size {settings.target_vocab}"
    out += ["", f"## Training: {problem}", "", table(
        ["system", "wall", "CPU", "MB/s", "peak bytes / text byte", "runs"],
        [[SYSTEM_LABELS[name], r.seconds(), f"{r.cpu:.3g} s" if r.ok else "–",
          f"{r.text_bytes / MB / r.wall:.3g}" if r.ok else "–", memory_per_byte(r),
          str(r.runs) if r.ok else "–"] for name, r in t.items()])]
    same = report.get("plain_same_merges")
    out += ["", "The plain algorithm learned "
            + {True: "exactly pairloom's merges.", False: "**different merges** from pairloom.",
               None: "no comparable merges (it did not finish)."}[same]]

    out += ["", f"## Training time against vocab_size ({size_label(settings.sweep_vocab_bytes)})",
            "", table(["system", *map(str, settings.sweep_vocabs)],
                      [[SYSTEM_LABELS[name], *(r.seconds() for r in row.values())]
                       for name, row in report["by_vocab"].items()])]

    out += ["", f"## Training time against text size (vocab_size {settings.target_vocab})", "",
            table(["system", *map(size_label, settings.sweep_sizes)],
                  [[SYSTEM_LABELS[name], *(r.seconds() for r in row.values())]
                   for name, row in report["by_size"].items()])]
    out += ["", "Peak bytes per byte of text in the same runs:", "",
            table(["system", *map(size_label, settings.sweep_sizes)],
                  [[SYSTEM_LABELS[name], *(memory_per_byte(r) for r in row.values())]
                   for name, row in report["by_size"].items()])]

    steps = report["threads"]
    rows = []
    for n in (1, 2):
        r = steps[n]
        rows.append([f"pairloom num_threads {n}: train(257) − train(256)",
                     f"{r.wall * 1e3:.1f} ms" if r.ok else r.seconds(),
                     f"{r.cpu * 1e3:.1f} ms" if r.ok else "–"])
    for n, name in ((1, "pairloom"), (2, "pairloom2")):
        r = t.get(name)
        if r is not None:
            rows.append([f"pairloom num_threads {n}: whole training, {problem}", r.seconds(),
                         f"{r.cpu:.3g} s" if r.ok else "–"])
    count = steps.get("engine_count", {})
    if "serial" in count:
        rows.append(["engine count_pairs (1 thread)", f"{count['serial'] * 1e3:.1f} ms",
                     f"{count['serial_cpu'] * 1e3:.1f} ms"])
        rows.append(["engine parallel_count_pairs (2 chunks)",
                     f"{count['parallel'] * 1e3:.1f} ms", f"{count['parallel_cpu'] * 1e3:.1f} ms"])
    out += ["", f"## num_threads 2 against 1 ({size_label(settings.target_bytes)})", "",
            table(["measurement", "wall", "CPU"], rows)]
    if steps[1].ok and steps[2].ok:
        out += ["", f"Speed-up of the first step with 2 threads: "
                f"{steps[1].wall / steps[2].wall:.2f}× (1-minute load average "
                f"{steps[2].extra.get('load', math.nan):.2f} when measured; a busy second core "
                "hides the gain)."]
    if "serial" in count:
        out += [f"Speed-up of the engine's count alone with 2 chunks: "
                f"{count['serial'] / count['parallel']:.2f}×."]

    corpora = report["by_corpus"]
    systems = list(next(iter(corpora.values())).keys())
    out += ["", f"## Training by corpus ({size_label(settings.corpus_bytes)}, "
            f"vocab_size {settings.target_vocab})", "",
            table(["corpus", *(SYSTEM_LABELS[x] for x in systems)],
                  [[corpus, *(f"{r.seconds()} ({memory_per_byte(r)} B/B)" for r in row.values())]
                   for corpus, row in corpora.items()])]

    enc = report["by_encode_size"]
    out += ["", "## Encoding throughput (MB/s), vocabulary of the target problem", "",
            "Held-out text: the main text after the training part. pairloom, plain, HF and "
            "tiktoken use pairloom's vocabulary; SentencePiece its own of the same size.", "",
            table(["system", *map(size_label, settings.encode_sizes)],
                  [[SYSTEM_LABELS[name], *(throughput(r) for r in row.values())]
                   for name, row in enc.items()])]
    # Below 100 KB the page-sized steps of the resident set swamp the text.
    sizes = [n for n in settings.encode_sizes if n >= 100 * KB]
    out += ["", "Peak bytes per byte of text while encoding:", "",
            table(["system", *map(size_label, sizes)],
                  [[SYSTEM_LABELS[name], *(memory_per_byte(row[n]) for n in sizes)]
                   for name, row in enc.items()])]
    corpora = report["encode_corpus"]
    systems = list(next(iter(corpora.values())).keys())
    out += ["", f"Encoding {size_label(settings.corpus_bytes)} of each corpus with the same "
            "vocabulary (MB/s):", "",
            table(["corpus", *(SYSTEM_LABELS[x] for x in systems)],
                  [[corpus, *(throughput(r) for r in row.values())]
                   for corpus, row in corpora.items()])]
    same = report.get("plain_same_ids")
    out += ["", "The plain algorithm's encodings "
            + {True: "equal pairloom's.", False: "**differ** from pairloom's.",
               None: "were not compared."}[same]]

    agreement = report.get("hf_agreement")
    if agreement:
        out += ["", "## HF tokenizers with pairloom's merges", ""]
        if "error" in agreement:
            out += [f"Not checked: {agreement['error']}"]
        else:
            duplicates = agreement["duplicate_tokens"]
            out += [f"pairloom's vocabulary holds {duplicates} token(s) whose bytes repeat an "
                    "earlier token's. HF keys its vocabulary by token text, so it could not "
                    "name such tokens by their own ids; the last column compares with each "
                    "named by the first id with its bytes." if duplicates else
                    "No token of pairloom's vocabulary repeats another's bytes, so HF's "
                    "text-keyed vocabulary names every token by pairloom's id.", "",
                    table(["text", "pairloom tokens", "HF tokens", "identical ids",
                           "identical up to repeated tokens"],
                          [[c["text"], f"{c['tokens']:,}", f"{c['hf_tokens']:,}",
                            "yes" if c["identical"] else "no",
                            "yes" if c["identical_by_bytes"] else "no"]
                           for c in agreement["checks"]])]

    out += ["", "## Setup notes", "",
            "- plain algorithm: bench/plain_bpe.cpp on the engine's count_pairs, "
            "most_common_pair and merge_pair; every training step recounts every pair, every "
            "encoding round too.",
            "- HF tokenizers: BpeTrainer with the 256-byte alphabet, ByteLevel pre-tokenizer "
            "with use_regex=False (the whole text is one word), min_frequency 0; its default "
            "thread count.",
            f"- tiktoken: pairloom's vocabulary as mergeable ranks, with the cl100k-style "
            f"pre-split regex `{TIKTOKEN_PATTERN}`: it encodes a pre-split problem, "
            "so its ids differ from pairloom's.",
            "- SentencePiece: BPE, the whole text as one sentence, no splitting by whitespace, "
            "script or digits, identity normalisation, byte fallback, pieces up to 512 "
            "characters (its maximum), 1 thread. Its base symbols are characters, each "
            "distinct character takes a vocabulary slot, and the 256 byte pieces do too, so it "
            "learns fewer merges for the same vocab_size.",
            "- Training HF is left out of the by-corpus table: one unsplit megabyte already "
            "exceeds its timeout (see the text-size sweep).",
            "- A '> N s' entry timed out after N s; one after an entry that timed out (or that "
            "would exceed N s by linear growth) was not run."]
    out += ["", "![training time vs vocab size](train_vs_vocab.png)",
            "![training time vs text size](train_vs_size.png)",
            "![encoding throughput](encode_throughput.png)", ""]
    return "\n".join(out)


def plots(report: dict, settings: Settings, out: Path) -> list[Path]:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plots")
        return []
    colours = {"pairloom": "tab:blue", "pairloom2": "tab:cyan", "plain": "tab:gray",
               "hf": "tab:orange", "tiktoken": "tab:green", "spm": "tab:red"}
    written = []

    def sweep(data: dict, xlabel: str, xs_label, title: str, name: str, xscale: str):
        fig, ax = plt.subplots(figsize=(8, 6), dpi=110)
        for system, row in data.items():
            points = [(x, r.wall) for x, r in row.items() if r.ok]
            over = [(x, r.timeout) for x, r in row.items() if r.status == "timeout"]
            colour = colours[system]
            if points:
                ax.plot(*zip(*points), "o-", color=colour, label=SYSTEM_LABELS[system])
            if over:
                ax.plot(*zip(*over), "^", color=colour, markersize=10, markerfacecolor="none",
                        label=f"{SYSTEM_LABELS[system]}: timed out")
        ax.set_xscale(xscale, base=2 if xscale == "log" and "vocab" in xlabel else 10)
        ax.set_yscale("log")
        ticks = list(next(iter(data.values())).keys())
        ax.set_xticks(ticks)
        ax.set_xticklabels([xs_label(x) for x in ticks], rotation=30 if len(ticks) > 6 else 0)
        ax.minorticks_off()
        ax.set_xlabel(xlabel)
        ax.set_ylabel("training time, seconds (log scale)")
        ax.set_title(title)
        ax.grid(True, which="major", alpha=0.3)
        ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=3)
        fig.tight_layout()
        path = out / name
        fig.savefig(path)
        plt.close(fig)
        written.append(path)

    sweep(report["by_vocab"], "vocab_size", str,
          f"Training time vs vocab_size ({size_label(settings.sweep_vocab_bytes)} of text)",
          "train_vs_vocab.png", "log")
    sweep(report["by_size"], "text size", size_label,
          f"Training time vs text size (vocab_size {settings.target_vocab})",
          "train_vs_size.png", "log")

    enc = report["by_encode_size"]
    fig, ax = plt.subplots(figsize=(8, 6), dpi=110)
    width = 0.8 / len(enc)
    for i, (system, row) in enumerate(enc.items()):
        xs, ys = [], []
        for j, r in enumerate(row.values()):
            if r.ok:
                xs.append(j + (i - (len(enc) - 1) / 2) * width)
                ys.append(r.text_bytes / MB / r.wall)
        ax.bar(xs, ys, width, color=colours[system], label=SYSTEM_LABELS[system])
    ax.set_xticks(range(len(settings.encode_sizes)))
    ax.set_xticklabels([size_label(n) for n in settings.encode_sizes])
    ax.set_yscale("log")
    ax.set_xlabel("input size")
    ax.set_ylabel("MB/s (log scale); missing bar: timed out")
    ax.set_title("Encoding throughput, same vocabulary")
    ax.grid(True, axis="y", alpha=0.3)
    ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=3)
    fig.tight_layout()
    path = out / "encode_throughput.png"
    fig.savefig(path)
    plt.close(fig)
    written.append(path)
    return written


def to_json(value):
    if isinstance(value, Result):
        return {k: v for k, v in value.__dict__.items()}
    if isinstance(value, dict):
        return {str(k): to_json(v) for k, v in value.items()}
    if isinstance(value, list):
        return [to_json(v) for v in value]
    return value


# ---------------------------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small inputs, about a minute")
    parser.add_argument("--out", default=str(REPO / "bench" / "results"),
                        help="directory for RESULTS.md, the plots and results.json")
    parser.add_argument("--ref", help="measure this commit (built from git archive)")
    parser.add_argument("--build-dir", default=str(REPO / "build-bench"))
    parser.add_argument("--installed", action="store_true",
                        help="measure the pairloom that Python imports instead of building it")
    parser.add_argument("--corpora", default=str(DEFAULT_CORPORA),
                        help="directory of the shared text corpora (optional)")
    parser.add_argument("--from-json", metavar="RESULTS_JSON",
                        help="only write RESULTS.md and the plots again from an earlier run")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker_main(json.loads(args.worker))
        return
    if args.from_json:
        saved = json.loads(Path(args.from_json).read_text())
        meta = saved["meta"]
        settings = QUICK if meta["mode"] == "quick" else FULL
        write_outputs(report_from_json(saved["report"]), meta, settings, Path(args.out))
        return

    # Stopped from outside, still remove the scratch texts and stop the running measurement.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    settings = QUICK if args.quick else FULL
    started = time.time()
    systems, versions = available_systems()
    built = build(args)
    print(f"pairloom: {built.description}", flush=True)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="pairloom-bench-") as scratch_name:
        scratch = Path(scratch_name)
        inputs = load_inputs(Path(args.corpora), scratch)
        runner = Runner(settings, built, inputs, scratch)
        report = run_stages(runner, systems)
    loads = runner.loads
    meta = {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "mode": "quick" if settings.quick else "full",
        "duration": time.time() - started,
        "build": built.description,
        "commit": built.commit,
        "machine": machine_description(),
        "load": f"{min(loads):.2f} to {max(loads):.2f} (median {statistics.median(loads):.2f})",
        "versions": ", ".join(f"{k} {v}" for k, v in versions.items()) or "none",
        "text": inputs.main_name,
    }
    write_outputs(report, meta, settings, out)


def write_outputs(report: dict, meta: dict, settings: Settings, out: Path) -> None:
    """RESULTS.md, the plots and results.json, and the targets on standard output."""
    out.mkdir(parents=True, exist_ok=True)
    found = targets(report, settings)
    (out / "RESULTS.md").write_text(markdown(report, meta, found, settings))
    written = plots(report, settings, out)
    (out / "results.json").write_text(json.dumps(
        {"meta": meta, "report": to_json(report),
         "targets": [dict(t.__dict__, verdict=t.verdict()) for t in found]}, indent=1))

    print(f"\npairloom: {meta['build']}; load {meta['load']}")
    print("targets (value by wall time, by CPU time):")
    width = max(len(t.name) for t in found)
    for t in found:
        goal = ("≥ " if t.larger_is_better else "≤ ") + f"{t.goal:g}"
        print(f"  {t.name:<{width}}  {t.ratio_text():>8} {t.cpu_text():>8}  (goal {goal}; "
              f"{t.measured}): {t.verdict()} / by CPU time: {t.cpu_verdict()}")
        if t.note:
            print(f"  {'':<{width}}  {t.note}")
    print(f"\nwrote {out / 'RESULTS.md'}" + "".join(f", {p.name}" for p in written))


def report_from_json(saved: dict) -> dict:
    """The report of an earlier run, as results.json holds it."""
    def rows(table_: dict, key=str) -> dict:
        return {name: {key(k): Result(**v) for k, v in row.items()}
                for name, row in table_.items()}

    report = dict(saved)
    report["target"] = {k: Result(**v) for k, v in saved["target"].items()}
    report["paired"] = {k: Result(**v) for k, v in saved.get("paired", {}).items()}
    for name in ("by_vocab", "by_size", "by_encode_size"):
        report[name] = rows(saved[name], int)
    for name in ("by_corpus", "encode_corpus"):
        report[name] = rows(saved[name])
    threads = saved["threads"]
    report["threads"] = {1: Result(**threads["1"]), 2: Result(**threads["2"]),
                         "engine_count": threads["engine_count"]}
    return report


if __name__ == "__main__":
    main()
