"""Encoding on a Dask cluster of two worker processes gives the local command's ids."""
import asyncio
import json
import random

import pytest

from pairloom import BasicTokenizer
from tools_helpers import run_cli

np = pytest.importorskip("numpy")
distributed = pytest.importorskip("distributed", reason="dask[distributed] is not installed")

from pairloom_tools.dask import encode_files  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
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


def test_cluster_encoding_swaps_in_a_whole_folder(tmp_path, client):
    from pairloom_tools import ToolError

    tok = BasicTokenizer()
    tok.train("some text to learn from " * 40, 300)
    model = tmp_path / "m.model"
    tok.save_model(str(model))
    docs = tmp_path / "docs"
    docs.mkdir()
    for i in range(3):
        (docs / f"{i}.txt").write_text("some text " * (i + 1))
    out = tmp_path / "out"
    encode_files(client, model, [docs], out)
    # Run again on fewer documents: none of the earlier run's stay behind.
    (docs / "2.txt").unlink()
    encode_files(client, model, [docs], out)
    assert sorted(p.name for p in (out / "documents").iterdir()) == ["00000000.npy",
                                                                     "00000001.npy"]
    before = {p: p.read_bytes() for p in out.rglob("*") if p.is_file()}
    # A run that fails (a file that is not UTF-8) changes nothing and leaves nothing.
    (docs / "3.txt").write_bytes(b"\xff\xfe")
    with pytest.raises(ToolError, match="not UTF-8"):
        encode_files(client, model, [docs], out)
    assert {p: p.read_bytes() for p in out.rglob("*") if p.is_file()} == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["docs", "m.model", "out"]
    # A folder that holds something else is not replaced.
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "keep.txt").write_text("mine")
    with pytest.raises(ToolError, match="holds files of something else"):
        encode_files(client, model, [docs / "0.txt"], tmp_path / "other")


def test_ctrl_c_while_waiting_cancels_the_tasks(monkeypatch, client):
    import time

    from pairloom_tools import dask

    def interrupt(*_):
        raise KeyboardInterrupt

    monkeypatch.setattr(dask, "_check_alive", interrupt)  # Ctrl-C at the first look around
    futures = client.map(time.sleep, [2, 2], pure=False)
    with pytest.raises(KeyboardInterrupt):
        dask._wait(client, dask._results(futures), futures=futures)
    assert [future.status for future in futures] == ["cancelled", "cancelled"]


@pytest.fixture(scope="module")
def native():
    return pytest.importorskip("pairloom_tools._native",
                               reason="pairloom_tools._native is not built (install the package)")


@pytest.fixture(scope="module", params=[1, 2, 4], ids=lambda n: f"{n}-workers")
def cluster(request, native):
    with distributed.LocalCluster(n_workers=request.param, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.fixture(scope="module")
def training_files(tmp_path_factory):
    """Files whose concatenation the cuts split inside characters and runs, one of them not
    UTF-8 (read with errors="replace"), one empty."""
    folder = tmp_path_factory.mktemp("train")
    rng = random.Random(12)

    def text(pieces, count):
        return "".join(rng.choice(pieces) for _ in range(count))

    texts = {"a.txt": text(["plain ", "words ", "and ", "more ", "\r\n", "wor", "ds."], 900),
             "b.txt": text(["ü", "€", "🧑‍🤝‍🧑", "é", " "], 700), "c.txt": "",
             "d.txt": text(["a", "aaaaaaa", "b", " ", "\x00", "\x1b control "], 800)}
    for name, content in texts.items():
        (folder / name).write_bytes(content.encode("utf-8"))
    (folder / "e.bin").write_bytes(b"bytes \xff\xfe not text " * 30)
    return folder


def cli_files(tmp_path, paths, *options):
    result = run_cli("train", "--vocab-size", 600, "--threads", 1, "--quiet", *options,
                     "--output", tmp_path / "cli", *paths)
    assert result.returncode == 0, result.stderr
    return [(tmp_path / f"cli.{suffix}").read_bytes() for suffix in ("model", "vocab")]


def test_cluster_training_writes_what_the_command_writes(tmp_path, monkeypatch, cluster,
                                                         training_files, native):
    from pairloom_tools.dask import train

    texts = sorted(training_files.glob("*.txt"))
    # Workers read their byte ranges from the files, one shard each ...
    learned = []
    done = train(cluster, texts, 600, tmp_path / "one", progress=learned.append)
    got = [(tmp_path / f"one.{suffix}").read_bytes() for suffix in ("model", "vocab")]
    assert got == cli_files(tmp_path, texts)
    assert done.merges == sum(learned) == len(done.step_seconds) > 100
    assert len(learned) == done.round_trips < done.merges  # several steps per round trip
    # ... or get shipped the bytes the driver read (a file that needs replacing), three shards
    # each, rewritten side by side; the round trips relayed down a chain of the workers.
    from pairloom_tools import dask

    monkeypatch.setattr(dask, "RELAY_FANOUT", 1)
    train(cluster, [training_files], 600, tmp_path / "two", num_threads=3, errors="replace")
    monkeypatch.setattr(dask, "RELAY_FANOUT", 4)
    got = [(tmp_path / f"two.{suffix}").read_bytes() for suffix in ("model", "vocab")]
    assert got == cli_files(tmp_path, [training_files], "--errors", "replace")
    # A text longer than one shard per thread may hold is cut into more shards a worker.
    monkeypatch.setattr(native, "SHARD_LIMIT", 1500)
    done = train(cluster, texts, 600, tmp_path / "three")
    got = [(tmp_path / f"three.{suffix}").read_bytes() for suffix in ("model", "vocab")]
    assert done.shards > len(cluster.scheduler_info()["workers"]) and got == cli_files(
        tmp_path, texts)


def link_threads():
    import threading

    return sum(thread.name == "pairloom-shard-link" for thread in threading.enumerate())


def refuse_relays(refused):
    """On a worker: its relays' links to other workers cannot be made (or can again)."""
    from pairloom_tools import dask

    if refused:
        dask._reachable, dask._connect = dask._connect, lambda addresses, authkey: []
    elif hasattr(dask, "_reachable"):
        dask._connect = dask.__dict__.pop("_reachable")


@pytest.mark.parametrize("way", ["direct", "refused", "relayed", "relay refused"])
def test_round_trips_go_over_direct_links_or_else_through_dask(tmp_path, monkeypatch, client,
                                                               training_files, native, way):
    """Where the driver cannot reach a worker's link, or a relay the link of a worker below it,
    the round trips go through Dask's actor calls: the same model either way, and no link is
    left open or waiting on a worker."""
    import multiprocessing.connection
    import time

    from pairloom_tools import dask

    opened = []
    connect = multiprocessing.connection.Client

    def driver_connects(*args, **kwargs):
        if way == "refused":
            raise ConnectionRefusedError("refused")
        opened.append(connect(*args, **kwargs))
        return opened[-1]

    monkeypatch.setattr(multiprocessing.connection, "Client", driver_connects)
    if way != "direct":  # the driver links to one worker, which relays to the other
        monkeypatch.setattr(dask, "RELAY_FANOUT", 1)
    client.run(refuse_relays, way == "relay refused")
    texts = sorted(training_files.glob("*.txt"))
    try:
        dask.train(client, texts, 600, tmp_path / "m")
    finally:
        client.run(refuse_relays, False)
    got = [(tmp_path / f"m.{suffix}").read_bytes() for suffix in ("model", "vocab")]
    assert got == cli_files(tmp_path, texts)
    assert len(opened) == {"direct": 2, "relayed": 1}.get(way, 0)
    assert all(link.closed for link in opened)
    for _ in range(200):
        if not any(client.run(link_threads).values()):
            break
        time.sleep(0.05)
    assert not any(client.run(link_threads).values())


def test_a_link_serves_only_its_driver_and_only_the_steps():
    """A worker's link: a wrong key is turned away and the link closes; with the key, changes()
    is answered, an actor's fault comes back to be raised and ends the link, and any other
    method closes it."""
    import multiprocessing.connection
    import threading
    import weakref

    from pairloom_tools import ToolError, dask

    class Actor:
        _unused = False
        _relays = []

        def changes(self):
            return b"deltas", []

        def steps(self, *args):
            raise ToolError("x.txt: changed while training")

    for key, calls in ((b"wrong", []), (b"key", [("changes", (), [()])]),
                       (b"key", [("steps", (1, 2), [(3,)]), ("changes", (), [()])]),
                       (b"key", [("unlisten", (), [()])])):
        actor = Actor()
        listener = multiprocessing.connection.Listener(("127.0.0.1", 0), authkey=b"key")
        serving = threading.Thread(target=dask._serve, args=(listener, weakref.ref(actor)))
        serving.start()
        if key == b"wrong":
            with pytest.raises(multiprocessing.AuthenticationError):
                multiprocessing.connection.Client(listener.address, authkey=key)
        else:
            with multiprocessing.connection.Client(listener.address, authkey=key) as link:
                answers = []
                for call in calls:
                    try:
                        link.send(call)
                        answers.append(link.recv())
                    except (EOFError, OSError):
                        answers.append("closed")
            if calls[0][0] == "changes":
                assert answers == [(True, (b"deltas", []))]
            elif calls[0][0] == "steps":
                assert answers[0][0] is False and isinstance(answers[0][1], ToolError)
                assert answers[1:] == ["closed"]
            else:
                assert answers == ["closed"]
        serving.join(10)
        assert not serving.is_alive()


def test_relays_pass_a_round_trip_down_their_spans_and_sum_the_answers():
    """Actors a, b, c, d with a relaying to b (which heads b and c) and to d: one call on a's
    link gives every actor its own arguments, and one answer, the changes summed and the edges
    in actor order; a fault down the tree comes back up; closing a's link ends them all."""
    import multiprocessing.connection
    import threading
    import weakref

    from pairloom_tools import ToolError, dask

    class Actor:
        _unused = False
        _sum = staticmethod(b"+".join)

        def __init__(self, name):
            self.name, self._relays = name, []

        def steps(self, pairs, token, roles):
            if roles == "fault":
                raise ToolError(f"{self.name!r} failed")
            return self.name * token, [(self.name, pairs, roles)]

    def listening(actor):
        listener = multiprocessing.connection.Listener(("127.0.0.1", 0), authkey=b"key")
        threads.append(threading.Thread(target=dask._serve, args=(listener, weakref.ref(actor))))
        threads[-1].start()
        return listener.address

    for fault in (False, True):
        threads = []
        a, b, c, d = actors = [Actor(name) for name in (b"a", b"b", b"c", b"d")]
        addresses = [listening(actor) for actor in actors]
        b._relays = [(dask._connect([addresses[2]], b"key")[0], 1)]
        a._relays = [(link, size) for link, size in
                     zip(dask._connect([addresses[1], addresses[3]], b"key"), (2, 1))]
        with multiprocessing.connection.Client(addresses[0], authkey=b"key") as link:
            roles = ["A", "B", "fault" if fault else "C", "D"]
            link.send(("steps", ("pairs", 2), [(role,) for role in roles]))
            ok, answer = link.recv()
            if fault:
                assert not ok and isinstance(answer, ToolError) and "'c' failed" in str(answer)
            else:
                assert ok and answer == (b"aa+bb+cc+dd",
                                         [(name, "pairs", role) for name, role in
                                          zip((b"a", b"b", b"c", b"d"), roles)])
        for thread in threads:
            thread.join(10)
            assert not thread.is_alive()


@pytest.mark.parametrize("actors", [1, 2, 3, 4, 5, 8, 17, 100])
@pytest.mark.parametrize("fanout", [1, 2, 4])
def test_the_relay_tree_holds_every_actor_once_within_its_fanout(actors, fanout):
    import math

    from pairloom_tools import dask

    top, below = dask._relay_tree(actors, fanout)

    def depth(span):
        first, end = span
        spans = below[first]
        assert 0 <= first < end <= actors and len(spans) <= fanout
        # The head's span less the head, cut into spans that follow one another.
        assert [first + 1, *(e for _, e in spans)] == [*(f for f, _ in spans), end] or (
            not spans and end == first + 1)
        return 1 + max(map(depth, spans), default=0)

    assert len(top) <= fanout and [0, *(e for _, e in top)] == [*(f for f, _ in top), actors]
    deepest = max(map(depth, top))
    if fanout > 1:
        assert deepest <= 1 + math.ceil(math.log(actors, fanout))
    assert top == [(i, i + 1) for i in range(actors)] or actors > fanout


def test_interrupted_cluster_training_leaves_no_output(tmp_path, client, training_files, native):
    from pairloom_tools import ToolError
    from pairloom_tools.dask import train

    def interrupt_at_50(merges):
        learned.append(merges)
        if sum(learned) >= 50:
            raise KeyboardInterrupt

    learned = []
    with pytest.raises(KeyboardInterrupt):
        train(client, [training_files / "a.txt"], 600, tmp_path / "m", progress=interrupt_at_50)
    assert list(tmp_path.iterdir()) == []
    # A file that is not UTF-8 stops it as it stops the command, before any work.
    with pytest.raises(ToolError, match=r"e\.bin: not UTF-8 at byte offset 6"):
        train(client, [training_files], 600, tmp_path / "m")
    assert list(tmp_path.iterdir()) == []


class FakeClient:
    """A client whose one worker, here, sees the files under `twins` in place of the driver's."""

    def __init__(self, twins=None):
        self.twins = twins or {}

    def run(self, function, plan, workers):
        worker = type("Worker", (), {"address": workers[0]})
        plan = {address: [tuple((self.twins.get(path, path), offset, length)
                                for path, offset, length in pieces) for pieces in shards]
                for address, shards in plan.items()}
        return {worker.address: function(plan, dask_worker=worker)}

    def map(self, function, *iterables, pure=True):
        return [function(*args) for args in zip(*iterables)]


@pytest.mark.parametrize("count", [1, 3, 7, 40])
def test_shards_cover_the_text_read_where_the_worker_sees_the_same_bytes(
        tmp_path, monkeypatch, training_files, count):
    from pairloom_tools import dask

    async def results(futures):
        return futures

    monkeypatch.setattr(dask, "_wait", lambda client, work, *rest, **more: asyncio.run(work))
    monkeypatch.setattr(dask, "_results", results)
    files = []
    for path in sorted(training_files.glob("*.txt")):
        files.append(tmp_path / path.name)
        files[-1].write_bytes(path.read_bytes())
    text = b"".join(path.read_bytes() for path in files)
    # A worker that sees a file of the same size with other bytes is shipped the driver's.
    twin = tmp_path / "twin.txt"
    twin.write_bytes(files[0].read_bytes().replace(b"w", b"W"))
    for client, shipped in ((FakeClient(), False),
                            (FakeClient({str(files[0].resolve()): str(twin)}), True),
                            (FakeClient({str(files[0].resolve()): str(tmp_path / "gone")}), True)):
        sources = dask._shard_sources(client, ["tcp://here:1"], files, "strict", count)
        assert len(sources) == count
        assert all(isinstance(s, bytes) == shipped for s in sources)
        parts = [dask._shard_bytes(source) for source in sources]
        assert b"".join(parts) == text
        assert [len(p) for p in parts] == [(k + 1) * len(text) // count - k * len(text) // count
                                           for k in range(count)]
    # A file changed after the check is caught when the worker reads it.
    read = dask._shard_sources(FakeClient(), ["tcp://here:1"], files, "strict", 1)
    files[0].write_bytes(twin.read_bytes())
    with pytest.raises(dask.ToolError, match="changed while training"):
        dask._shard_bytes(read[0])


def test_a_bare_path_is_not_a_sequence_of_paths(tmp_path, training_files):
    from pairloom_tools.dask import encode_files, train

    for paths in (str(training_files), bytes(training_files), training_files):
        with pytest.raises(TypeError, match="sequence of paths"):
            train(None, paths, 300, tmp_path / "m")
        with pytest.raises(TypeError, match="sequence of paths"):
            encode_files(None, tmp_path / "m.model", paths, tmp_path / "out")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("texts", [
    [b"plain words and more words, " * 400, b"\xc3\xbc\xe2\x82\xac " * 300],
    [b"aaaaaaaaab" * 300, b"ab" * 500, b"abab aa bb " * 120],
    [bytes(random.Random(5).choice(b"the quick brown fox ") for _ in range(20_000))],
], ids=["words", "runs", "random"])
def test_steps_in_batches_learn_what_the_class_learns(tmp_path, native, texts):
    """Shards cut at random places, driven in batches of proven steps, learn the class's
    merges."""
    rng = random.Random(len(texts))
    data = b"".join(texts)
    tok = BasicTokenizer()
    tok.train(data.decode("utf-8"), 1200)
    tok.save_model(str(tmp_path / "class.model"))
    for count in (1, 3, 8):
        cuts = sorted([0, len(data), *(rng.randrange(len(data) + 1) for _ in range(count - 1))])
        shards = [native.Shard(data[b:e]) for b, e in zip(cuts, cuts[1:])]
        coordinator = native.Coordinator()

        def collect():
            for shard in shards:
                coordinator.add(shard.take_deltas())
            coordinator.set_edges([shard.edges() for shard in shards])

        collect()
        merges = []
        while len(merges) < 1200 - 256 and (pairs := coordinator.most_common_pairs(64)):
            pairs = pairs[:1200 - 256 - len(merges)]
            roles = coordinator.plan(*pairs[0])
            for shard, role in zip(shards, roles):
                for offset, pair in enumerate(pairs):
                    shard.merge(*pair, 256 + len(merges) + offset, *(role if offset == 0
                                                                     else (False, False)))
            collect()
            coordinator.finish_steps(pairs)
            merges += pairs
        native.write_model(merges, str(tmp_path / "shards.model"), str(tmp_path / "shards.vocab"))
        assert ((tmp_path / "shards.model").read_bytes()
                == (tmp_path / "class.model").read_bytes()), count


def test_a_worker_lost_ends_the_training_and_leaves_no_output(tmp_path, monkeypatch, native,
                                                              training_files):
    import faulthandler
    import os
    import signal

    from pairloom_tools import ToolError, dask

    text = [training_files / "a.txt"]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        def kill_a_worker(*_):
            pids = client.run(os.getpid)
            os.kill(pids[max(pids)], signal.SIGKILL)

        faulthandler.dump_traceback_later(120, exit=True)  # a hang fails the run, not CI's clock
        try:
            # As the training starts: the text is cut, the actors not yet made.
            cut = dask._shard_sources
            monkeypatch.setattr(dask, "_shard_sources",
                                lambda *args: (cut(*args), kill_a_worker())[0])
            with pytest.raises(ToolError, match="left the cluster|was lost|lost work"):
                dask.train(client, text, 600, tmp_path / "m")
            monkeypatch.undo()
            client.wait_for_workers(2)
            # Between two steps: the driver links to both workers, or to one that relays.
            for fanout in (4, 1):
                monkeypatch.setattr(dask, "RELAY_FANOUT", fanout)
                client.wait_for_workers(2)
                killed = []
                with pytest.raises(ToolError, match="left the cluster|was lost|lost work"):
                    dask.train(client, text, 600, tmp_path / "m",
                               progress=lambda _: killed or killed.append(kill_a_worker()))
                assert killed
        finally:
            faulthandler.cancel_dump_traceback_later()
    assert list(tmp_path.iterdir()) == []


def test_a_task_that_failed_while_waiting_reports_its_own_fault():
    from pairloom_tools import ToolError, dask

    class Failed:
        status = "error"

        def exception(self):
            return ToolError("x.txt: not UTF-8 at byte offset 3")

    with pytest.raises(ToolError, match="not UTF-8"):
        dask._check_alive(None, (), [Failed()])
