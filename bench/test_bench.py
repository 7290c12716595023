"""Checks of the bench's own logic: cutting texts, finding the corpora, reading models, the HF
agreement check, the measurement protocol and the target verdicts.

    PYTHONPATH=<build dir> python -m pytest bench/test_bench.py
"""

import dataclasses
import json
import math
import random
import stat
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pairloom_bench import corpora, peers  # noqa: E402
from pairloom_bench.build import Build  # noqa: E402
from pairloom_bench.measure import Result, Runner  # noqa: E402
from pairloom_bench.settings import QUICK  # noqa: E402

from pairloom_bench.stages import long_key  # noqa: E402
from pairloom_bench.targets import Target, ratio_of, rate_target, targets  # noqa: E402


def test_cut_ends_on_a_whole_character():
    data = "aé€😀".encode()  # 1 + 2 + 3 + 4 bytes
    assert [len(corpora.cut(data, n)) for n in range(11)] == [0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10]


def test_corpora_default_to_the_variable_then_beside_the_project(monkeypatch, tmp_path):
    monkeypatch.setenv("PAIRLOOM_CORPORA", str(tmp_path))
    assert corpora.default_corpora() == tmp_path
    monkeypatch.delenv("PAIRLOOM_CORPORA")
    project = Path(__file__).resolve().parent.parent
    assert corpora.default_corpora() == project.parent / "shared" / "corpora"


def test_books_text_repeats_the_books_in_name_order_and_cuts_on_a_character(tmp_path):
    (tmp_path / "gutenberg_2_b.txt").write_bytes("b€".encode())
    (tmp_path / "gutenberg_1_a.txt").write_bytes(b"a")
    (tmp_path / "other.txt").write_bytes(b"x")
    assert corpora.books_text(tmp_path, 9) == "ab€ab".encode()  # 10 bytes would split the €
    assert corpora.books_text(tmp_path, 10) == "ab€ab€".encode()


def test_long_texts_repeat_the_part_after_the_offset(tmp_path):
    text = "ab€".encode() * 3  # 15 bytes
    inputs = corpora.Inputs(tmp_path, "t", text, "t", {"t": text})
    assert inputs.path("t", 100, offset=5).read_bytes() == text[5:]
    # 33 bytes would end inside the fourth repeat's euro sign.
    assert inputs.path("t", 33, offset=5, cycle=True).read_bytes() == text[5:] * 3 + b"ab"
    # Within the text, a cut that ends early at a character does not start repeating.
    assert inputs.path("t", 8, offset=5, cycle=True).read_bytes() == text[5:12]


def test_model_reading_and_agreement_with_hf(tmp_path):
    pairloom = pytest.importorskip("pairloom")
    pytest.importorskip("tokenizers")
    text = "the cat sat on the mat; the cat ate the rat. " * 20 + "ÿé€😀"
    tokenizer = pairloom.BasicTokenizer()
    tokenizer.train(text, 300)
    model = tmp_path / "m.model"
    tokenizer.save_model(str(model))
    merges = peers.read_merges(str(model))
    assert len(merges) == 44
    assert b"".join(peers.token_bytes(merges)[i] for i in tokenizer.encode(text)) == text.encode()

    hf = peers.hf_tokenizer_from_merges(merges)
    sample = "the rat sat on the cat, ÿé€😀\r\n"
    assert hf.encode(sample, add_special_tokens=False).ids == tokenizer.encode(sample)

    # A merge table whose last merge differs gives other ids: the check can fail.
    changed = merges[:-1] + [(merges[-1][1], merges[-1][0])]
    hf_changed = peers.hf_tokenizer_from_merges(changed)
    assert hf_changed.encode(text, add_special_tokens=False).ids != tokenizer.encode(text)


def runner_for(tmp_path, engines=None):
    text = tmp_path / "text.txt"
    text.write_bytes(b"the cat sat on the mat " * 50)
    built = Build(None, tmp_path / "plain_bpe", "0" * 40, "test", engines=engines or {},
                  engines_absent={"engine-i386": "not built (no 32-bit toolchain)"})
    inputs = corpora.Inputs(tmp_path, "t", text.read_bytes(), "t", {"t": text.read_bytes()})
    return Runner(dataclasses.replace(QUICK, encode_seconds=0.01), built, inputs, tmp_path), text


def test_worker_and_engine_runs_report_through_the_runner(tmp_path):
    pytest.importorskip("pairloom")
    engine = tmp_path / "encode_engine"
    engine.write_text("#!/bin/sh\necho building tables\necho '{\"bytes\": 1150, \"tokens\": 99, "
                      "\"median_seconds\": 0.002, \"median_cpu_seconds\": 0.002, "
                      "\"mb_per_second\": 0.575}'\n")
    engine.chmod(engine.stat().st_mode | stat.S_IEXEC)
    runner, text = runner_for(tmp_path, {"engine": engine})
    model = tmp_path / "m.model"
    trained = runner.train("pairloom", text, 300, 60, model_out=model)
    assert trained.ok and trained.runs == QUICK.max_repeats and model.exists()

    results = runner.round_robin({
        system: (runner.encode_job(system, text, model), 60)
        for system in ("pairloom", "engine", "engine-i386")}, rounds=2)
    assert results["pairloom"].ok and results["pairloom"].extra["tokens"] > 0
    assert (results["engine"].wall, results["engine"].runs) == (0.002, 2)
    assert results["engine"].extra["tokens"] == 99
    absent = results["engine-i386"]
    assert (absent.status, absent.error) == ("error", "not built (no 32-bit toolchain)")
    assert rate_target("t", absent, 150).verdict() == "not met (not measured)"


def test_engine_output_must_hold_every_field():
    with pytest.raises(RuntimeError, match="unexpected output"):
        peers.parse_engine_output('{"bytes": 10, "tokens": 3, "mb_per_second": 1.0}\n')


def result(wall=math.nan, status="ok", timeout=60.0):
    return Result(status, wall=wall, timeout=timeout)


def test_ratios_and_verdicts_respect_timeouts():
    ratio, bound = ratio_of(result(status="timeout", timeout=60), result(2.0))
    assert (ratio, bound) == (30.0, ">")
    assert Target("t", "", ratio, bound, 10, True).verdict() == "met"
    assert Target("t", "", ratio, bound, 40, True).verdict().startswith("not met (undecided")

    ratio, bound = ratio_of(result(10.0), result(status="timeout", timeout=5))
    assert (ratio, bound) == (2.0, "<")
    assert Target("t", "", ratio, bound, 3, True).verdict() == "not met"

    assert Target("t", "", 12.5, "=", 12, False).verdict() == "not met"
    assert Target("t", "", math.nan, "=", 12, False).verdict() == "not met (not measured)"


def test_long_text_runs_give_the_encoding_targets():
    s = QUICK
    mb_per_s = {(size, "pairloom"): 100.0 for size in s.linear_sizes}
    mb_per_s[s.rate_bytes, "pairloom"] = 60.0
    mb_per_s[s.linear_sizes[-1], "pairloom"] = 20.0  # the largest text takes 5x too long
    mb_per_s[s.rate_bytes, "engine"] = 200.0
    paired = {long_key(system, size, s.large_vocab): Result(
        "ok", wall=size / 1e6 / rate, cpu=size / 1e6 / rate, text_bytes=size)
        for (size, system), rate in mb_per_s.items()}
    paired[long_key("engine-i386", s.rate_bytes, s.large_vocab)] = Result(
        "error", error="not built (no 32-bit toolchain)", text_bytes=s.rate_bytes)
    trained = Result("ok", wall=1.0, text_bytes=s.target_bytes)
    report = {"target": {"pairloom": trained, "plain": result(40.0)}, "by_size": {},
              "paired": paired, "threads": {1: result(2.0), 2: result(1.0)}}
    verdicts = {t.name: (t.ratio_text(), t.verdict()) for t in targets(report, s)
                if "vocab 4096" in t.name}
    assert verdicts == {
        "encoding 5 MB, vocab 4096: MB/s from Python, list of ids included": ("60", "not met"),
        "encoding 5 MB, vocab 4096: MB/s of pairloom engine alone (C++, 64-bit)": ("200", "met"),
        "encoding 5 MB, vocab 4096: MB/s of pairloom engine alone (C++, 32-bit)":
            ("n/a", "not met (not measured)"),
        "encoding 1 MB vs 100 KB (vocab 4096): time ratio for 10x the text": ("10", "met"),
        "encoding 10 MB vs 1 MB (vocab 4096): time ratio for 10x the text": ("50", "not met"),
    }


def test_a_new_report_keeps_the_sections_other_benches_wrote():
    from pairloom_bench.report import with_sections_kept

    old = "# R\n\n## Targets\nold\n\n## Dask\nkept\n\n### Projection\nalso kept\n"
    assert with_sections_kept("# R\n\n## Targets\nnew\n", old) == (
        "# R\n\n## Targets\nnew\n\n## Dask\nkept\n\n### Projection\nalso kept\n")


def test_interrupt_latency_signals_children_over_the_load(tmp_path, monkeypatch):
    pytest.importorskip("pairloom")
    import interrupt_latency
    monkeypatch.setattr(sys, "argv", ["interrupt_latency", "--merges", "70000", "--points", "3",
                                      "--out", str(tmp_path)])
    interrupt_latency.main()
    saved = json.loads((tmp_path / "interrupt_latency.json").read_text())
    assert saved["merges"] == 70000 and saved["load_seconds"] > 0 and len(saved["runs"]) == 3
    for run in saved["runs"]:
        assert run["outcome"] in ("interrupted", "loaded", "loaded before the signal")
        assert run.get("answered_ms", 0) >= 0


def test_trie_walk_takes_the_longest_token_at_each_position(tmp_path):
    pairloom = pytest.importorskip("pairloom")
    tool = Path(pairloom.__file__).resolve().parent / "trie_walk"
    if not tool.exists():
        pytest.skip(f"no {tool} (configure with -DPAIRLOOM_BUILD_BENCH=ON)")
    # Many distinct prefixes, so that the trie's states crowd its cells.
    rng = random.Random(7)
    letters = "etaoinshrdlucmfwypvbgkjqxz ,.éü€😀\r\n"
    text = "".join(rng.choice(letters[:rng.randint(3, len(letters))]) for _ in range(30000))
    tokenizer = pairloom.BasicTokenizer(1)
    tokenizer.train(text, 1500)
    tokenizer.save_model(str(tmp_path / "m.model"))
    (tmp_path / "t.txt").write_text(text, encoding="utf-8", newline="")
    out = subprocess.run([str(tool), str(tmp_path / "m.model"), str(tmp_path / "t.txt"), "0"],
                         check=True, capture_output=True, text=True).stdout
    report = json.loads(out)

    vocab = {bytes([b]): b for b in range(256)}
    lines = (tmp_path / "m.model").read_text().splitlines()
    by_id = {i: bytes([i]) for i in range(256)}
    for id_, line in enumerate(lines[3 + int(lines[2]):], start=256):
        left, right = map(int, line.split())
        by_id[id_] = by_id[left] + by_id[right]
        vocab[by_id[id_]] = id_
    data, at, ids = text.encode(), 0, []
    longest = max(map(len, vocab))
    while at < len(data):
        length = max(n for n in range(1, longest + 1) if data[at:at + n] in vocab)
        ids.append(vocab[data[at:at + length]])
        at += length
    assert (report["tokens"], report["checksum"]) == (len(ids), sum(ids) % 1000003)

    # "abc" (258) is not whole: its bytes encode as [ab, c]. The walk leaves it out.
    (tmp_path / "m.model").write_text("pairloom v1\n\n0\n97 98\n98 99\n97 257\n")
    (tmp_path / "t.txt").write_text("abc" * 5)
    out = subprocess.run([str(tool), str(tmp_path / "m.model"), str(tmp_path / "t.txt"), "0"],
                         check=True, capture_output=True, text=True).stdout
    assert json.loads(out)["tokens"] == 10 and json.loads(out)["whole_tokens"] == 258


def test_shuffled_lines_are_seeded_passes_through_every_line(tmp_path):
    import train_command

    (tmp_path / "a.txt").write_bytes("one\ntwo €\nthree".encode())
    (tmp_path / "b.txt").write_bytes(b"four\r\nfive\n")
    (tmp_path / "README.md").write_bytes(b"not a text\n")
    lines = train_command.corpus_lines(tmp_path)
    assert lines == [b"one\n", "two €\n".encode(), b"three", b"four\r\n", b"five\n"]
    whole = sum(map(len, lines))
    written = {}
    for seed, size in ((0, 3 * whole + 6), (0, 3 * whole + 6), (1, 3 * whole + 6)):
        path = tmp_path / f"out-{seed}-{len(written)}"
        train_command.write_shuffled_lines(lines, size, seed, path)
        written[path] = path.read_bytes()
        data = written[path]
        assert len(data) <= size and data.decode()  # cut on a whole character
        passes = [data[k * whole:(k + 1) * whole] for k in range(3)]
        # Each pass holds every line once, its bytes in some order of the lines.
        assert all(sorted(p) == sorted(b"".join(lines)) for p in passes)
    first, again, other = written.values()
    assert first == again and first != other
