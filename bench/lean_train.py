"""Training's memory per byte and speed on three workloads, beside an older build and the peers.

Usage: python3 bench/lean_train.py BUILD_DIR [--before OLD_BUILD_DIR] [--sizes 10 100 300]
    [--repeat 3] [--repeat-from 100] [--peers] [--peer-timeout 300] [--two-at-once] [--small]
    [--out bench/results/lean_train] [--corpora DIR] [--layouts]

Workloads (bench/pairloom_bench/workloads.py): shuffled corpus lines to 32,768; DNA-like
lines to 4,096; the corpora's Chinese and Japanese lines, shuffled, to 8,192. Every run is a
fresh process that loads the text as a str, resets its peak resident set, then trains once on
one thread: memory is that peak less the resident set with the text loaded (so it includes
a UTF-8 copy left cached in a non-ASCII str, as older builds leave one: the growth of the
str's own size, which the tables also show apart). Sizes
from --repeat-from up run once, smaller ones --repeat times (median). The peers, HF
tokenizers' BpeTrainer on the whole text as one sequence (ByteLevel without its split) and
SentencePiece's BPE (one sentence per line, its limit), run at the sizes they finish within
--peer-timeout. --two-at-once also times num_threads=2 on the largest size beside two
one-thread trainings of its halves at once, in 3 rounds of turns; --small times 5 MB of shuffled lines to 4,096
(median of 5). --warm GB: before every measured run a process writes and frees GB of memory,
so that each run finds memory the system has just had back (on this virtual machine, memory
left unused for a while is faulted in at 0.4-0.7 GB/s, memory just freed at about 6 GB/s).
Writes OUT.json, OUT.md and OUT.png.

--layouts instead trains the shuffled lines at each size once in each of the trainer's
layouts, on --threads threads (default 1): the one the trainer chooses (linked below 64 MiB
on one thread, and at any size the budget allows on two or more; packed otherwise), then the
packed one with the budget lowered below the linked layout's estimate (RLIMIT_DATA of 60
bytes per byte of text plus 64 MB: from 4 MB of text on, a quarter of it, the budget, is
less than the linked layout's 20 per byte, and the packed layout's peak fits). Writes
OUT_layouts.json.
"""
from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pairloom_bench import workloads  # noqa: E402
from pairloom_bench.corpora import default_corpora  # noqa: E402

MB = 1_000_000
WORKLOADS = {"shuffled lines": 32768, "DNA-like": 4096, "unspaced script": 8192}

WORKER = r"""
import json, sys, time
from pathlib import Path
build, path, system, vocab, threads = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1]) * 1024
    return 0
if system == "pairloom":
    sys.path.insert(0, build)
    import pairloom
elif system == "hf":
    from tokenizers import Tokenizer, models, pre_tokenizers, trainers
else:
    import io
    import sentencepiece as spm
text = Path(path).read_bytes().decode("utf-8")
Path("/proc/self/clear_refs").write_text("5")
base = status("VmRSS")
str_size = sys.getsizeof(text)
start = time.perf_counter()
if system == "pairloom":
    pairloom.BasicTokenizer(threads).train(text, vocab)
elif system == "hf":
    tok = Tokenizer(models.BPE())
    tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)
    trainer = trainers.BpeTrainer(vocab_size=vocab, show_progress=False,
                                  initial_alphabet=pre_tokenizers.ByteLevel.alphabet())
    tok.train_from_iterator([text], trainer=trainer)
else:
    spm.SentencePieceTrainer.train(
        sentence_iterator=iter(text.splitlines()), model_writer=io.BytesIO(), model_type="bpe",
        vocab_size=vocab, split_by_whitespace=False, byte_fallback=True, character_coverage=1.0,
        hard_vocab_limit=False, num_threads=1, minloglevel=2)
wall = time.perf_counter() - start
print(json.dumps({"wall": wall, "memory": status("VmHWM") - base,
                  "utf8_copy": sys.getsizeof(text) - str_size}))
"""


def text_file(cache: Path, corpora: Path, workload: str, size: int) -> Path:
    path = cache / f"{workload.replace(' ', '_')}_{size / MB:g}MB.txt"
    if not path.exists():
        if workload == "shuffled lines":
            data = workloads.shuffled_lines(corpora, size)
        elif workload == "DNA-like":
            data = workloads.dna_like(size)
        else:
            data = workloads.unspaced_script(corpora, size)
        path.write_bytes(data)
    return path


#: Bytes a process writes, then frees, before every measured run (--warm): memory the system
#: has just had back is faulted in far faster than memory it has not used for a while.
WARM_BYTES = 0


def warm_up() -> None:
    if WARM_BYTES:
        subprocess.run([sys.executable, "-c", f"b'\\x01' * {WARM_BYTES}"], check=True)


def run(build: Path, path: Path, system: str, vocab: int, threads: int = 1,
        timeout: float | None = None, data_limit: int | None = None) -> dict | None:
    warm_up()
    command = [sys.executable, "-c", WORKER, str(build), str(path), system, str(vocab),
               str(threads)]

    def limit() -> None:
        if data_limit is not None:
            resource.setrlimit(resource.RLIMIT_DATA, (data_limit, data_limit))

    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                              check=True, preexec_fn=limit)
    except subprocess.TimeoutExpired:
        return None
    except subprocess.CalledProcessError as error:
        raise SystemExit(f"{system} on {path.name} failed:\n{error.stderr}") from error
    return json.loads(done.stdout.strip().splitlines()[-1])


def median_run(build: Path, path: Path, system: str, vocab: int, repeat: int) -> dict:
    runs = [run(build, path, system, vocab) for _ in range(repeat)]
    got = [r for r in runs if r is not None]
    return {key: statistics.median(r[key] for r in got) for key in got[0]} | {"runs": len(got)}


def two_at_once(build: Path, cache: Path, path: Path, vocab: int, rounds: int = 3) -> dict:
    """num_threads=2 on the whole text, and two one-thread trainings of its halves at once, in
    turns (which goes first alternates: a run that follows a large one finds memory the
    system has just had back, and faults it in faster). Both sides are timed the same way:
    the training alone, in fresh processes; for the halves, the later of the two to finish."""
    data = path.read_bytes()
    cut = len(data) // 2
    while cut > 0 and (data[cut] & 0xC0) == 0x80:
        cut -= 1
    halves = [cache / f"half{k}_{path.name}" for k in (0, 1)]
    halves[0].write_bytes(data[:cut])
    halves[1].write_bytes(data[cut:])

    def threads() -> float:
        two = run(build, path, "pairloom", vocab, threads=2)
        assert two is not None
        return float(two["wall"])

    def halves_at_once() -> float:
        warm_up()
        running = [subprocess.Popen([sys.executable, "-c", WORKER, str(build), str(half),
                                     "pairloom", str(vocab), "1"], stdout=subprocess.PIPE,
                                    text=True) for half in halves]
        walls = [json.loads(process.communicate()[0].strip().splitlines()[-1])["wall"]
                 for process in running]
        return float(max(walls))

    two_walls: list[float] = []
    pair_walls: list[float] = []
    for round_ in range(rounds):
        for measure in ((threads, halves_at_once) if round_ % 2 == 0
                        else (halves_at_once, threads)):
            (two_walls if measure is threads else pair_walls).append(measure())
    two_wall, pair_wall = statistics.median(two_walls), statistics.median(pair_walls)
    return {"bytes": len(data), "two_threads_wall": two_wall, "two_halves_wall": pair_wall,
            "ratio": pair_wall / two_wall, "two_threads_walls": two_walls,
            "two_halves_walls": pair_walls}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("build", type=Path)
    parser.add_argument("--before", type=Path)
    parser.add_argument("--sizes", type=float, nargs="+", default=[10, 100, 300])
    parser.add_argument("--peer-sizes", type=float, nargs="+", default=[0.1, 0.3, 1, 10])
    parser.add_argument("--no-ours", action="store_true", help="only the peers")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--repeat-from", type=int, default=100)
    parser.add_argument("--peers", action="store_true")
    parser.add_argument("--peer-timeout", type=float, default=300)
    parser.add_argument("--two-at-once", action="store_true")
    parser.add_argument("--small", action="store_true",
                        help="also 5 MB of shuffled lines to 4,096, median of 5")
    parser.add_argument("--warm", type=float, default=0, metavar="GB",
                        help="before every measured run, a process writes and frees this much "
                             "memory")
    parser.add_argument("--workloads", nargs="+", default=list(WORKLOADS))
    parser.add_argument("--out", type=Path, default=Path("bench/results/lean_train"))
    parser.add_argument("--cache", type=Path, default=Path("build/lean_texts"))
    parser.add_argument("--corpora", type=Path, default=default_corpora())
    parser.add_argument("--layouts", action="store_true")
    parser.add_argument("--threads", type=int, default=1, help="num_threads with --layouts")
    args = parser.parse_args()
    global WARM_BYTES
    WARM_BYTES = int(args.warm * 1e9)
    args.cache.mkdir(parents=True, exist_ok=True)
    results: dict = {"load": os.getloadavg(), "runs": []}
    if args.layouts:
        layouts(args, results)
        return
    for workload in args.workloads:
        vocab = WORKLOADS[workload]
        peers_left = {"hf", "spm"} if args.peers else set()
        for size_mb in sorted(set(args.sizes) | (set(args.peer_sizes) if args.peers else set())):
            path = text_file(args.cache, args.corpora, workload, int(size_mb * MB))
            repeat = 1 if size_mb >= args.repeat_from else args.repeat
            systems = [] if args.no_ours or size_mb not in args.sizes else [("pairloom", args.build)]
            if args.before and systems:
                systems.append(("before", args.before))
            for label, build in systems:
                got = median_run(build, path, "pairloom", vocab, repeat)
                results["runs"].append({"workload": workload, "mb": size_mb, "system": label,
                                        "vocab": vocab, **got})
                print(json.dumps(results["runs"][-1]), flush=True)
            for peer in sorted(peers_left if size_mb in args.peer_sizes else set()):
                got_peer = run(args.build, path, peer, vocab, timeout=args.peer_timeout)
                entry = {"workload": workload, "mb": size_mb, "system": peer, "vocab": vocab}
                if got_peer is None:
                    peers_left.discard(peer)
                    entry["timeout"] = args.peer_timeout
                else:
                    entry.update(got_peer)
                results["runs"].append(entry)
                print(json.dumps(entry), flush=True)
    if args.small:
        # The small training of the targets: 5 MB of shuffled lines to 4,096, median of 5.
        path = text_file(args.cache, args.corpora, "shuffled lines", 5 * MB)
        for label, build in [("pairloom", args.build)] + ([("before", args.before)]
                                                           if args.before else []):
            got = median_run(build, path, "pairloom", 4096, 5)
            results["small"] = results.get("small", []) + [
                {"system": label, "mb_per_s": path.stat().st_size / MB / got["wall"], **got}]
            print(json.dumps(results["small"][-1]), flush=True)
    if args.two_at_once:
        path = text_file(args.cache, args.corpora, "shuffled lines", int(max(args.sizes) * MB))
        results["two_at_once"] = two_at_once(args.build, args.cache, path, 32768)
        print(json.dumps(results["two_at_once"]), flush=True)
    results["load_after"] = os.getloadavg()
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.with_suffix(".json").write_text(json.dumps(results, indent=1))
    write_table(results, args.out.with_suffix(".md"))
    plot(results, args.out.with_suffix(".png"))


def layouts(args: argparse.Namespace, results: dict) -> None:
    for size_mb in args.sizes:
        path = text_file(args.cache, args.corpora, "shuffled lines", int(size_mb * MB))
        size = path.stat().st_size
        for layout, data_limit in (("chosen", None), ("packed", 60 * size + 64 * MB)):
            got = run(args.build, path, "pairloom", 32768, threads=args.threads,
                      data_limit=data_limit)
            assert got is not None
            entry = {"mb": size_mb, "layout": layout, "threads": args.threads,
                     "seconds": round(got["wall"], 2),
                     "mb_per_s": round(size / MB / got["wall"], 2),
                     "bytes_per_byte": round(got["memory"] / size, 2),
                     "load": os.getloadavg()[0]}
            results["runs"].append(entry)
            print(json.dumps(entry), flush=True)
    out = args.out.with_name(args.out.name + "_layouts.json")
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(results, indent=1))


def write_table(results: dict, path: Path) -> None:
    lines = [f"Load average before and after: {results['load']}, {results['load_after']}", "",
             "| workload | MB | system | s | MB/s | bytes/byte | without UTF-8 copy |",
             "|---|---|---|---|---|---|---|"]
    for r in results["runs"]:
        if "timeout" in r:
            lines.append(f"| {r['workload']} | {r['mb']:g} | {r['system']} | > {r['timeout']:.0f} "
                         "| – | – | – |")
            continue
        size = r["mb"] * MB
        if r["system"] in ("hf", "spm"):
            r = r | {"utf8_copy": 0}  # no cached copy of ours
        per_byte = r["memory"] / size
        lines.append(f"| {r['workload']} | {r['mb']:g} | {r['system']} | {r['wall']:.2f} | "
                     f"{size / MB / r['wall']:.1f} | {per_byte:.2f} | "
                     f"{(r['memory'] - r['utf8_copy']) / size:.2f} |")
    for r in results.get("small", []):
        lines.append(f"\n5 MB of shuffled lines to 4,096, {r['system']}: {r['wall']:.3f} s, "
                     f"{r['mb_per_s']:.1f} MB/s (median of {r['runs']})")
    if "two_at_once" in results:
        r = results["two_at_once"]
        lines.append(f"\nnum_threads=2 on {r['bytes'] / MB:g} MB: {r['two_threads_wall']:.2f} s; "
                     f"two one-thread trainings of its halves at once: {r['two_halves_wall']:.2f} "
                     f"s; ratio {r['ratio']:.2f}")
    path.write_text("\n".join(lines) + "\n")


def plot(results: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (memory, speed) = plt.subplots(1, 2, figsize=(11, 4.2))
    for workload in WORKLOADS:
        for system, style in (("pairloom", "-o"), ("before", ":s"), ("hf", "--^"), ("spm", "-.v")):
            runs = [r for r in results["runs"] if r["workload"] == workload
                    and r["system"] == system and "timeout" not in r]
            if not runs:
                continue
            sizes = [r["mb"] for r in runs]
            label = f"{workload}, {system}"
            memory.plot(sizes, [r["memory"] / (r["mb"] * MB) for r in runs], style, label=label)
            speed.plot(sizes, [r["mb"] / r["wall"] for r in runs], style, label=label)
    for axes, title in ((memory, "peak memory per byte of text"), (speed, "MB/s, one thread")):
        axes.set_xscale("log")
        axes.set_xlabel("text size, MB")
        axes.set_title(title)
        axes.grid(True, alpha=0.3)
    speed.legend(fontsize=6)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


if __name__ == "__main__":
    main()
