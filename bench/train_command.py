"""`pairloom train` end to end on large texts: time, MB/s and the peak memory of the command.

Usage: python3 bench/train_command.py BUILD_DIR [--mb 100 300 1000] [--vocab 32768] [--seed 0]
    [--corpora DIR] [--work DIR] [--trainer-alone] [--check-model] [--tools-from DIR]
    [--json FILE] [--cluster WORKERS] [--fanout 4]

The text of each size is the lines of every text of the shared corpora ($PAIRLOOM_CORPORA, else
../shared/corpora), shuffled anew (seeded) for each pass through them and written one pass
after another until the size is reached: a text that keeps the corpora's mix of prose, code
and scripts without repeating one long stretch. The files are kept in --work (default
build-bench/ in the project) and made again only when missing.

For each size the command runs once in a fresh process with BUILD_DIR (the built modules)
after the project on PYTHONPATH (--tools-from DIR: that copy of pairloom_tools first, to
measure another version of the command). Its progress bar goes to this program's standard
error when that is a terminal. Memory is the peak resident set of the process tree: sampled
every 20 ms over all its processes, and the kernel's own peak of the command's process.

--trainer-alone also measures the trainer by itself on the same bytes (a process that reads the
file into a buffer, then trains on it): its peak above the process's resident set before the
training is the trainer's own figure, which bounds the command's peak (that figure, plus one
byte per byte of text, plus 150 MB). --check-model trains the class on the same text and
checks that the command wrote the same model and vocabulary files. --cluster 1,2,4,8 then
measures the cluster's cost per merge on LocalClusters of those sizes (bench/dask_overhead.py,
with the same modules), so that one run shows the command and the cluster.
"""
from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pairloom_bench.corpora import PROJECT_ROOT, cut, default_corpora  # noqa: E402

MB = 1_000_000
SAMPLE_SECONDS = 0.02
ALLOWANCE = 150 * MB  # the command's peak may exceed the trainer's and the text's by this much


def corpus_lines(corpora_dir: Path) -> list[bytes]:
    """Every line (its end kept) of the corpora's texts, in file-name order."""
    texts = sorted(corpora_dir.glob("*.txt"))
    if not texts:
        raise SystemExit(f"no texts in {corpora_dir}: point PAIRLOOM_CORPORA or --corpora at "
                         "the shared corpora")
    return [line for path in texts for line in path.read_bytes().splitlines(keepends=True)]


def write_shuffled_lines(lines: list[bytes], size: int, seed: int, path: Path) -> None:
    """`size` bytes (cut on a whole character) of passes through `lines`, each shuffled by its
    own seeded generator, into `path` (through a temporary file beside it)."""
    temporary = path.with_name(path.name + ".part")
    written = 0
    with open(temporary, "wb") as out:
        round_number = 0
        while written < size:
            order = lines[:]
            random.Random(f"{seed}/{round_number}").shuffle(order)
            chunk = b"".join(order)
            if written + len(chunk) > size:
                chunk = cut(chunk, size - written)
                if not chunk:
                    break
            out.write(chunk)
            written += len(chunk)
            round_number += 1
    os.replace(temporary, path)


def text_file(work: Path, corpora_dir: Path, megabytes: int, seed: int) -> Path:
    path = work / f"shuffled-lines-{megabytes}MB-seed{seed}.txt"
    if not path.exists():
        print(f"writing {path.name}", file=sys.stderr)
        write_shuffled_lines(corpus_lines(corpora_dir), megabytes * MB, seed, path)
    return path


def memory_of(pid: int) -> tuple[int, int]:
    """The resident set of process `pid` and its peak (since its program started), in bytes."""
    try:
        with open(f"/proc/{pid}/status") as status:
            fields = dict(line.split(":", 1) for line in status if line.startswith("Vm"))
        return (int(fields["VmRSS"].split()[0]) * 1024, int(fields["VmHWM"].split()[0]) * 1024)
    except (OSError, KeyError, ValueError):
        return 0, 0


def tree_of(pid: int) -> list[int]:
    """`pid` and its descendants, as /proc lists each task's children."""
    found, queue = [], [pid]
    while queue:
        current = queue.pop()
        found.append(current)
        try:
            for task in os.listdir(f"/proc/{current}/task"):
                with open(f"/proc/{current}/task/{task}/children") as children:
                    queue.extend(int(child) for child in children.read().split())
        except OSError:
            pass
    return found


def run_measured(command: list[str], env: dict[str, str], cwd: Path) -> dict[str, Any]:
    """Runs `command`; its wall seconds, CPU seconds and peak resident set: the sampled sum over
    the process tree, or the process's own peak as the kernel keeps it, whichever is higher.
    (Not the rusage's maximum: after a vfork-and-exec start it holds this process's peak.)"""
    stderr = None if sys.stderr.isatty() else subprocess.DEVNULL
    start = time.perf_counter()
    process = subprocess.Popen(command, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=stderr)
    peak = 0
    stop = threading.Event()

    def sample() -> None:
        nonlocal peak
        while not stop.wait(SAMPLE_SECONDS):
            tree = [memory_of(pid) for pid in tree_of(process.pid)]
            peak = max(peak, sum(rss for rss, _ in tree), tree[0][1])

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    stdout = process.stdout.read() if process.stdout else b""
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    stop.set()
    sampler.join()
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed with status {process.returncode}")
    return {"wall": wall, "cpu": usage.ru_utime + usage.ru_stime,
            "peak_rss": peak, "stdout": stdout.decode().strip()}


TRAINER_ALONE = """
import json, os, re, sys, time
from pathlib import Path
from pairloom_tools._native import Trainer
from pairloom_tools.training import read_corpus

def status(field):
    return int(re.search(field + r":\\s+(\\d+) kB", Path("/proc/self/status").read_text())[1]) * 1024

data = read_corpus([Path(sys.argv[1])])
Path("/proc/self/clear_refs").write_text("5")
baseline = status("VmRSS")
start = time.perf_counter()
trainer = Trainer(data, int(sys.argv[2]), int(sys.argv[3]))
while trainer.step(1 << 30):
    pass
wall = time.perf_counter() - start
print(json.dumps({"wall": wall, "baseline_rss": baseline, "peak_rss": status("VmHWM")}))
"""

CLASS_MODEL = """
import sys
from pathlib import Path
from pairloom import BasicTokenizer
text = Path(sys.argv[1]).read_bytes().decode("utf-8")
tokenizer = BasicTokenizer(int(sys.argv[3]))
tokenizer.train(text, int(sys.argv[2]))
tokenizer.save(sys.argv[4] + ".model", sys.argv[4] + ".vocab")
"""


def measure_size(args: argparse.Namespace, env: dict[str, str], megabytes: int
                 ) -> dict[str, Any]:
    text = text_file(args.work, args.corpora, megabytes, args.seed)
    size = text.stat().st_size
    prefix = args.work / f"command-{megabytes}MB"
    command = [sys.executable, "-m", "pairloom_tools", "train", "--vocab-size", str(args.vocab),
               "--threads", str(args.threads), "--output", str(prefix), str(text)]
    load = os.getloadavg()[0]
    row: dict[str, Any] = {"mb": megabytes, "bytes": size, "load": load,
                           **run_measured(command, env, args.work)}
    row["mb_per_s"] = size / MB / row["wall"]
    if args.trainer_alone:
        done = subprocess.run([sys.executable, "-c", TRAINER_ALONE, str(text), str(args.vocab),
                               str(args.threads)], env=env, cwd=args.work, check=True,
                              capture_output=True)
        alone = json.loads(done.stdout.decode().splitlines()[-1])
        row["trainer_own"] = alone["peak_rss"] - alone["baseline_rss"]
        row["trainer_wall"] = alone["wall"]
        row["bound"] = row["trainer_own"] + size + ALLOWANCE
    if args.check_model:
        reference = args.work / f"class-{megabytes}MB"
        subprocess.run([sys.executable, "-c", CLASS_MODEL, str(text), str(args.vocab),
                        str(args.threads), str(reference)], env=env, cwd=args.work,
                       check=True)
        row["same_model"] = all(
            Path(f"{prefix}.{suffix}").read_bytes() == Path(f"{reference}.{suffix}").read_bytes()
            for suffix in ("model", "vocab"))
    return row


def report(row: dict[str, Any]) -> str:
    parts = [f"{row['mb']} MB: {row['wall']:.1f} s ({row['cpu']:.1f} s CPU),"
             f" {row['mb_per_s']:.2f} MB/s, peak {row['peak_rss'] / 1e9:.2f} GB"
             f" ({row['peak_rss'] / row['bytes']:.1f} B/byte), load {row['load']:.2f}"]
    if "trainer_own" in row:
        verdict = "within" if row["peak_rss"] <= row["bound"] else "ABOVE"
        parts.append(f"trainer alone {row['trainer_own'] / 1e9:.2f} GB in"
                     f" {row['trainer_wall']:.1f} s; command {verdict} trainer + text + 150 MB"
                     f" ({row['bound'] / 1e9:.2f} GB)")
    if "same_model" in row:
        parts.append("model identical to the class's" if row["same_model"]
                     else "MODEL DIFFERS from the class's")
    return "; ".join(parts) + f"\n    {row['stdout']}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", type=Path, help="folder of the built modules")
    parser.add_argument("--mb", type=int, nargs="+", default=[100, 300, 1000])
    parser.add_argument("--vocab", type=int, default=32768)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--corpora", type=Path, default=default_corpora())
    parser.add_argument("--work", type=Path, default=PROJECT_ROOT / "build-bench")
    parser.add_argument("--trainer-alone", action="store_true")
    parser.add_argument("--check-model", action="store_true")
    parser.add_argument("--tools-from", type=Path,
                        help="a folder holding the pairloom_tools to measure instead")
    parser.add_argument("--json", type=Path, help="also write the rows to this file")
    parser.add_argument("--cluster", metavar="WORKERS",
                        help="then bench/dask_overhead.py on clusters of these sizes (1,2,4,8)")
    parser.add_argument("--fanout", default="4",
                        help="the relay fan-outs bench/dask_overhead.py measures (4, or 8,2 ...)")
    args = parser.parse_args()
    args.work.mkdir(parents=True, exist_ok=True)
    args.work = args.work.resolve()  # the processes run there: the folder they start in comes
    # first on their path, and must not be the project's
    first = [str(args.tools_from.resolve())] if args.tools_from else []
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(
        first + [str(PROJECT_ROOT), str(args.build.resolve())])}
    rows = []
    for megabytes in args.mb:
        rows.append(measure_size(args, env, megabytes))
        print(report(rows[-1]), flush=True)
    if args.json:
        args.json.write_text(json.dumps(rows, indent=1))
    if args.cluster:
        subprocess.run([sys.executable, str(Path(__file__).with_name("dask_overhead.py")),
                        "--workers", args.cluster, "--fanout", args.fanout,
                        "--corpora", str(args.corpora)],
                       env=env, cwd=args.work, check=True)


if __name__ == "__main__":
    main()
