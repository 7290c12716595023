"""The results of a run: RESULTS.md, the plots, results.json, and the targets on the console."""

from __future__ import annotations

import json
import math
import os
import platform
from collections.abc import Callable
from pathlib import Path
from typing import Any

from .measure import Result
from .peers import SYSTEM_LABELS, TIKTOKEN_PATTERN
from .settings import KB, MB, Settings, size_label
from .targets import Target, targets, throughput


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


def markdown(report: dict[str, Any], meta: dict[str, Any], found: list[Target],
             settings: Settings) -> str:
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
                table(["run", "wall", "CPU", "MB/s", "runs"],
                      [[key.removeprefix("paired/"),
                        r.error if r.error.startswith("not built") else r.seconds(),
                        "–" if math.isnan(r.cpu) else f"{r.cpu:.3g} s",
                        throughput(r) if key.startswith("paired/encode") and r.ok else "–",
                        str(r.runs)]
                       for key, r in paired.items()])]

    t = report["target"]
    problem = (f"{size_label(settings.target_bytes)} of the main text, "
               f"vocab_size {settings.target_vocab}")
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
        rows.append(["engine count_pairs in 2 chunks on the pool",
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
            "- Long texts: the held-out part of the first corpus, repeated where it is shorter, "
            f"encoded with a vocabulary of {settings.large_vocab} trained on the target "
            "problem's text. From Python the time includes building the list of ids; the "
            "engine alone is bench/encode_engine.cpp (the same model file and text, the median "
            "of its own calls, repeated for at least the encode measurement's time), built for "
            "64 and 32 bits where the toolchain allows.",
            "- Training HF is left out of the by-corpus table: one unsplit megabyte already "
            "exceeds its timeout (see the text-size sweep).",
            "- A '> N s' entry timed out after N s; one after an entry that timed out (or that "
            "would exceed N s by linear growth) was not run."]
    out += ["", "![training time vs vocab size](train_vs_vocab.png)",
            "![training time vs text size](train_vs_size.png)",
            "![encoding throughput](encode_throughput.png)", ""]
    return "\n".join(out)


def plots(report: dict[str, Any], settings: Settings, out: Path) -> list[Path]:
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

    def sweep(data: dict[str, dict[int, Result]], xlabel: str, xs_label: Callable[[int], str],
              title: str, name: str, xscale: str) -> None:
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


def to_json(value: Any) -> Any:
    if isinstance(value, Result):
        return {k: v for k, v in value.__dict__.items()}
    if isinstance(value, dict):
        return {str(k): to_json(v) for k, v in value.items()}
    if isinstance(value, list):
        return [to_json(v) for v in value]
    return value


def with_sections_kept(new: str, old: str) -> str:
    """`new`, followed by the sections of `old` under headings that `new` does not have: what
    other benches (bench/dask_train.py) added to the file."""
    def sections(text: str) -> list[str]:
        return ["## " + part for part in text.split("\n## ")[1:]]

    heading = lambda section: section.split("\n", 1)[0]  # noqa: E731
    written = {heading(section) for section in sections(new)}
    kept = [section.rstrip("\n") for section in sections(old) if heading(section) not in written]
    return new.rstrip("\n") + "".join("\n\n" + section for section in kept) + "\n"


def write_outputs(report: dict[str, Any], meta: dict[str, Any], settings: Settings,
                  out: Path) -> None:
    """RESULTS.md (keeping other benches' sections), the plots and results.json, and the
    targets on standard output."""
    out.mkdir(parents=True, exist_ok=True)
    found = targets(report, settings)
    results = out / "RESULTS.md"
    old = results.read_text() if results.exists() else ""
    results.write_text(with_sections_kept(markdown(report, meta, found, settings), old))
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


def report_from_json(saved: dict[str, Any]) -> dict[str, Any]:
    """The report of an earlier run, as results.json holds it."""
    def rows(table_: dict[str, Any], key: Callable[[str], Any] = str) -> dict[str, Any]:
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
