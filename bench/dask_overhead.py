"""The cluster's cost per merge: `pairloom_tools.dask.train` on LocalClusters of 1, 2, 4 and 8
worker processes against the command ``pairloom train`` on the same text.

Usage: python bench/dask_overhead.py [--mb 1.2] [--vocab 3000] [--workers 1,2,4,8]
    [--repeats 3] [--corpora DIR] [--out bench/results]
Needs pairloom installed with its tools' native part and dask[distributed]. The text is the
corpora's English books (gutenberg_*.txt, $PAIRLOOM_CORPORA, else ../shared/corpora beside the
project), concatenated in name order and cut to the size asked for.

For each cluster size it reports:
- overhead per merge: (the training's time - the command's time) / merges, the command timed
  from its start to its exit, the training from the call (the cluster already up) to its return;
- round trips: batches of steps sent to the workers, and merges per round trip;
- the floor: one call over the training's direct links to every worker that does next to
  nothing (an empty shard's changes), all at once, answers gathered (median of 300), as a
  round trip of the training makes them. Times the round trips a training makes, it is what
  the cluster costs at the least. Beside it, the driver's processor time per such call, and
  the same call through Dask's actor calls (the training's fallback);
- the processor time the training took per merge in the driver's process (its client and the
  LocalCluster's scheduler) and in all workers together: on a cluster whose workers have
  machines of their own, the driver's share is what adds up per merge.
Every cluster's model must equal the command's byte for byte.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pairloom_bench.corpora import books_text, default_corpora  # noqa: E402


class Echo:
    """An actor that does nothing: a round trip without the work."""

    def echo(self, value: int) -> int:
        return value


def round_trip_floor(client: Any, workers: list[str], calls: int = 300) -> dict[str, float]:
    """Medians of one call to every worker at once that does next to nothing, answers gathered:
    through Dask's actor calls (an actor that echoes), and over the training's direct links (the
    changes of an empty shard); and the driver's processor seconds per call over the links
    (what is left of it when the workers run on other machines)."""
    from pairloom_tools import dask

    actors = [client.submit(Echo, actor=True, workers=[w], pure=False) for w in workers]
    handles = [future.result() for future in actors]

    async def everyone(value: int) -> list[int]:
        return list(await asyncio.gather(*[handle.echo(value) for handle in handles]))

    times = []
    for i in range(calls):
        began = time.perf_counter()
        future = asyncio.run_coroutine_threadsafe(everyone(i), client.loop.asyncio_loop)
        future.result()
        times.append(time.perf_counter() - began)
    client.cancel(actors)
    out = {"actor": statistics.median(times)}

    shards = [client.submit(dask.ShardActor, [b""], actor=True, workers=[w], pure=False)
              for w in workers]
    handles = [future.result() for future in shards]
    links = dask._direct_links(client, handles, workers, shards)
    call = dask._linked_calls(client, links, workers, shards)
    times = []
    processor = time.process_time()
    for _ in range(calls):
        began = time.perf_counter()
        call("changes")
        times.append(time.perf_counter() - began)
    out["link_driver_cpu"] = (time.process_time() - processor) / calls
    out["link"] = statistics.median(times)
    for link in links:
        link.close()
    client.cancel(shards)
    return out


def command_seconds(path: Path, vocab: int, prefix: Path, repeats: int) -> float:
    """Median wall time of ``pairloom train`` on the file, start to exit."""
    times = []
    for _ in range(repeats):
        began = time.perf_counter()
        subprocess.run([sys.executable, "-m", "pairloom_tools", "train", "--vocab-size",
                        str(vocab), "--threads", "1", "--quiet", "--output", str(prefix),
                        str(path)], check=True)
        times.append(time.perf_counter() - began)
    return statistics.median(times)


def cluster_run(path: Path, vocab: int, workers: int, prefix: Path,
                repeats: int) -> dict[str, Any]:
    import distributed

    from pairloom_tools.dask import train

    with distributed.LocalCluster(  # type: ignore[no-untyped-call, unused-ignore]
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
            silence_logs=40) as cluster:
        with distributed.Client(cluster) as client:  # type: ignore[no-untyped-call, unused-ignore]
            names = sorted(client.scheduler_info()["workers"])
            floor = round_trip_floor(client, names)
            runs = []
            for _ in range(repeats):
                before = client.run(time.process_time)
                processor = time.process_time()
                began = time.perf_counter()
                done = train(client, [path], vocab, prefix)
                seconds = time.perf_counter() - began
                processor = time.process_time() - processor
                after = client.run(time.process_time)
                runs.append((seconds, done, processor,
                             sum(after[name] - before[name] for name in names)))
    seconds, done, driver_cpu, workers_cpu = sorted(runs, key=lambda run: run[0])[len(runs) // 2]
    return {"workers": workers, "seconds": seconds, "merges": done.merges,
            "driver_cpu_ms_per_merge": driver_cpu / done.merges * 1e3,
            "workers_cpu_ms_per_merge": workers_cpu / done.merges * 1e3,
            "round_trips": getattr(done, "round_trips", done.merges),
            "setup_seconds": done.setup_seconds,
            "actor_round_trip_floor_ms": floor["actor"] * 1e3,
            "round_trip_floor_ms": floor["link"] * 1e3,
            "driver_processor_ms_per_trip": floor["link_driver_cpu"] * 1e3}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=float, default=1.2)
    parser.add_argument("--vocab", type=int, default=3000)
    parser.add_argument("--workers", default="1,2,4,8")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--corpora", type=Path, default=default_corpora())
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    parser.add_argument("--label", default="", help="a name for this run in the results file")
    args = parser.parse_args()
    results: dict[str, Any] = {"mb": args.mb, "vocab": args.vocab, "label": args.label}
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        text = folder / "english.txt"
        text.write_bytes(books_text(args.corpora, int(args.mb * 1_000_000)))
        results["command_seconds"] = command_seconds(text, args.vocab, folder / "cmd", args.repeats)
        expected = (folder / "cmd.model").read_bytes()
        results["clusters"] = []
        print(f"{args.mb} MB -> {args.vocab}: command {results['command_seconds']:.2f} s")
        print("workers  seconds  merges  round trips  merges/trip  overhead ms/merge  "
              "link floor ms/trip  floor ms/merge  driver cpu ms/trip  actor floor ms/trip  "
              "training cpu ms/merge: driver  workers")
        for workers in map(int, args.workers.split(",")):
            run = cluster_run(text, args.vocab, workers, folder / f"dask{workers}", args.repeats)
            run["identical_model"] = (folder / f"dask{workers}.model").read_bytes() == expected
            run["overhead_ms_per_merge"] = ((run["seconds"] - results["command_seconds"])
                                            / run["merges"] * 1e3)
            run["floor_ms_per_merge"] = (run["round_trip_floor_ms"] * run["round_trips"]
                                         / run["merges"])
            results["clusters"].append(run)
            print(f"{workers:7d}  {run['seconds']:7.2f}  {run['merges']:6d}  "
                  f"{run['round_trips']:11d}  {run['merges'] / run['round_trips']:11.2f}  "
                  f"{run['overhead_ms_per_merge']:17.3f}  {run['round_trip_floor_ms']:18.3f}  "
                  f"{run['floor_ms_per_merge']:14.3f}  "
                  f"{run['driver_processor_ms_per_trip']:18.3f}  "
                  f"{run['actor_round_trip_floor_ms']:19.2f}  "
                  f"{run['driver_cpu_ms_per_merge']:30.3f}  "
                  f"{run['workers_cpu_ms_per_merge']:7.3f}", flush=True)
    args.out.mkdir(parents=True, exist_ok=True)
    name = f"dask_overhead{'_' + args.label if args.label else ''}.json"
    (args.out / name).write_text(json.dumps(results, indent=1) + "\n")
    if not all(run["identical_model"] for run in results["clusters"]):
        raise SystemExit("a cluster's model differs from the command's")


if __name__ == "__main__":
    main()
