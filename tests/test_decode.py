"""Decoding: per-token rendering checked against Python's own UTF-8 decoder, and failures."""
import random
import re

import pytest

from conftest import SIZE_MAX
from pairloom import BasicTokenizer

CONTROLS = re.compile("[\x00-\x1f\x7f-\x9f]")


def expected_rendering(token: bytes) -> str:
    text = token.decode("utf-8", "replace")
    return CONTROLS.sub(lambda m: "\\u%04x" % ord(m.group()), text)


def tokens_from_bytes(tmp_path, strings):
    """A tokenizer whose merges build each byte string, and each string's token id.

    Merges chain bytes left to right, sharing prefixes like a trie so that no pair is listed
    twice (a repeated pair would move its id and orphan the merges built on it).
    """
    prefix_ids, merges, ids = {}, [], []
    for data in strings:
        current = data[0]
        for end in range(2, len(data) + 1):
            key = data[:end]
            if key not in prefix_ids:
                prefix_ids[key] = 256 + len(merges)
                merges.append(f"{current} {data[end - 1]}")
            current = prefix_ids[key]
        ids.append(current)
    path = tmp_path / "chains.model"
    path.write_text("pairloom v1\n\n0\n" + "".join(line + "\n" for line in merges))
    tok = BasicTokenizer()
    tok.load(str(path))
    return tok, ids


def test_rendering_matches_pythons_decoder_on_random_bytes(tmp_path):
    rng = random.Random(99)
    pools = [range(0x80), range(0x80, 0xC0), range(0xC0, 0x100), range(0x100)]
    strings = {
        bytes(rng.choice(rng.choices(pools, weights=[3, 4, 3, 1])[0])
              for _ in range(rng.randrange(1, 9)))
        for _ in range(4000)
    }
    strings = sorted(strings)
    tok, ids = tokens_from_bytes(tmp_path, strings)
    for data, id_ in zip(strings, ids):
        assert tok.decode([id_]) == expected_rendering(data), data
    assert tok.decode(ids) == "".join(map(expected_rendering, strings))


@pytest.mark.parametrize(
    "ids, text",
    [
        ([], ""),
        ([104, 105], "hi"),
        ([10, 127, 0], "\\u000a\\u007f\\u0000"),
        ([195, 169], "\ufffd\ufffd"),  # one character split over two tokens
        ([256, 257, 258], "é\\u0085\xa0"),
        ([300], "<\\u0001>"),  # special tokens render by the same rule
    ],
)
def test_decode_renders_each_token_alone(tmp_path, ids, text):
    path = tmp_path / "m.model"
    path.write_text("pairloom v1\n\n1\n<\x01> 300\n195 169\n194 133\n194 160\n")
    tok = BasicTokenizer()
    tok.load(str(path))
    assert tok.decode(ids) == text


@pytest.mark.parametrize("ids, bad", [([104, 1000, 105, 2000], 1000), ([SIZE_MAX], SIZE_MAX)])
def test_first_unknown_id_is_reported(tok, ids, bad):
    tok.build_vocab()
    with pytest.raises(OSError) as caught:
        tok.decode(ids)
    assert type(caught.value) is OSError
    assert caught.value.args == (f"invalid token ID: {bad}",)


def test_text_too_large_for_memory_is_refused(tmp_path):
    # Each merge doubles the last token: 256 + 23 is 16 MiB of "a".
    merges = "97 97\n" + "".join(f"{i} {i}\n" for i in range(256, 256 + 23))
    path = tmp_path / "big.model"
    path.write_text("pairloom v1\n\n0\n" + merges)
    tok = BasicTokenizer()
    tok.load(str(path))
    with pytest.raises(MemoryError):
        tok.decode([256 + 23] * 1_000_000)  # 16 TiB of text
    assert tok.decode([256 + 2]) == "a" * 8
