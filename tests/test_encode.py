"""Encoding through Python: a fresh tokenizer, the worked examples, and tables whose ids repeat
after a second training."""
import pytest

from pairloom import BasicTokenizer


@pytest.mark.parametrize(
    "text, ids", [("", []), ("a", [97]), ("hi", [104, 105]), ("é", [195, 169]), ("\0", [0])]
)
def test_fresh_tokenizer_gives_the_bytes(text, ids):
    assert BasicTokenizer().encode(text) == ids


@pytest.mark.parametrize(
    "training, vocab_size, text, ids",
    [
        # Learns (104, 105) -> 256, then (256, 33) -> 257.
        ("hi!", 258, "hi!", [257]),
        # Learns (98, 99) -> 256, then (97, 98) -> 257: the smaller id wins although
        # (97, 98) comes first in the text, and (97, 256) has no merge.
        ("bcbcab", 258, "abc", [97, 256]),
        ("aaaa", 257, "aaa", [256, 97]),
        ("aaaa", 257, "aaaa", [256, 256]),
        ("aaaa", 258, "aaaa", [257]),
    ],
)
def test_worked_examples(training, vocab_size, text, ids):
    tok = BasicTokenizer()
    tok.train(training, vocab_size)
    assert tok.encode(text) == ids


def test_repeated_ids_after_a_second_training():
    tok = BasicTokenizer()
    tok.train("aaaa", 300)  # (97, 97) -> 256, (256, 256) -> 257
    tok.train("bbbaa", 258)  # (98, 98) -> 256, (97, 97) -> 257
    # (98, 98) -> 256 goes first; then (97, 97) and (256, 256) share 257 and both apply.
    assert tok.encode("aabbbb") == [257, 257]
    assert tok.encode("bbbbb") == [257, 98]


@pytest.mark.parametrize("first, second", [("ab", "bc"), ("bc", "ab")])
def test_pairs_sharing_the_smallest_id_go_in_pair_order(first, second):
    tok = BasicTokenizer()
    tok.train(first, 257)
    tok.train(second, 257)  # (97, 98) and (98, 99) both carry 256 now
    assert tok.encode("abc") == [256, 99]
    assert tok.encode("bcab") == [256, 256]


def test_ids_stay_right_when_the_table_changes_between_calls():
    # The ids' int objects are kept between calls; the next training grows the ids past them.
    text = "the cat sat on the mat with the hat " * 40
    tok = BasicTokenizer()
    tok.train(text, 270)
    small = tok.encode(text)
    tok.train(text, 320)
    fresh = BasicTokenizer()
    fresh.train(text, 270)
    fresh.train(text, 320)
    assert tok.encode(text) == fresh.encode(text)
    assert max(small) < 270
    assert max(tok.encode(text)) >= 270


def test_ids_stay_right_across_calls_of_every_size():
    # Calls reuse a buffer of ids (one per thread, shared by all tokenizers), which is given
    # up when it grows past a million ids: no call may see what an earlier one left there.
    tok, other = BasicTokenizer(), BasicTokenizer()
    tok.train("abcabd" * 50, 270)
    other.train("xyzxy" * 50, 262)
    texts = ["abc" * 500_000, "abd", "", "abcabd" * 1000, "xyz" * 10, "q" * 1_200_000, "ab"]
    results = [(t, tok.encode(t), other.encode(t)) for t in texts + texts[::-1]]
    for text, ids, other_ids in results:
        assert tok.decode(ids) == text and other.decode(other_ids) == text
    assert results[: len(texts)] == results[len(texts):][::-1]
