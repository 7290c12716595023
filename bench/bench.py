#!/usr/bin/env python3
"""Training and encoding benchmarks: pairloom against the plain algorithm and its peers.

    python bench/bench.py [--quick] [--ref REF] [--out bench/results]
    python bench/bench.py --from-json bench/results/results.json   # only re-render

Systems, all given the same text:

- pairloom: the module built from this checkout (or from REF with --ref; --installed takes the
  pairloom that Python imports without help).
- plain: bench/plain_bpe.cpp, the straightforward algorithm on the engine's one-step operations:
  every training step recounts every adjacent pair and rewrites the sequence in place; every
  encoding round recounts as well. It learns the same merges as pairloom.
- hf: Hugging Face tokenizers. Training: BpeTrainer over a byte-level alphabet with no
  pre-splitting (a ByteLevel pre-tokenizer with use_regex=False maps the bytes to characters
  and keeps the whole text one word). Encoding: its BPE model loaded with pairloom's merges.
- tiktoken: an Encoding whose mergeable ranks are pairloom's vocabulary. It pre-splits the text
  with a GPT-style word/line regex, so it solves an easier, pre-split problem. No trainer.
- spm: SentencePiece's BPE trainer with the whole text as one sentence, no whitespace, script
  or digit splitting, identity normalisation and byte fallback. Its symbols are characters
  (bytes only as fallback pieces), pieces are at most 512 characters long, and every
  character of the text takes a vocabulary slot. Encoding uses its own vocabulary of the same
  size.
- engine: bench/encode_engine.cpp, pairloom's encoder with no Python around it, built for 64
  and 32 bits where the source and the toolchain allow (reported as not built otherwise). It
  and pairloom from Python (the list of ids included) also encode long texts with a large
  vocabulary for the encoding targets.

The machinery lives in the package bench/pairloom_bench, one module per job.

Every measurement runs in a fresh subprocess. Memory is the peak resident set during the call
minus the resident set of the same process just before it (interpreter, libraries and the
text loaded), per byte of text. 1 KB = 1,000 bytes, 1 MB = 1,000,000 bytes.

Results go to OUT/RESULTS.md, OUT/*.png and OUT/results.json; the targets are printed at the
end. Peers that are not installed are left out (pip install '.[bench]' installs them).
"""

from __future__ import annotations

import argparse
import datetime
import json
import signal
import statistics
import sys
import tempfile
import time
from pathlib import Path

from pairloom_bench.build import build
from pairloom_bench.corpora import PROJECT_ROOT, default_corpora, load_inputs
from pairloom_bench.measure import Runner
from pairloom_bench.peers import available_systems
from pairloom_bench.report import machine_description, report_from_json, write_outputs
from pairloom_bench.settings import FULL, QUICK
from pairloom_bench.stages import run_stages


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small inputs, about a minute")
    parser.add_argument("--out", default=str(PROJECT_ROOT / "bench" / "results"),
                        help="directory for RESULTS.md, the plots and results.json")
    parser.add_argument("--ref", help="measure this commit (built from git archive)")
    parser.add_argument("--build-dir", default=str(PROJECT_ROOT / "build-bench"))
    parser.add_argument("--installed", action="store_true",
                        help="measure the pairloom that Python imports instead of building it")
    parser.add_argument("--corpora", type=Path, default=default_corpora(),
                        help="directory of the shared text corpora (optional; default "
                        "$PAIRLOOM_CORPORA, else ../shared/corpora beside the project)")
    parser.add_argument("--from-json", metavar="RESULTS_JSON",
                        help="only write RESULTS.md and the plots again from an earlier run")
    args = parser.parse_args()
    if args.from_json:
        saved = json.loads(Path(args.from_json).read_text())
        meta = saved["meta"]
        settings = QUICK if meta["mode"] == "quick" else FULL
        write_outputs(report_from_json(saved["report"]), meta, settings, Path(args.out))
        return

    # Stopped from outside, still remove the scratch texts and stop the running measurement.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    settings = QUICK if args.quick else FULL
    started = time.time()
    systems, versions = available_systems()
    built = build(args)
    print(f"pairloom: {built.description}", flush=True)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="pairloom-bench-") as scratch_name:
        scratch = Path(scratch_name)
        inputs = load_inputs(args.corpora, scratch)
        runner = Runner(settings, built, inputs, scratch)
        report = run_stages(runner, systems)
    loads = runner.loads
    meta = {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "mode": "quick" if settings.quick else "full",
        "duration": time.time() - started,
        "build": built.description,
        "commit": built.commit,
        "machine": machine_description(),
        "load": f"{min(loads):.2f} to {max(loads):.2f} (median {statistics.median(loads):.2f})",
        "versions": ", ".join(f"{k} {v}" for k, v in versions.items()) or "none",
        "text": inputs.main_name,
    }
    write_outputs(report, meta, settings, out)


if __name__ == "__main__":
    main()
