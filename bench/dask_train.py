"""Training on a Dask LocalCluster: per-step latency and whole time, and the parts a step's
time is made of, for a projection to larger texts and clusters.

Usage: python bench/dask_train.py [--mb 50] [--vocab 8192] [--workers 2] [--corpora DIR]
    [--out bench/results]
Needs pairloom installed with its tools' native part and dask[distributed]. The text is the
corpora's English books (gutenberg_*.txt, $PAIRLOOM_CORPORA, else ../shared/corpora beside the
project), concatenated in name order, repeated until it has the size asked for.

Three runs on the same text:
- the class: BasicTokenizer(1).train, for reference;
- in-process shards: as many shards as workers, driven in turn by this process, timing each
  step's rewrite of every shard and the coordinator's work (its share of a step) apart;
- the cluster: pairloom_tools.dask.train on a LocalCluster of --workers processes with one
  thread each; its model file must equal the class's byte for byte.
A step on the cluster costs the slowest shard's rewrite, the coordinator, and a round trip to
every worker; the round trip is what the cluster adds over the in-process run.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pairloom_bench.corpora import books_text, default_corpora  # noqa: E402

import pairloom  # noqa: E402
from pairloom_tools._native import Coordinator, Shard, write_model  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident() -> int:
    with open("/proc/self/statm") as file:
        return int(file.read().split()[1]) * PAGE


def quantiles(values: list[float]) -> dict[str, float]:
    ordered = sorted(values)
    return {"median": statistics.median(ordered), "p90": ordered[int(0.9 * (len(ordered) - 1))],
            "max": ordered[-1], "sum": sum(ordered)}


def in_process(data: bytes, shards: int, vocab: int) -> dict[str, Any]:
    """The cluster's loop with the shards in this process, its parts timed apart."""
    before = resident()
    start = time.perf_counter()
    cuts = [k * len(data) // shards for k in range(shards + 1)]
    parts = [Shard(data[b:e]) for b, e in zip(cuts, cuts[1:])]
    coordinator = Coordinator()
    for part in parts:
        coordinator.add(part.take_deltas())
    coordinator.set_edges([part.edges() for part in parts])
    setup = time.perf_counter() - start
    shard_bytes = resident() - before
    rewrite, coordinating, changes, merges = [], [], [], []
    for token in range(256, vocab):
        began = time.perf_counter()
        pair = coordinator.most_common_pair()
        if pair is None:
            break
        roles = coordinator.plan(*pair)
        coordinating_time = time.perf_counter() - began
        slowest, packed = 0.0, []
        for part, role in zip(parts, roles):
            began = time.perf_counter()
            part.merge(*pair, token, *role)
            packed.append((part.take_deltas(), part.edges()))
            slowest = max(slowest, time.perf_counter() - began)
        began = time.perf_counter()
        for deltas, _ in packed:
            coordinator.add(deltas)
        coordinator.set_edges([edges for _, edges in packed])
        coordinator.finish_step(*pair)
        coordinating.append(coordinating_time + time.perf_counter() - began)
        rewrite.append(slowest)
        changes.append(sum(len(deltas) // 24 for deltas, _ in packed))
        merges.append(pair)
    return {"setup_seconds": setup, "shard_bytes_per_byte": shard_bytes / len(data),
            "coordinator_pairs": coordinator.pairs, "rewrite": quantiles(rewrite),
            "coordinator": quantiles(coordinating), "changes": quantiles([float(c) for c in changes]),
            "changes_total": sum(changes), "merges": merges}


class Echo:
    """An actor that does nothing: the round trip of a step without the work."""

    def echo(self, value: int) -> int:
        return value


def round_trips(client: object, workers: list[str], calls: int = 500) -> list[float]:
    """Seconds of one call to every worker's actor, answers gathered, as a step makes them."""
    actors = [client.submit(Echo, actor=True, workers=[w], pure=False)  # type: ignore[attr-defined]
              for w in workers]
    handles = [future.result() for future in actors]
    times = []
    for i in range(calls):
        began = time.perf_counter()
        for call in [handle.echo(i) for handle in handles]:
            call.result()
        times.append(time.perf_counter() - began)
    client.cancel(actors)  # type: ignore[attr-defined]
    return times


def cluster_run(path: Path, vocab: int, workers: int, prefix: Path) -> dict[str, object]:
    import distributed

    from pairloom_tools.dask import train

    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as client:
            names = sorted(client.scheduler_info()["workers"])
            echo = {f"{n} actors": quantiles(round_trips(client, names[:n]))
                    for n in sorted({1, workers})}
            done = train(client, [path], vocab, prefix)
    steps = done.step_seconds
    slowest = max(range(len(steps)), key=steps.__getitem__)
    return {"setup_seconds": done.setup_seconds, "seconds": done.seconds,
            "merges": done.merges, "step": quantiles(steps), "first_steps": steps[:3],
            "slowest_step": [slowest, steps[slowest]], "round_trip": echo}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=float, default=50)
    parser.add_argument("--vocab", type=int, default=8192)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--corpora", type=Path, default=default_corpora())
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    args = parser.parse_args()
    data = books_text(args.corpora, int(args.mb * 1_000_000))
    results: dict[str, object] = {"bytes": len(data), "vocab": args.vocab,
                                  "workers": args.workers}
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        (folder / "english.txt").write_bytes(data)
        # First, while this process holds nothing but the text: the shards' memory shows.
        local = in_process(data, args.workers, args.vocab)
        write_model(local.pop("merges"), str(folder / "local.model"), str(folder / "local.vocab"))
        results["in_process"] = local
        text = data.decode("utf-8")
        tok = pairloom.BasicTokenizer(1)
        start = time.perf_counter()
        tok.train(text, args.vocab)
        results["class_seconds"] = time.perf_counter() - start
        tok.save(str(folder / "class.model"), str(folder / "class.vocab"))
        del tok, text
        print(json.dumps(results, indent=1), flush=True)
        results["cluster"] = cluster_run(folder / "english.txt", args.vocab, args.workers,
                                         folder / "cluster")
        same = all((folder / f"{name}.model").read_bytes() == (folder / "class.model").read_bytes()
                   for name in ("local", "cluster"))
        results["identical_model"] = same
    print(json.dumps(results, indent=1))
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "dask_train.json").write_text(json.dumps(results, indent=1))
    if not same:
        raise SystemExit("the sharded models differ from the class's")


if __name__ == "__main__":
    main()
