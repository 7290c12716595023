"""How soon Ctrl-C is answered while a model of millions of merges loads.

Usage: python bench/interrupt_latency.py [--merges 10000000] [--points 24] [--out DIR]

Writes a model of MERGES merges (every byte pair, then random pairs of an earlier pair's
token and a byte: a table that the encoder's tables take seconds to index), times one load of
it in a child process, then starts a child for each of POINTS moments spread over that time
and sends it SIGUSR1 at that moment. The child's handler raises KeyboardInterrupt; the delay
is from the signal to the handler's first line, which runs at the engine's next poll. Prints
the delays and writes them, with the phase each fell in, to DIR/interrupt_latency.json (the
bench's results folder by default).
"""
from __future__ import annotations

import argparse
import json
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CHILD = """
import signal, sys, time
import pairloom
def handler(signum, frame):
    print("handled", time.monotonic(), flush=True)
    raise KeyboardInterrupt
signal.signal(signal.SIGUSR1, handler)
tok = pairloom.BasicTokenizer()
print("ready", flush=True)
try:
    tok.load(sys.argv[1])  # reads the file, then builds the encoding tables
    print("loaded", time.monotonic(), flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


def write_model(path: Path, merges: int) -> None:
    rng = random.Random(1)
    seen: set[tuple[int, int]] = set()
    with path.open("w", encoding="ascii") as file:
        file.write("pairloom v1\n\n0\n")
        file.writelines(f"{a} {b}\n" for a in range(256) for b in range(256))
        written = 65536
        while written < merges:
            pair = (256 + rng.randrange(65536), rng.randrange(256))
            if pair in seen:
                continue
            seen.add(pair)
            file.write(f"{pair[0]} {pair[1]}\n")
            written += 1


def run(model: Path, delay: float | None) -> dict[str, float | str]:
    """One child: loads `model`, signalled `delay` seconds after it is ready (never if None)."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(model)], stdout=subprocess.PIPE,
                             text=True)
    assert child.stdout is not None
    child.stdout.readline()
    ready = time.monotonic()
    if delay is None:
        words = child.stdout.read().split()
        child.wait()
        return {"load_seconds": float(words[words.index("loaded") + 1]) - ready}
    time.sleep(max(0.0, ready + delay - time.monotonic()))
    sent = time.monotonic()
    child.send_signal(signal.SIGUSR1)
    words = child.stdout.read().split()
    child.wait()
    if "handled" not in words:
        return {"delay": delay, "outcome": "loaded before the signal"}
    return {"delay": delay, "outcome": "interrupted" if "interrupted" in words else "loaded",
            "answered_ms": (float(words[words.index("handled") + 1]) - sent) * 1000}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--merges", type=int, default=10_000_000)
    parser.add_argument("--points", type=int, default=24)
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        model = Path(scratch) / "big.model"
        write_model(model, args.merges)
        load = float(run(model, None)["load_seconds"])
        print(f"{args.merges:,} merges, {model.stat().st_size / 1e6:.0f} MB: loads in {load:.1f} s",
              flush=True)
        rng = random.Random(2)
        runs = []
        for k in range(args.points):  # one moment in each of POINTS equal slices of the load
            delay = load * (k + rng.random()) / args.points
            runs.append(run(model, delay))
            print(json.dumps(runs[-1]), flush=True)
    answered = [float(r["answered_ms"]) for r in runs if "answered_ms" in r]
    summary = {"merges": args.merges, "load_seconds": load, "runs": runs,
               "answered_ms_median": statistics.median(answered) if answered else None,
               "answered_ms_max": max(answered) if answered else None}
    print(f"answered: median {summary['answered_ms_median']:.1f} ms, "
          f"slowest {summary['answered_ms_max']:.1f} ms over {len(answered)} signals")
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "interrupt_latency.json").write_text(json.dumps(summary, indent=1))


if __name__ == "__main__":
    main()
