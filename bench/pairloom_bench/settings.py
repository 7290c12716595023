"""What a run measures: the full run and the quick one, and the units of the report."""

from __future__ import annotations

from dataclasses import dataclass

KB = 1_000
MB = 1_000_000


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
    large_vocab: int  # the long-text encoding runs use a vocabulary of this size ...
    rate_bytes: int  # ... for the MB/s target on a text of this size ...
    linear_sizes: list[int]  # ... and for the time ratios of texts 10x apart
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
    large_vocab=32768,
    rate_bytes=50 * MB,
    linear_sizes=[1 * MB, 10 * MB, 100 * MB],
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
    large_vocab=4096,
    rate_bytes=5 * MB,
    linear_sizes=[100 * KB, 1 * MB, 10 * MB],
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


def scaling_sizes(settings: Settings) -> tuple[int, int]:
    """The text sizes whose training times make the 10x-the-text target."""
    return (50 * KB, 500 * KB) if settings.quick else (1 * MB, 10 * MB)


def encode_target_size(settings: Settings) -> int:
    """The text size of the encoding comparisons with the peers."""
    return MB if MB in settings.encode_sizes else settings.encode_sizes[-1]


def long_key(system: str, size: int, vocab: int) -> str:
    """The name of a paired run encoding a long text with the large vocabulary."""
    return f"paired/encode {size_label(size)} {system} vocab {vocab}"
