"""Measurements in fresh processes.

Every measurement runs in a new process: a Python worker (`python -m pairloom_bench.measure
JOB`, JOB a JSON object) or one of the native programs. Each reports one JSON object (the
encoding program one key=value line) with wall and CPU seconds and, where it can, the peak
resident set during the call and the resident set just before it. The parent keeps the median
of the runs, stops repeating on a timeout, and skips a run that a smaller one shows would time
out.
"""

from __future__ import annotations

import array
import json
import math
import os
import re
import resource
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from . import peers
from .build import Build
from .corpora import Inputs, load_text
from .settings import Settings

PACKAGE_PARENT = Path(__file__).resolve().parent.parent

# ---------------------------------------------------------------------------------------------
# The worker: one measurement in a fresh process, reporting JSON on its last output line


def status_bytes(field_name: str) -> int:
    match = re.search(field_name + r":\s+(\d+) kB", Path("/proc/self/status").read_text())
    return int(match.group(1)) * 1024 if match else 0


def rss_now() -> int:
    return status_bytes("VmRSS")


def start_peak_window() -> bool:
    """Resets the peak resident set to the current one, so the peak that follows belongs to
    the measured call only; False when the kernel does not allow it."""
    try:
        Path("/proc/self/clear_refs").write_text("5")
        return True
    except OSError:
        return False


def peak_rss() -> int:
    # Not ru_maxrss: after a vfork-and-exec start it also holds the parent's peak.
    return status_bytes("VmHWM") or resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def worker_train(job: dict[str, Any]) -> dict[str, Any]:
    system = job["system"]
    text = load_text(job["text"])
    call, finish = peers.make_trainer(system, text, job["vocab"], job["threads"])
    reset = start_peak_window()
    baseline = rss_now()
    cpu, start = time.process_time(), time.perf_counter()
    call()
    wall, cpu = time.perf_counter() - start, time.process_time() - cpu
    result = {"wall": wall, "cpu": cpu, "baseline_rss": baseline, "peak_rss": peak_rss(),
              "peak_window": reset}
    if system.startswith("pairloom") and not text.isascii():
        # The binding's UTF-8 view of a non-ASCII str is a copy that the str keeps.
        result["utf8_copy"] = len(text.encode())
    result.update(finish(job.get("model_out")))
    return result


def worker_steps(job: dict[str, Any]) -> dict[str, Any]:
    """pairloom's train at vocab_size 256 (no step) and 257 (the first count and one merge),
    with num_threads 1 and 2 in turn in one process, so both see the same load; the
    difference 257 - 256 is the cost of the first step."""
    import pairloom

    text = load_text(job["text"])
    tokenizers = {n: pairloom.BasicTokenizer(num_threads=n) for n in (1, 2)}
    for tokenizer in tokenizers.values():
        tokenizer.train(text, 257)  # warm-up: starts the worker pool, caches the text's UTF-8
    walls: dict[tuple[int, int], list[float]] = {(n, v): [] for n in (1, 2) for v in (256, 257)}
    cpus: dict[tuple[int, int], list[float]] = {(n, v): [] for n in (1, 2) for v in (256, 257)}
    for _ in range(job["repeats"]):
        for n, tokenizer in tokenizers.items():
            for vocab in (256, 257):
                cpu, start = time.process_time(), time.perf_counter()
                tokenizer.train(text, vocab)
                walls[n, vocab].append(time.perf_counter() - start)
                cpus[n, vocab].append(time.process_time() - cpu)
    result = {}
    for n in (1, 2):
        result[f"wall_{n}"] = statistics.median(
            b - a for a, b in zip(walls[n, 256], walls[n, 257]))
        result[f"cpu_{n}"] = statistics.median(b - a for a, b in zip(cpus[n, 256], cpus[n, 257]))
    return result


def worker_encode(job: dict[str, Any]) -> dict[str, Any]:
    text = load_text(job["text"])
    encode = peers.make_encoder(job["system"], job["model"])
    encode(text[:1000])  # warm-up: first-call set-up is not part of the throughput
    reset = start_peak_window()
    baseline = rss_now()
    walls, cpus = [], []
    while True:
        cpu, start = time.process_time(), time.perf_counter()
        ids = encode(text)
        walls.append(time.perf_counter() - start)
        cpus.append(time.process_time() - cpu)
        total = sum(walls)
        if total >= job["seconds"] and (len(walls) >= 3 or total >= 3 * job["seconds"]):
            break
        del ids
    result = {"wall": statistics.median(walls), "cpu": statistics.median(cpus),
              "calls": len(walls), "tokens": len(ids), "baseline_rss": baseline,
              "peak_rss": peak_rss(), "peak_window": reset}
    if job.get("ids_out"):
        Path(job["ids_out"]).write_bytes(array.array("I", ids).tobytes())
    return result


def worker_agreement(job: dict[str, Any]) -> dict[str, Any]:
    """Encodes each text with pairloom and with HF's BPE model holding pairloom's merges."""
    import pairloom

    merges = peers.read_merges(job["model"])
    tokens = peers.token_bytes(merges)
    first_with_bytes: dict[bytes, int] = {}
    canonical = [first_with_bytes.setdefault(token, i) for i, token in enumerate(tokens)]
    tokenizer = pairloom.BasicTokenizer()
    tokenizer.load(job["model"])
    hf = peers.hf_tokenizer_from_merges(merges)
    checks = []
    for name, path in job["texts"]:
        text = load_text(path)
        ours = tokenizer.encode(text)
        theirs = hf.encode(text, add_special_tokens=False).ids
        checks.append({
            "text": name, "tokens": len(ours), "hf_tokens": len(theirs),
            "identical": ours == theirs,
            # Equal once every token is named by the first id with its bytes.
            "identical_by_bytes": [canonical[i] for i in ours] == theirs,
            "same_bytes": b"".join(tokens[i] for i in ours) == text.encode(),
        })
    duplicates = len(tokens) - len(first_with_bytes)
    return {"checks": checks, "duplicate_tokens": duplicates}


WORKERS: dict[str, Callable[[dict[str, Any]], dict[str, Any]]] = {
    "train": worker_train, "steps": worker_steps, "encode": worker_encode,
    "agreement": worker_agreement,
}


def worker_main(job: dict[str, Any]) -> None:
    result = WORKERS[job["kind"]](job)
    result["load"] = os.getloadavg()[0]
    print(json.dumps(result), flush=True)


# ---------------------------------------------------------------------------------------------
# Running measurements


@dataclass
class Result:
    """One measurement: the median over its runs, or why there is none."""

    status: str  # "ok", "timeout", "skipped" (a smaller input already took too long), "error"
    wall: float = math.nan
    cpu: float = math.nan
    memory: float = math.nan  # peak minus baseline resident bytes
    timeout: float = math.nan
    runs: int = 0
    text_bytes: int = 0
    extra: dict[str, Any] = field(default_factory=dict)
    error: str = ""

    @property
    def ok(self) -> bool:
        return self.status == "ok"

    def seconds(self) -> str:
        if self.ok:
            return f"{self.wall:.3g} s" if self.wall < 100 else f"{self.wall:.0f} s"
        if self.status in ("timeout", "skipped"):
            return f"> {self.timeout:g} s"
        return "error"

    def lower_bound(self) -> float:
        """The time, or the least it would take."""
        return self.wall if self.ok else self.timeout


def settle(longest: float, quiet: float = 0.3) -> None:
    """Waits until the 1-minute load average falls below `quiet`, for at most `longest` s."""
    deadline = time.monotonic() + longest
    while os.getloadavg()[0] >= quiet and time.monotonic() < deadline:
        time.sleep(1)


class Runner:
    def __init__(self, settings: Settings, built: Build, inputs: Inputs, scratch: Path):
        self.settings = settings
        self.built = built
        self.inputs = inputs
        self.scratch = scratch
        self.results: dict[str, Result] = {}
        self.loads: list[float] = []
        self.env = dict(os.environ)
        if built.module_dir is not None:
            self.env["PYTHONPATH"] = os.pathsep.join(
                [str(built.module_dir), *filter(None, [os.environ.get("PYTHONPATH")])])

    def python_job(self, job: dict[str, Any], timeout: float) -> dict[str, Any]:
        # Started from the package's folder, so that it imports this package and no other
        # folder's pairloom.
        command = [sys.executable, "-m", "pairloom_bench.measure", json.dumps(job)]
        return self.subprocess(command, timeout, cwd=PACKAGE_PARENT)

    def subprocess(self, command: list[str], timeout: float, cwd: Path | None = None,
                   parse: Callable[[str], dict[str, Any]] | None = None) -> dict[str, Any]:
        self.loads.append(os.getloadavg()[0])
        done = subprocess.run(command, env=self.env, capture_output=True, text=True,
                              timeout=timeout, cwd=cwd)
        if done.returncode != 0:
            raise RuntimeError((done.stderr.strip().splitlines() or ["failed"])[-1][:300])
        if parse is not None:
            return parse(done.stdout)
        return json.loads(done.stdout.strip().splitlines()[-1])  # type: ignore[no-any-return]

    def native_job(self, job: dict[str, Any], timeout: float) -> dict[str, Any]:
        system = job["system"]
        if system == "plain":
            return self.subprocess(peers.plain_command(self.built.plain_tool, job), timeout)
        tool = self.built.engines.get(system)
        if tool is None:
            raise RuntimeError(self.built.engines_absent.get(system, "not built"))
        return self.subprocess(peers.engine_command(tool, job), timeout,
                               parse=peers.parse_engine_output)

    def measure(self, key: str, job: dict[str, Any], timeout: float, repeats: int | None = None,
                skip_from: Result | None = None, skip_factor: float = 1.0) -> Result:
        """Runs `job` in fresh processes and keeps the medians. `skip_from`: the same system on
        a smaller problem; when that timed out, or took longer than timeout / skip_factor
        (the time grows at least by that factor), this one is not run and counts as over the
        timeout."""
        if key in self.results:
            return self.results[key]
        text_bytes = Path(job["text"]).stat().st_size
        if skip_from is not None and (
            skip_from.status in ("timeout", "skipped")
            or (skip_from.ok and skip_from.wall * skip_factor > timeout)
        ):
            result = Result("skipped", timeout=timeout, text_bytes=text_bytes)
            self.results[key] = result
            print(f"  {key}: skipped (> {timeout:g} s expected)", flush=True)
            return result
        runs: list[dict[str, Any]] = []
        failure = None
        limit = repeats or self.settings.max_repeats
        while len(runs) < limit and failure is None:
            failure = self.run_once(job, timeout, runs)
            # Slow runs are not repeated: their noise is small next to their length.
            if runs and repeats is None and runs[0]["wall"] > 10:
                break
        return self.keep(key, runs, failure, timeout, text_bytes)

    def round_robin(self, jobs: dict[str, tuple[dict[str, Any], float]], rounds: int
                    ) -> dict[str, Result]:
        """Runs each job once per round, in turn, so a load that changes meanwhile weighs on
        all of them alike; medians per job."""
        runs: dict[str, list[dict[str, Any]]] = {key: [] for key in jobs}
        failures: dict[str, Result | None] = {key: None for key in jobs}
        for _ in range(rounds):
            for key, (job, timeout) in jobs.items():
                if failures[key] is None:
                    failures[key] = self.run_once(job, timeout, runs[key])
        return {key: self.keep(key, runs[key], failures[key], timeout,
                               Path(job["text"]).stat().st_size)
                for key, (job, timeout) in jobs.items()}

    def run_once(self, job: dict[str, Any], timeout: float, runs: list[dict[str, Any]]
                 ) -> Result | None:
        """One fresh process: appends its report to `runs`, or returns why there is none."""
        try:
            if job["system"] in peers.NATIVE_SYSTEMS:
                runs.append(self.native_job(job, timeout))
            else:
                runs.append(self.python_job(job, timeout))
            return None
        except subprocess.TimeoutExpired:
            return Result("timeout", timeout=timeout)
        except RuntimeError as error:
            return Result("error", error=str(error))

    def keep(self, key: str, runs: list[dict[str, Any]], failure: Result | None, timeout: float,
             text_bytes: int) -> Result:
        """The medians of `runs` (a failure after a successful run only ends the repeats)."""
        if not runs:
            result = failure or Result("error", error="not run")
            result.text_bytes = text_bytes
            detail = f"> {timeout:g} s" if result.status == "timeout" else f"error: {result.error}"
        else:
            result = Result(
                "ok",
                wall=statistics.median(r["wall"] for r in runs),
                cpu=statistics.median(r["cpu"] for r in runs),
                runs=len(runs),
                timeout=timeout,
                text_bytes=text_bytes,
                extra={k: v for k, v in runs[0].items()
                       if k not in ("wall", "cpu", "baseline_rss", "peak_rss")},
            )
            if "peak_rss" in runs[0]:
                result.memory = statistics.median(r["peak_rss"] - r["baseline_rss"] for r in runs)
            detail = f"{result.seconds()} (cpu {result.cpu:.3g} s, {result.runs} run(s))"
        self.results[key] = result
        print(f"  {key}: {detail}", flush=True)
        return result

    # -- one kind of measurement each

    @staticmethod
    def train_job(system: str, text: Path, vocab: int) -> dict[str, Any]:
        return {"kind": "train", "system": system, "text": str(text), "vocab": vocab,
                "threads": 2 if system == "pairloom2" else 1}

    def encode_job(self, system: str, text: Path, model: Path) -> dict[str, Any]:
        return {"kind": "encode", "system": system, "text": str(text), "model": str(model),
                "merges": str(model), "seconds": self.settings.encode_seconds}

    def train(self, system: str, text: Path, vocab: int, timeout: float, **kw: Any) -> Result:
        job = self.train_job(system, text, vocab)
        if "model_out" in kw:
            job["model_out"] = str(kw.pop("model_out"))
        return self.measure(f"train/{system}/{text.name}/{vocab}", job, timeout, **kw)

    def encode(self, system: str, text: Path, model: Path, timeout: float, **kw: Any) -> Result:
        job = self.encode_job(system, text, model)
        if "ids_out" in kw:
            job["ids_out"] = str(kw.pop("ids_out"))
        return self.measure(f"encode/{system}/{text.name}", job, timeout, repeats=1, **kw)


if __name__ == "__main__":
    worker_main(json.loads(sys.argv[1]))
