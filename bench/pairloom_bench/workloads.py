"""The lean trainer's workloads: texts of a given size with realistic pair statistics.

- shuffled lines: lines of the corpora drawn at random (seeded), so that pair statistics are
  those of the corpora without whole books repeating in order;
- DNA-like: lines of 60 to 80 of A, C, G and T, each ending in a newline, where most of the
  text is copies of earlier segments with point mutations (a genome's repeats);
- unspaced script: the Chinese and Japanese lines of the corpora, shuffled.
"""

from __future__ import annotations

import random
import re
from pathlib import Path

from .corpora import cut

SEED = 20261208
# Lines written in Han, Hiragana or Katakana.
_UNSPACED = re.compile("[\u3040-\u30ff\u4e00-\u9fff]")


def _lines(paths: list[Path]) -> list[bytes]:
    lines: list[bytes] = []
    for path in paths:
        lines.extend(line + b"\n" for line in path.read_bytes().splitlines() if line.strip())
    return lines


def _drawn(lines: list[bytes], size: int, seed: int) -> bytes:
    """Lines drawn at random from `lines` until `size` bytes, cut to a whole character."""
    if not lines:
        raise SystemExit("no lines to draw from")
    rng = random.Random(seed)
    parts: list[bytes] = []
    total = 0
    while total < size:
        line = rng.choice(lines)
        parts.append(line)
        total += len(line)
    return cut(b"".join(parts), size)


def shuffled_lines(corpora: Path, size: int, seed: int = SEED) -> bytes:
    """`size` bytes of lines drawn at random from every text of the corpora."""
    paths = sorted(path for path in corpora.glob("*.txt") if path.name != "README.md")
    return _drawn(_lines(paths), size, seed)


def unspaced_script(corpora: Path, size: int, seed: int = SEED) -> bytes:
    """`size` bytes of the corpora's Chinese and Japanese lines, drawn at random."""
    paths = sorted(corpora.glob("*.txt"))
    lines = [line for line in _lines(paths) if _UNSPACED.search(line.decode("utf-8", "replace"))]
    return _drawn(lines, size, seed)


def dna_like(size: int, seed: int = SEED) -> bytes:
    """`size` bytes of A, C, G, T in lines of 60 to 80 (newline included in the size): half of
    the bases fresh, half copies of earlier segments (50 to 5,000 bases) with about one base in
    a hundred changed."""
    rng = random.Random(seed)
    bases = bytearray()
    target = size  # bases plus newlines: the newlines are added below and cut back to size
    while len(bases) < target:
        if len(bases) > 5000 and rng.random() < 0.5:
            length = rng.randint(50, 5000)
            start = rng.randrange(0, len(bases) - length)
            segment = bytearray(bases[start:start + length])
            for _ in range(max(1, length // 100)):
                segment[rng.randrange(length)] = rng.choice(b"ACGT")
            bases += segment
        else:
            bases += bytes(rng.choice(b"ACGT") for _ in range(rng.randint(50, 2000)))
    out = bytearray()
    at = 0
    while len(out) < size:
        width = rng.randint(60, 80)
        out += bases[at:at + width] + b"\n"
        at += width
    return bytes(out[:size])
