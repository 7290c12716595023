"""Encoding on a Dask cluster of two worker processes gives the local command's ids."""
import json

import pytest

from pairloom import BasicTokenizer
from tools_helpers import run_cli

np = pytest.importorskip("numpy")
distributed = pytest.importorskip("distributed", reason="dask[distributed] is not installed")

from pairloom_tools.dask import encode_files  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def test_cluster_encoding_matches_the_local_command(tmp_path, client):
    texts = ["plain words and more words\n" * 200, "émoji 🧑‍🤝‍🧑 and CRLF\r\n" * 150, "",
             "\x00\x1b control " * 90]
    docs = tmp_path / "docs"
    docs.mkdir()
    for i, text in enumerate(texts):
        (docs / f"{i}.txt").write_bytes(text.encode("utf-8"))
    tok = BasicTokenizer()
    tok.train("".join(texts), 600)
    model = tmp_path / "m.model"
    tok.save_model(str(model))
    assert run_cli("encode", "--model", model, "--jobs", 1, "--output", tmp_path / "local.npy",
                   docs).returncode == 0

    manifest_path = encode_files(client, model, [docs], tmp_path / "cluster")
    manifest = json.loads(manifest_path.read_text())
    local = json.loads((tmp_path / "local.json").read_text())
    assert manifest["documents"] == local["documents"] and manifest["dtype"] == local["dtype"]
    assert np.array_equal(np.load(tmp_path / "cluster" / "offsets.npy"),
                          np.load(tmp_path / "local.offsets.npy"))
    arrays = [np.load(tmp_path / "cluster" / name) for name in manifest["files"]]
    assert np.array_equal(np.concatenate(arrays), np.load(tmp_path / "local.npy"))
    # The workers keep their tokenizer by path and content: a model file changed in place is
    # loaded afresh, not answered from the old one.
    tok.train("other text entirely " * 50, 300)
    tok.save_model(str(tmp_path / "other.model"))
    model.write_bytes((tmp_path / "other.model").read_bytes())
    second = encode_files(client, model, [docs], tmp_path / "again")
    again = [np.load(tmp_path / "again" / name) for name in manifest["files"]]
    fresh = BasicTokenizer()
    fresh.load(str(model))
    assert [a.tolist() for a in again] == [fresh.encode(text) for text in texts]
    assert json.loads(second.read_text())["model"]["sha256"] != manifest["model"]["sha256"]
