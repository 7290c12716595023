"""Train a tokenizer on a folder of text files on a Dask cluster.

    python examples/dask_train.py FOLDER PREFIX [--vocab-size 32768] [--scheduler tcp://HOST:8786]
        [--workers 4] [--threads 1]

Writes PREFIX.model and PREFIX.vocab, byte for byte what ``pairloom train`` writes for the
folder. Without --scheduler a LocalCluster of --workers processes runs on this machine. The
workers read their parts of the files where they see the driver's bytes (one machine, or a
shared file system); else the driver ships them. A bar counts the merges; Ctrl-C stops the
training and writes nothing.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import time
from collections.abc import Iterator
from typing import Any

from distributed import Client, LocalCluster  # type: ignore[import-not-found, unused-ignore]
from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

from pairloom_tools import ToolError
from pairloom_tools.dask import train
from pairloom_tools.files import collect_paths


@contextlib.contextmanager
def connect(scheduler: str | None, workers: int, threads: int) -> Iterator[Any]:
    if scheduler:
        with Client(scheduler) as client:  # type: ignore[no-untyped-call, unused-ignore]
            yield client
        return
    cluster = LocalCluster(  # type: ignore[no-untyped-call, unused-ignore]
        n_workers=workers, threads_per_worker=threads, processes=True, dashboard_address=":0")
    with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call, unused-ignore]
        yield client


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", help="a folder of text files (or one file)")
    parser.add_argument("prefix", help="writes PREFIX.model and PREFIX.vocab")
    parser.add_argument("--vocab-size", type=int, default=32768, help="tokens in the model")
    parser.add_argument("--scheduler", help="address of a running scheduler (else a LocalCluster)")
    parser.add_argument("--workers", type=int, default=4,
                        help="worker processes of the LocalCluster (default 4)")
    parser.add_argument("--threads", type=int, default=1,
                        help="shards, and threads rewriting them, per worker (default 1)")
    args = parser.parse_args()
    try:
        size = sum(path.stat().st_size for path in collect_paths([args.folder]))
        with connect(args.scheduler, args.workers, args.threads) as client:
            workers = len(client.scheduler_info()["workers"])
            began = time.perf_counter()
            with tqdm(total=args.vocab_size - 256, unit="merge", smoothing=0.05) as bar:
                done = train(client, [args.folder], args.vocab_size, args.prefix,
                             num_threads=args.threads, progress=bar.update)
            seconds = time.perf_counter() - began
    except KeyboardInterrupt:
        print("interrupted: no output written", file=sys.stderr)
        return 130
    except ToolError as error:
        print(f"error: {error}; no output written", file=sys.stderr)
        return 1
    print(f"learned {done.merges} merges on {size / 1e6:.1f} MB in {seconds:.1f} s with "
          f"{workers} workers ({done.shards} shards, {done.merges / max(done.round_trips, 1):.1f} "
          f"merges per round trip); wrote {done.model_path} and {done.vocab_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
