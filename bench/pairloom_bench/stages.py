"""What a run measures, stage by stage; the report is a dict of Results by stage."""

from __future__ import annotations

import json
import subprocess
from typing import Any

from .measure import Result, Runner, settle
from .peers import write_merges_file
from .settings import (MB, Settings, encode_target_size, long_key, scaling_sizes,
                       size_label)


def timeout_for(system: str, settings: Settings) -> float:
    return settings.pairloom_timeout if system.startswith("pairloom") else settings.timeout


def run_stages(runner: Runner, systems: list[str]) -> dict[str, Any]:
    s, inputs, scratch = runner.settings, runner.inputs, runner.scratch
    trainers = [x for x in ["pairloom", "plain", "hf", "spm"] if x in systems]
    report: dict[str, Any] = {}

    # 1. The target problem, which also yields the vocabularies for encoding.
    print(f"training {size_label(s.target_bytes)} to vocab_size {s.target_vocab}", flush=True)
    target_text = inputs.path("main", s.target_bytes)
    models = {"pairloom": scratch / "pairloom.model", "spm": scratch / "spm.model"}
    target = {}
    for system in ["pairloom", "pairloom2", "plain", "hf", "spm"]:
        if system not in systems and system != "pairloom2":
            continue
        timeout = {"hf": s.hf_target_timeout, "spm": s.timeout}.get(system, s.target_timeout)
        kw = {}
        if system in ("pairloom", "spm"):
            kw["model_out"] = models[system]
        if system == "plain":
            kw["model_out"] = scratch / "plain.merges"
        target[system] = runner.train(system, target_text, s.target_vocab, timeout, **kw)
    report["target"] = target
    if not models["pairloom"].exists():
        raise SystemExit("pairloom's training on the target problem failed; nothing to encode")
    plain_merges = scratch / "plain.merges"
    pairloom_merges = write_merges_file(models["pairloom"], scratch / "pairloom.merges")
    report["plain_same_merges"] = (
        plain_merges.exists() and plain_merges.read_text() == pairloom_merges.read_text()
        if target["plain"].ok else None)

    # 2. Training time against vocabulary size.
    print(f"training time vs vocab_size ({size_label(s.sweep_vocab_bytes)})", flush=True)
    sweep_text = inputs.path("main", s.sweep_vocab_bytes)
    by_vocab: dict[str, dict[int, Result]] = {}
    for system in trainers:
        by_vocab[system] = {}
        previous = None
        for vocab in s.sweep_vocabs:
            previous = by_vocab[system][vocab] = runner.train(
                system, sweep_text, vocab, timeout_for(system, s), skip_from=previous)
    report["by_vocab"] = by_vocab

    # 3. Training time against text size.
    print(f"training time vs text size (vocab_size {s.target_vocab})", flush=True)
    by_size: dict[str, dict[int, Result]] = {}
    for system in trainers:
        by_size[system] = {}
        previous, previous_size = None, 0
        for size in s.sweep_sizes:
            timeout = timeout_for(system, s)
            if size == s.target_bytes and target.get(system) is not None:
                result = target[system]  # the same measurement, already made
            else:
                result = runner.train(system, inputs.path("main", size), s.target_vocab, timeout,
                                      skip_from=previous,
                                      skip_factor=size / previous_size if previous_size else 1)
            by_size[system][size] = result
            previous, previous_size = result, size
    report["by_size"] = by_size

    # 4. num_threads 2 against 1: the first step alone (a count and a merge) and a whole
    #    training; the engine's count on its own comes from the plain tool.
    print("num_threads 1 and 2", flush=True)
    # The peers' big runs just before leave the kernel reclaiming their memory on some core
    # for a while; a two-thread measurement needs both cores, so it waits for a quiet machine.
    settle(0 if s.quick else 90)
    job: dict[str, Any] = {"kind": "steps", "system": "pairloom-steps", "text": str(target_text),
           "repeats": 3 if s.quick else 15}
    threads: dict[Any, Any]
    try:
        steps = runner.python_job(job, s.pairloom_timeout)
        threads = {n: Result("ok", wall=steps[f"wall_{n}"], cpu=steps[f"cpu_{n}"], runs=1,
                             text_bytes=s.target_bytes, extra={"load": steps["load"]})
                   for n in (1, 2)}
        print(f"  first step: {steps}", flush=True)
    except subprocess.TimeoutExpired:
        threads = {n: Result("timeout", timeout=s.pairloom_timeout) for n in (1, 2)}
    except RuntimeError as error:
        threads = {n: Result("error", error=str(error)) for n in (1, 2)}
    try:
        done = subprocess.run([str(runner.built.plain_tool), "count", str(target_text), "2",
                               "5" if s.quick else "21"],
                              capture_output=True, text=True, timeout=s.pairloom_timeout,
                              check=True)
        threads["engine_count"] = json.loads(done.stdout)
        print(f"  engine count: {threads['engine_count']}", flush=True)
    except (subprocess.SubprocessError, ValueError) as error:
        threads["engine_count"] = {"error": str(error)}
    report["threads"] = threads

    # 5. Training by corpus.
    print(f"training by corpus ({size_label(s.corpus_bytes)}, vocab_size {s.target_vocab})",
          flush=True)
    by_corpus: dict[str, dict[str, Result]] = {}
    for corpus in inputs.corpora:
        by_corpus[corpus] = {}
        text = inputs.path(corpus, s.corpus_bytes)
        for system in [x for x in trainers if x != "hf"]:
            by_corpus[corpus][system] = runner.train(system, text, s.target_vocab,
                                                     timeout_for(system, s))
    report["by_corpus"] = by_corpus

    # 6. Encoding throughput with the target problem's vocabulary, on held-out text.
    print("encoding throughput", flush=True)
    encoders = [x for x in ["pairloom", "plain", "hf", "tiktoken", "spm"] if x in systems]
    if not models["spm"].exists():
        encoders = [x for x in encoders if x != "spm"]
    by_encode_size: dict[str, dict[int, Result]] = {}
    for system in encoders:
        by_encode_size[system] = {}
        previous, previous_size = None, 0
        for size in s.encode_sizes:
            text = inputs.path("main", size, offset=s.target_bytes)
            model = {"spm": models["spm"], "plain": pairloom_merges}.get(system,
                                                                         models["pairloom"])
            kw = {}
            if system in ("pairloom", "plain") and size <= MB:
                kw["ids_out"] = scratch / f"{system}-{size}.ids"
            previous = by_encode_size[system][size] = runner.encode(
                system, text, model, timeout_for(system, s), skip_from=previous,
                skip_factor=size / previous_size if previous_size else 1, **kw)
            previous_size = size
    report["by_encode_size"] = by_encode_size
    ids = [(scratch / f"plain-{n}.ids", scratch / f"pairloom-{n}.ids") for n in s.encode_sizes]
    same = [plain.read_bytes() == ours.read_bytes()
            for plain, ours in ids if plain.exists() and ours.exists()]
    report["plain_same_ids"] = all(same) if same else None

    encode_corpus: dict[str, dict[str, Result]] = {}
    for corpus in inputs.corpora:
        encode_corpus[corpus] = {}
        offset = s.target_bytes if corpus == "english" else 0
        text = inputs.path(corpus, s.corpus_bytes, offset=offset)
        for system in encoders:
            model = {"spm": models["spm"], "plain": pairloom_merges}.get(system,
                                                                         models["pairloom"])
            encode_corpus[corpus][system] = runner.encode(system, text, model,
                                                          timeout_for(system, s))
    report["encode_corpus"] = encode_corpus

    # 7. The targets' comparisons once more, run in turn so that they share the load.
    print("paired runs for the targets", flush=True)
    rounds = 1 if s.quick else 5
    small, large = scaling_sizes(s)
    paired = runner.round_robin({
        f"paired/train {size_label(n)}": (runner.train_job("pairloom", inputs.path("main", n),
                                               s.target_vocab), s.pairloom_timeout)
        for n in (small, large)}, rounds)
    size = encode_target_size(s)
    text = inputs.path("main", size, offset=s.target_bytes)
    paired.update(runner.round_robin({
        f"paired/encode {size_label(size)} {system}": (
            runner.encode_job(system, text, models["pairloom"]), timeout_for(system, s))
        for system in ("pairloom", "tiktoken", "hf") if system in encoders}, rounds))
    paired.update(long_texts(runner, rounds))
    report["paired"] = paired

    # 8. Does HF's BPE model give pairloom's ids for pairloom's merges?
    if "hf" in systems:
        print("HF agreement", flush=True)
        texts = [(f"held-out main text, {size_label(n)}",
                  str(inputs.path("main", n, offset=s.target_bytes)))
                 for n in s.encode_sizes if n <= MB]
        texts += [(f"{corpus}, {size_label(s.corpus_bytes)}",
                   str(inputs.path(corpus, s.corpus_bytes)))
                  for corpus in inputs.corpora if corpus != "english"]
        job = {"kind": "agreement", "system": "agreement", "model": str(models["pairloom"]),
               "texts": texts, "text": texts[0][1]}
        try:
            report["hf_agreement"] = runner.python_job(job, 4 * s.pairloom_timeout)
        except (subprocess.TimeoutExpired, RuntimeError) as error:
            report["hf_agreement"] = {"error": str(error)}
    return report


def long_texts(runner: Runner, rounds: int) -> dict[str, Result]:
    """Encoding long texts with a large vocabulary: from Python, the list of ids included, and
    by the engine alone (64- and 32-bit), in turn. The vocabulary is trained on the target
    problem's text; the texts are the held-out part of the first corpus, repeated where it
    is shorter."""
    s, inputs = runner.settings, runner.inputs
    print(f"long texts, vocab_size {s.large_vocab}", flush=True)
    model = runner.scratch / "large.model"
    runner.train("pairloom", inputs.path("main", s.target_bytes), s.large_vocab,
                 s.pairloom_timeout, model_out=model)
    if not model.exists():
        return {}
    jobs = {}
    for size in sorted({*s.linear_sizes, s.rate_bytes}):
        text = inputs.path(inputs.main_corpus, size, offset=s.target_bytes, cycle=True)
        for system in ("pairloom", "engine", "engine-i386"):
            if system == "pairloom" or size == s.rate_bytes:
                jobs[long_key(system, size, s.large_vocab)] = (
                    runner.encode_job(system, text, model), timeout_for(system, s))
    return runner.round_robin(jobs, rounds)
