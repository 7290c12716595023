"""Small files that describe huge tokens: a model file of a few dozen merge lines where each
line doubles the last token (97 97, 256 256, 257 257, ...) describes tokens of gigabytes or
more. Loading it, decoding such tokens and listing them must fail with MemoryError, not take
the machine's memory or get the process killed, and leave a usable tokenizer.

Everything runs in a child process under a lowered RLIMIT_AS, so that a regression fails the
test instead of the machine."""
import pytest

from robust_helpers import run_child

CHILD = """
def doubling(path, lines, byte=97):
    # Line k (from 1) makes id 255 + k, of 2**k bytes.
    with open(path, "w") as f:
        f.write("pairloom v1\\n\\n0\\n%d %d\\n" % (byte, byte))
        f.write("".join("%d %d\\n" % (i, i) for i in range(256, 256 + lines - 1)))
    return path

def peak_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

def model_of(tok, path):
    tok.save_model(path)
    with open(path) as f:
        return f.read()

base = sys.argv[1]
"""


@pytest.mark.parametrize("lines", [34, 40, 64, 200])
def test_load_refuses_tokens_beyond_the_budget_before_touching_memory(tmp_path, lines):
    # 2**33 bytes and more: beyond the budget on every machine, refused by arithmetic alone.
    result = run_child("""
        path = doubling(base + "/d.model", int(sys.argv[2]))
        tok = BasicTokenizer()
        tok.train("abcabc", 258)  # a vocabulary the failed load must leave alone
        before = peak_kib()
        cap(2048)  # generous: the refusal must come long before it
        failure = outcome(lambda: tok.load(path))
        grew = peak_kib() - before
        uncap()
        print(json.dumps([failure, grew, tok.decode([256, 257]), tok.encode("aaaa"),
                          model_of(tok, base + "/after.model").count("\\n")]))
        """, tmp_path, lines, setup=CHILD)
    failure, grew_kib, decoded, encoded, model_lines = result
    assert failure[0] == "MemoryError"
    assert grew_kib < 64 << 10  # refused before any token was built
    assert decoded == "ababc"  # the old vocabulary (256 = ab, 257 = abc)
    # The merges were read and stay; they apply to encoding. (97, 97) took 256.
    assert encoded == [257]
    assert model_lines == 3 + 2 + lines  # the two old merges, then the file's


def test_load_of_tokens_within_the_budget_but_beyond_memory(tmp_path):
    # 29 lines: a 512 MiB token, 1 GiB in all; the cap allows far less.
    result = run_child("""
        path = doubling(base + "/d.model", 29)
        tok = BasicTokenizer()
        cap(96)
        results = [outcome(lambda: tok.load(path)), outcome(tok.build_vocab),
                   outcome(lambda: tok.decode([97])), tok.encode("a" * 8),
                   outcome(lambda: tok.save_model(base + "/saved.model"))]
        uncap()
        with open(base + "/saved.model") as f:
            results.append(len(f.read().splitlines()))
        print(json.dumps(results))
        """, tmp_path, setup=CHILD)
    load, rebuild, decode, encoded, save, saved_lines = result
    assert load[0] == rebuild[0] == "MemoryError"
    assert decode == ["OSError", "invalid token ID: 97"]  # the vocabulary from before: empty
    assert encoded == [258]  # every merge was read
    assert save[0] == "ok" and saved_lines == 3 + 29


def test_decode_of_ids_whose_text_would_not_fit(tmp_path):
    result = run_child("""
        tok = BasicTokenizer()
        tok.load(doubling(base + "/a.model", 20))  # id 275: 1 MiB of 'a'
        controls = BasicTokenizer()
        controls.load(doubling(base + "/c.model", 20, byte=1))  # 1 MiB of \\x01: 6 MiB rendered
        results = []
        ids = [275] * 10**6
        before = peak_kib()
        results.append(outcome(lambda: tok.decode(ids)))  # 1 TiB: beyond the budget
        results.append(peak_kib() - before)
        cap(64)
        results.append(outcome(lambda: tok.decode([275] * 200)))  # 200 MiB: beyond the cap
        results.append(outcome(lambda: controls.decode([275] * 20)))  # 120 MiB rendered
        results.append(outcome(lambda: tok.decode([275, 97])))
        results.append(outcome(lambda: controls.decode([257])))
        uncap()
        print(json.dumps(results))
        """, tmp_path, setup=CHILD)
    budget, grew_kib, capped, capped_controls, small, small_controls = result
    assert budget[0] == "MemoryError" and grew_kib < 64 << 10
    assert capped[0] == capped_controls[0] == "MemoryError"
    assert small == ["ok", (1 << 20) + 1]
    assert small_controls == ["ok", 4 * 6]


def test_listing_of_a_token_too_large_to_render(tmp_path):
    result = run_child("""
        import os
        tok = BasicTokenizer()
        tok.load(doubling(base + "/c.model", 22, byte=1))  # id 277: 4 MiB of \\x01
        listing = base + "/listing"
        cap(16)  # its line renders it, and its two halves, in 48 MiB
        failed = outcome(lambda: tok.save_vocab(listing))
        uncap()
        partial = os.path.getsize(listing)
        lines = model_of(tok, base + "/m").count("\\n")
        print(json.dumps([failed, partial, tok.decode([257]), lines]))
        """, tmp_path, setup=CHILD)
    failed, partial, decoded, model_lines = result
    assert failed[0] == "MemoryError"
    assert partial < 16 << 20  # at most the lines before the huge tokens
    assert decoded == "\\u0001" * 4
    assert model_lines == 3 + 22
