"""The vocabulary listing, and save writing the model file and the listing in turn."""
import pytest

from pairloom import BasicTokenizer

HEAD = b"pairloom v1\n"
FFFD = "\ufffd"


def write(tmp_path, content, name="in.model"):
    path = tmp_path / name
    path.write_bytes(content)
    return str(path)


def loaded(tmp_path, content):
    tok = BasicTokenizer()
    tok.load(write(tmp_path, content))
    return tok


def listing(tok, tmp_path):
    path = tmp_path / "vocab.txt"
    tok.save_vocab(str(path))
    return path.read_bytes().decode()


def test_fresh_tokenizer_lists_nothing_and_empties_the_file(tok, tmp_path):
    (tmp_path / "vocab.txt").write_text("old content")
    assert listing(tok, tmp_path) == ""


def test_byte_tokens(tok, tmp_path):
    tok.build_vocab()
    lines = listing(tok, tmp_path).split("\n")
    assert len(lines) == 257 and lines[-1] == ""
    assert lines[0] == "[\\u0000] 0"
    assert lines[10] == "[\\u000a] 10"
    assert lines[32] == "[ ] 32" and lines[65] == "[A] 65" and lines[91] == "[[] 91"
    assert lines[127] == "[\\u007f] 127"
    assert lines[128:256] == [f"[{FFFD}] {b}" for b in range(128, 256)]


def test_merge_and_plain_lines(tmp_path):
    tok = loaded(tmp_path, HEAD + b"\n2\n<s> 258\n<\x01> 999\n226 130\n256 172\n104 105\n")
    assert listing(tok, tmp_path).split("\n")[256:] == [
        f"[{FFFD}][{FFFD}] -> [{FFFD}] 256",  # two bytes of a three-byte character
        f"[{FFFD}][{FFFD}] -> [€] 257",
        "[h][i] -> [<s>] 258",  # a special token that shares a merge's id
        "[<\\u0001>] 999",
        "",
    ]


def test_without_merges_every_line_is_plain(tmp_path):
    tok = loaded(tmp_path, HEAD + b"\n1\nhi 256\n")
    assert listing(tok, tmp_path).split("\n")[256] == "[hi] 256"


def test_merge_part_without_an_entry_faults_after_the_lines_before_it(tmp_path, panic_type, capfd):
    # 256 gets an entry from the special token, but its merge's left part 999 has none.
    tok = loaded(tmp_path, HEAD + b"\n1\n<s> 256\n999 97\n")
    with pytest.raises(panic_type) as caught:
        tok.save_vocab(str(tmp_path / "vocab.txt"))
    assert "256" not in caught.value.args[0] and "vocab_file_path" not in caught.value.args[0]
    assert "src/tokenizer/" in capfd.readouterr().err
    lines = (tmp_path / "vocab.txt").read_text().split("\n")
    assert len(lines) == 257 and lines[255] == f"[{FFFD}] 255"
    assert tok.decode([256]) == "<s>"  # usable again


# ---- save ----

def test_save_with_none_writes_only_the_model_file(tmp_path):
    tok = loaded(tmp_path, HEAD + b"p\n0\n1 2\n")
    tok.save(str(tmp_path / "out.model"), None)
    assert (tmp_path / "out.model").read_bytes() == HEAD + b"p\n0\n1 2\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.model", "out.model"]


def test_save_writes_both_files(tmp_path):
    tok = loaded(tmp_path, HEAD + b"\n0\n104 105\n")
    tok.save(str(tmp_path / "out.model"), str(tmp_path / "out.vocab"))
    assert (tmp_path / "out.model").read_bytes() == HEAD + b"\n0\n104 105\n"
    assert (tmp_path / "out.vocab").read_text().endswith("[h][i] -> [hi] 256\n")


def test_save_stops_at_a_failing_model_file(tok, tmp_path):
    (tmp_path / "out.vocab").write_text("untouched")
    with pytest.raises(FileNotFoundError):
        tok.save(str(tmp_path / "missing" / "out.model"), str(tmp_path / "out.vocab"))
    assert (tmp_path / "out.vocab").read_text() == "untouched"


@pytest.mark.parametrize("vocab_path, error", [("missing/out.vocab", FileNotFoundError),
                                               ("/dev/full", OSError)])
def test_failing_listing_leaves_a_complete_model_file(tmp_path, vocab_path, error):
    tok = loaded(tmp_path, HEAD + b"p\n0\n104 105\n")
    target = vocab_path if vocab_path.startswith("/") else str(tmp_path / vocab_path)
    with pytest.raises(OSError) as caught:
        tok.save(str(tmp_path / "out.model"), target)
    assert type(caught.value) is error
    assert (tmp_path / "out.model").read_bytes() == HEAD + b"p\n0\n104 105\n"
