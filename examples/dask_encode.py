"""Encode a folder of text files on a Dask cluster, one document per file.

    python examples/dask_encode.py MODEL FOLDER OUTPUT_DIR [--scheduler tcp://HOST:8786]

Without --scheduler a LocalCluster of two worker processes runs on this machine. The model,
the folder and OUTPUT_DIR must be reachable at the same paths from every worker.
"""

from __future__ import annotations

import argparse
import json
import sys

import numpy as np
from distributed import Client, LocalCluster  # type: ignore[import-not-found, unused-ignore]

from pairloom_tools.dask import encode_files


def encode_on(client: Client, model: str, folder: str, output: str) -> None:
    manifest_path = encode_files(client, model, [folder], output)
    manifest = json.loads(manifest_path.read_text(encoding="utf-8"))
    offsets = np.load(manifest_path.parent / "offsets.npy")
    print(f"{len(manifest['documents'])} documents, {int(offsets[-1])} tokens "
          f"({manifest['dtype']}); manifest: {manifest_path}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model")
    parser.add_argument("folder")
    parser.add_argument("output")
    parser.add_argument("--scheduler", help="address of a running scheduler")
    args = parser.parse_args()
    if args.scheduler:
        with Client(args.scheduler) as client:  # type: ignore[no-untyped-call, unused-ignore]
            encode_on(client, args.model, args.folder, args.output)
    else:
        cluster = LocalCluster(  # type: ignore[no-untyped-call, unused-ignore]
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
        with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call, unused-ignore]
            encode_on(client, args.model, args.folder, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
