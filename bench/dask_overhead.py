"""The cluster's cost per merge: `pairloom_tools.dask.train` on LocalClusters of 1, 2, 4 and 8
worker processes against the command ``pairloom train`` on the same text.

Usage: python bench/dask_overhead.py [--mb 1.2] [--vocab 3000] [--workers 1,2,4,8]
    [--fanout 4] [--repeats 3] [--corpora DIR] [--out bench/results]
Needs pairloom installed with its tools' native part and dask[distributed]. The text is the
corpora's English books (gutenberg_*.txt, $PAIRLOOM_CORPORA, else ../shared/corpora beside the
project), concatenated in name order and cut to the size asked for.

For each cluster size, and each relay fan-out of --fanout (most links the driver or a relay
sends a round trip down: with as many workers or fewer, the driver links to every worker), it
reports:
- overhead per merge: (the training's time - the command's time) / merges, the command timed
  from its start to its exit, the training from the call (the cluster already up) to its return;
- round trips: batches of steps sent to the workers, and merges per round trip;
- the floor: one call over the training's direct links (the tree of relays) to every worker
  that does next to nothing (an empty shard's changes), all at once, answers gathered (median
  of 300), as a round trip of the training makes them. Times the round trips a training makes, it is what
  the cluster costs at the least. Beside it, the driver's processor time per such call (its
  process, and the thread that makes the calls), and the same call through Dask's actor calls
  (the training's fallback);
- the processor time the training took per merge in the driver's process (its client and the
  LocalCluster's scheduler), in the thread that runs the training (the coordinator and the
  round trips: what the relays keep from growing with the workers), and in all workers
  together: on a cluster whose workers have machines of their own, the driver's share is what
  adds up per merge; and the messages per round trip and kilobytes the driver took in from
  its links over the training (the first counts included).
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


def round_trip_floor(client: Any, workers: list[str], fanout: int,
                     calls: int = 300) -> dict[str, float]:
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
    links = dask._direct_links(client, handles, workers, shards, fanout)
    assert links is not None, "the driver could not link to the workers"
    call = dask._linked_calls(client, links, workers, shards)
    times = []
    processor, thread = time.process_time(), time.thread_time()
    for _ in range(calls):
        began = time.perf_counter()
        call("changes")
        times.append(time.perf_counter() - began)
    out["link_driver_cpu"] = (time.process_time() - processor) / calls
    out["link_driver_thread"] = (time.thread_time() - thread) / calls
    out["link"] = statistics.median(times)
    links.close()
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


class Received:
    """Counts the messages and bytes the driver takes from its links while it is on."""

    def __init__(self) -> None:
        import multiprocessing.connection

        self.messages = self.bytes = 0
        self._connection = multiprocessing.connection.Connection
        self._recv_bytes = self._connection._recv_bytes  # type: ignore[attr-defined]

    def __enter__(self) -> Received:
        recv_bytes = self._recv_bytes

        def counted(link: Any, *args: Any) -> Any:
            buffer = recv_bytes(link, *args)
            self.messages += 1
            self.bytes += buffer.getbuffer().nbytes
            return buffer

        self._connection._recv_bytes = counted  # type: ignore[attr-defined]
        return self

    def __exit__(self, *_: object) -> None:
        self._connection._recv_bytes = self._recv_bytes  # type: ignore[attr-defined]


def cluster_run(path: Path, vocab: int, workers: int, fanout: int, prefix: Path,
                repeats: int) -> dict[str, Any]:
    import distributed

    from pairloom_tools import dask
    from pairloom_tools.dask import train

    dask.RELAY_FANOUT = fanout

    with distributed.LocalCluster(  # type: ignore[no-untyped-call, unused-ignore]
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
            silence_logs=40) as cluster:
        with distributed.Client(cluster) as client:  # type: ignore[no-untyped-call, unused-ignore]
            names = sorted(client.scheduler_info()["workers"])
            floor = round_trip_floor(client, names, fanout)
            runs = []
            for _ in range(repeats):
                before = client.run(time.process_time)
                processor, thread = time.process_time(), time.thread_time()
                began = time.perf_counter()
                with Received() as received:
                    done = train(client, [path], vocab, prefix)
                seconds = time.perf_counter() - began
                processor, thread = time.process_time() - processor, time.thread_time() - thread
                after = client.run(time.process_time)
                runs.append((seconds, done, processor, thread,
                             sum(after[name] - before[name] for name in names), received))
    seconds, done, driver_cpu, driver_thread, workers_cpu, received = sorted(
        runs, key=lambda run: run[0])[len(runs) // 2]
    return {"workers": workers, "fanout": fanout, "seconds": seconds, "merges": done.merges,
            "driver_cpu_ms_per_merge": driver_cpu / done.merges * 1e3,
            "driver_thread_cpu_ms_per_merge": driver_thread / done.merges * 1e3,
            # What the driver took in from its links over the training, first counts included.
            "driver_messages_per_trip": received.messages / max(done.round_trips, 1),
            "driver_kb_received": received.bytes / 1e3,
            "workers_cpu_ms_per_merge": workers_cpu / done.merges * 1e3,
            "round_trips": getattr(done, "round_trips", done.merges),
            "setup_seconds": done.setup_seconds,
            "actor_round_trip_floor_ms": floor["actor"] * 1e3,
            "round_trip_floor_ms": floor["link"] * 1e3,
            "driver_processor_ms_per_trip": floor["link_driver_cpu"] * 1e3,
            "driver_thread_ms_per_trip": floor["link_driver_thread"] * 1e3}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=float, default=1.2)
    parser.add_argument("--vocab", type=int, default=3000)
    parser.add_argument("--workers", default="1,2,4,8")
    parser.add_argument("--fanout", default="4")
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
        print("workers  fanout  seconds  merges  round trips  merges/trip  overhead ms/merge  "
              "link floor ms/trip  floor ms/merge  driver cpu ms/trip (thread)  "
              "actor floor ms/trip  training cpu ms/merge: driver (thread)  workers  "
              "driver: messages/trip  kB in")
        for workers, fanout in ((w, f) for w in map(int, args.workers.split(","))
                                for f in map(int, args.fanout.split(","))):
            run = cluster_run(text, args.vocab, workers, fanout, folder / f"dask{workers}",
                              args.repeats)
            run["identical_model"] = (folder / f"dask{workers}.model").read_bytes() == expected
            run["overhead_ms_per_merge"] = ((run["seconds"] - results["command_seconds"])
                                            / run["merges"] * 1e3)
            run["floor_ms_per_merge"] = (run["round_trip_floor_ms"] * run["round_trips"]
                                         / run["merges"])
            results["clusters"].append(run)
            print(f"{workers:7d}  {fanout:6d}  {run['seconds']:7.2f}  {run['merges']:6d}  "
                  f"{run['round_trips']:11d}  {run['merges'] / run['round_trips']:11.2f}  "
                  f"{run['overhead_ms_per_merge']:17.3f}  {run['round_trip_floor_ms']:18.3f}  "
                  f"{run['floor_ms_per_merge']:14.3f}  "
                  f"{run['driver_processor_ms_per_trip']:18.3f} "
                  f"({run['driver_thread_ms_per_trip']:.3f})  "
                  f"{run['actor_round_trip_floor_ms']:19.2f}  "
                  f"{run['driver_cpu_ms_per_merge']:30.3f} "
                  f"({run['driver_thread_cpu_ms_per_merge']:.3f})  "
                  f"{run['workers_cpu_ms_per_merge']:7.3f}  "
                  f"{run['driver_messages_per_trip']:21.2f}  {run['driver_kb_received']:5.0f}",
                  flush=True)
    args.out.mkdir(parents=True, exist_ok=True)
    name = f"dask_overhead{'_' + args.label if args.label else ''}.json"
    (args.out / name).write_text(json.dumps(results, indent=1) + "\n")
    if not all(run["identical_model"] for run in results["clusters"]):
        raise SystemExit("a cluster's model differs from the command's")


if __name__ == "__main__":
    main()
