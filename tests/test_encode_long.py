"""Encoding long texts through Python against a plain encoder written here: every round merges
all occurrences of the present pair with the smallest (id, pair). Long outputs repeat their
ids many times, as real texts do; the tables come from one training and from two."""
import random

import pytest

from pairloom import BasicTokenizer


def merges_of(model_path):
    lines = model_path.read_text(encoding="utf-8").split("\n")
    specials = int(lines[2])
    return [tuple(map(int, line.split())) for line in lines[3 + specials:] if line]


def plain_encode(text, table):
    ids = list(text.encode("utf-8"))
    while len(ids) >= 2:
        present = {(a, b) for a, b in zip(ids, ids[1:]) if (a, b) in table}
        if not present:
            break
        pair = min(present, key=lambda p: (table[p], p))
        merged, i = [], 0
        while i < len(ids):
            if i + 1 < len(ids) and (ids[i], ids[i + 1]) == pair:
                merged.append(table[pair])
                i += 2
            else:
                merged.append(ids[i])
                i += 1
        ids = merged
    return ids


def sentences(rng, words, count):
    return "".join(rng.choice(words) for _ in range(count))


WORDS = ["the ", "cat ", "sat", " on", " a ", "mat", ".\n", "é", "s", "at", "and ", "on the "]


def trained_merges(tmp_path, text, vocab_size):
    tok = BasicTokenizer()
    tok.train(text, vocab_size)
    tok.save_model(str(tmp_path / "one.model"))
    return merges_of(tmp_path / "one.model")


@pytest.mark.parametrize("vocab_size", [300, 700])
def test_one_training(tmp_path, vocab_size):
    rng = random.Random(vocab_size)
    tok = BasicTokenizer()
    tok.train(sentences(rng, WORDS, 4000), vocab_size)
    tok.save_model(str(tmp_path / "m.model"))
    table = {pair: 256 + k for k, pair in enumerate(merges_of(tmp_path / "m.model"))}
    for text in (sentences(rng, WORDS, 1500), sentences(rng, WORDS, 40), "é" * 300):
        assert tok.encode(text) == plain_encode(text, table)


@pytest.mark.parametrize("vocab_size", [300, 700])
def test_two_trainings(tmp_path, vocab_size):
    # The second training numbers its merges from 256 again; a pair learned twice takes its
    # second id.
    rng = random.Random(vocab_size + 1)
    first, second = sentences(rng, WORDS[::2], 3000), sentences(rng, WORDS, 3000)
    tok = BasicTokenizer()
    tok.train(first, vocab_size)
    tok.train(second, 256 + (vocab_size - 256) // 2)
    table = {pair: 256 + k for k, pair in enumerate(trained_merges(tmp_path, first, vocab_size))}
    table.update(
        {pair: 256 + k for k, pair in enumerate(trained_merges(tmp_path, second, 256 + (vocab_size - 256) // 2))})
    text = sentences(rng, WORDS, 1500)
    assert tok.encode(text) == plain_encode(text, table)


def test_repeated_ids_share_nothing_but_their_value():
    tok = BasicTokenizer()
    tok.train("abab" * 200, 257)  # (97, 98) -> 256 only
    ids = tok.encode("ab" * 1000)
    assert ids == [256] * 1000
    ids[0] += 1
    assert ids[1] == 256 and tok.encode("ab" * 1000)[0] == 256
