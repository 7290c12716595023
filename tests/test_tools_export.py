"""Exports to HF tokenizers and tiktoken give pairloom's ids and decode back to the text."""
import json

import pytest

from pairloom import BasicTokenizer
from pairloom_tools import ExportError, Model, tiktoken_encoding
from pairloom_tools.export import hf_tokenizer, tiktoken_ranks
from tools_helpers import corpus_samples, needs_corpora, run_cli

SMALL = ["", "a", "hello\r\nworld\r\n", "\x00\x01\x1b[0m\x7f\x85", "🧑‍🤝‍🧑 👍🏽 🇫🇷", "aaaaaaa",
         "def f(x):\n\treturn x ** 2  # ∑\n", "Всеобщая декларация прав человека 世界人权宣言"]


def exported(tmp_path, model):
    """The model as an HF tokenizer and as a tiktoken encoding, each loaded from its file."""
    tokenizers = pytest.importorskip("tokenizers", reason="tokenizers (pairloom[hf]) missing")
    pytest.importorskip("tiktoken", reason="tiktoken (pairloom[tiktoken]) missing")
    for fmt, name in (("hf", "tokenizer.json"), ("tiktoken", "m.tiktoken")):
        result = run_cli("export", "--model", model, "--format", fmt, "--output", tmp_path / name)
        assert result.returncode == 0, result.stderr
    return (tokenizers.Tokenizer.from_file(str(tmp_path / "tokenizer.json")),
            tiktoken_encoding(tmp_path / "m.tiktoken"))


def assert_same_ids(tok, hf, tt, text):
    ids = tok.encode(text)
    assert hf.encode(text).ids == ids
    assert tt.encode(text) == ids
    assert hf.decode(ids) == text and tt.decode(ids) == text


@needs_corpora
def test_exports_give_pairloom_ids_on_every_corpus(tmp_path):
    samples = corpus_samples(tmp_path / "corpora", size=200_000)
    tok = BasicTokenizer(2)
    tok.train("".join(p.read_bytes()[:40_000].decode("utf-8", "ignore") for p in samples), 3000)
    tok.save_model(str(tmp_path / "m.model"))
    hf, tt = exported(tmp_path, tmp_path / "m.model")
    for text in SMALL + [p.read_bytes().decode() for p in samples]:
        assert_same_ids(tok, hf, tt, text)


def test_special_tokens_export_as_added_tokens(tmp_path):
    path = tmp_path / "m.model"
    path.write_text("pairloom v1\n\n2\n<|end|> 300\n<pad> 301\n104 105\n256 33\n108 108\n")
    tok = BasicTokenizer()
    tok.load(str(path))
    hf, tt = exported(tmp_path, path)
    for text in SMALL + ["hi! hello!"]:
        assert_same_ids(tok, hf, tt, text)
    assert hf.decode([256, 300], skip_special_tokens=False) == "hi<|end|>"
    assert tt.decode([256, 301]) == "hi<pad>"
    # Where the peers differ: they read a special token's text as the special token.
    assert hf.encode("<pad>").ids == [301] != tok.encode("<pad>")
    assert tt.encode("<pad>", allowed_special="all") == [301]


@pytest.mark.parametrize("content, reason", [
    ("0\n104 105\n104 105\n", "appears twice"),
    ("0\n257 33\n104 105\n", "later token"),
    ("1\n<s> 256\n104 105\n", "special token"),
    ("0\n97 98\n256 99\n98 99\n97 258\n", "same bytes"),
])
def test_models_that_would_change_ids_are_refused(tmp_path, content, reason):
    path = tmp_path / "m.model"
    path.write_text("pairloom v1\n\n" + content)
    model = Model.load(path)
    for build in (hf_tokenizer, tiktoken_ranks):
        with pytest.raises(ExportError, match=reason):
            build(model)
    result = run_cli("export", "--model", path, "--format", "hf", "--output", tmp_path / "t.json")
    assert result.returncode == 2 and reason in result.stderr.decode()
    assert not (tmp_path / "t.json").exists()


def test_tiktoken_refuses_a_token_whose_bytes_encode_otherwise(tmp_path):
    # Token 258 is ab + c, but (98, 99) comes first, so the text abc ends as [97, 256]:
    # tiktoken would take abc as token 258 whole.
    model = Model.parse(b"pairloom v1\n\n0\n98 99\n97 98\n257 99\n")
    assert json.dumps(hf_tokenizer(model))
    with pytest.raises(ExportError, match="encode to other tokens"):
        tiktoken_ranks(model)
