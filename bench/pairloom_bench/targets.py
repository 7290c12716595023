"""The goals a run is judged by, and their verdicts from wall and CPU time."""

from __future__ import annotations

import math
import statistics
from dataclasses import dataclass
from typing import Any

from .measure import Result
from .peers import SYSTEM_LABELS
from .settings import (MB, Settings, encode_target_size, long_key, scaling_sizes,
                       size_label)


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


def throughput(result: Result) -> str:
    if result.ok:
        return f"{result.text_bytes / MB / result.wall:.3g} MB/s"
    if result.status in ("timeout", "skipped"):
        return f"< {result.text_bytes / MB / result.timeout:.2g} MB/s"
    return result.error if result.error.startswith("not built") else "error"


def rate_target(name: str, result: Result, goal: float) -> Target:
    """MB/s of `result` against `goal`; a run that timed out gives an upper bound."""
    if result.ok:
        rate, bound = result.text_bytes / MB / result.wall, "="
    elif result.status in ("timeout", "skipped"):
        rate, bound = result.text_bytes / MB / result.timeout, "<"
    else:
        rate, bound = math.nan, "="
    cpu = result.text_bytes / MB / result.cpu if result.ok and result.cpu > 0 else math.nan
    return Target(name, throughput(result), rate, bound, goal, True, cpu_ratio=cpu)


def targets(report: dict[str, Any], settings: Settings) -> list[Target]:
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

    found.append(rate_target(f"training {problem}: MB/s of input, 1 thread, end to end",
                             ours, 15))
    found[-1].measured = ours.seconds()

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
    size = encode_target_size(settings)
    ours = paired.get(f"paired/encode {size_label(size)} pairloom")
    for peer, goal in (("tiktoken", 8), ("hf", 5)):
        theirs = paired.get(f"paired/encode {size_label(size)} {peer}")
        if ours is not None and theirs is not None:
            ratio, bound = ratio_of(theirs, ours)
            found.append(Target(
                f"encoding {size_label(size)}, vocab {settings.target_vocab}: "
                f"throughput over {SYSTEM_LABELS[peer]}",
                f"{throughput(ours)} vs {throughput(theirs)}", ratio, bound, goal, True,
                cpu_ratio=cpu_ratio(theirs, ours)))

    def scaling(what: str, sizes: tuple[int, int], keys: tuple[str, str], note: str = "") -> None:
        if keys[0] in paired and keys[1] in paired:
            small, large = paired[keys[0]], paired[keys[1]]
            ratio, bound = ratio_of(large, small)
            found.append(Target(f"{what} {size_label(sizes[1])} vs {size_label(sizes[0])}{note}: "
                                "time ratio for 10x the text",
                                f"{large.seconds()} / {small.seconds()}",
                                ratio, bound, 12, False, cpu_ratio=cpu_ratio(large, small)))

    sizes = scaling_sizes(settings)
    scaling("training", sizes, (f"paired/train {size_label(sizes[0])}",
                                f"paired/train {size_label(sizes[1])}"),
            f" (vocab {settings.target_vocab})")

    vocab = settings.large_vocab
    rate_key = long_key("pairloom", settings.rate_bytes, vocab)
    if rate_key in paired:
        found.append(rate_target(
            f"encoding {size_label(settings.rate_bytes)}, vocab {vocab}: MB/s from Python, "
            "list of ids included", paired[rate_key], 90))
    for system in ("engine", "engine-i386"):
        key = long_key(system, settings.rate_bytes, vocab)
        if key in paired:
            found.append(rate_target(
                f"encoding {size_label(settings.rate_bytes)}, vocab {vocab}: MB/s of "
                f"{SYSTEM_LABELS[system]}", paired[key], 150))
    for pair in zip(settings.linear_sizes, settings.linear_sizes[1:]):
        scaling("encoding", pair, (long_key("pairloom", pair[0], vocab),
                                   long_key("pairloom", pair[1], vocab)), f" (vocab {vocab})")

    steps = report["threads"]
    both = steps[1].ok and steps[2].ok
    found.append(Target(
        f"first training step (count + one merge), {size_label(settings.target_bytes)}: "
        "num_threads 2 over 1",
        f"{steps[1].wall * 1e3:.1f} ms / {steps[2].wall * 1e3:.1f} ms" if both else "failed",
        steps[1].wall / steps[2].wall if both else math.nan, "=", 1.6, True))
    return found
