"""Checks of bench.py's own logic: cutting texts, reading models, the HF agreement check and the
target verdicts.

    PYTHONPATH=<build dir> python -m pytest bench/test_bench.py
"""

import math
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench  # noqa: E402


def test_cut_ends_on_a_whole_character():
    data = "aé€😀".encode()  # 1 + 2 + 3 + 4 bytes
    assert [len(bench.cut(data, n)) for n in range(11)] == [0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10]


def test_model_reading_and_agreement_with_hf(tmp_path):
    pairloom = pytest.importorskip("pairloom")
    pytest.importorskip("tokenizers")
    text = "the cat sat on the mat; the cat ate the rat. " * 20 + "ÿé€😀"
    tokenizer = pairloom.BasicTokenizer()
    tokenizer.train(text, 300)
    model = tmp_path / "m.model"
    tokenizer.save_model(str(model))
    merges = bench.read_merges(str(model))
    assert len(merges) == 44
    assert b"".join(bench.token_bytes(merges)[i] for i in tokenizer.encode(text)) == text.encode()

    hf = bench.hf_tokenizer_from_merges(merges)
    sample = "the rat sat on the cat, ÿé€😀\r\n"
    assert hf.encode(sample, add_special_tokens=False).ids == tokenizer.encode(sample)

    # A merge table whose last merge differs gives other ids: the check can fail.
    changed = merges[:-1] + [(merges[-1][1], merges[-1][0])]
    hf_changed = bench.hf_tokenizer_from_merges(changed)
    assert hf_changed.encode(text, add_special_tokens=False).ids != tokenizer.encode(text)


def result(wall=math.nan, status="ok", timeout=60.0):
    return bench.Result(status, wall=wall, timeout=timeout)


def test_ratios_and_verdicts_respect_timeouts():
    ratio, bound = bench.ratio_of(result(status="timeout", timeout=60), result(2.0))
    assert (ratio, bound) == (30.0, ">")
    assert bench.Target("t", "", ratio, bound, 10, True).verdict() == "met"
    assert bench.Target("t", "", ratio, bound, 40, True).verdict().startswith("not met (undecided")

    ratio, bound = bench.ratio_of(result(10.0), result(status="timeout", timeout=5))
    assert (ratio, bound) == (2.0, "<")
    assert bench.Target("t", "", ratio, bound, 3, True).verdict() == "not met"

    assert bench.Target("t", "", 12.5, "=", 12, False).verdict() == "not met"
    assert bench.Target("t", "", math.nan, "=", 12, False).verdict() == "not met (not measured)"
