"""Training on a Dask distributed cluster, and encoding a corpus on one.

Training (`train`): the text is cut into byte ranges, each held by a shard in an actor on a
worker; the driver holds the coordinator, which chooses the pairs. A round trip to all actors
at once carries a batch of steps (those the coordinator can prove are the next ones) and
brings back the count changes of those steps only. The round trips go over direct links
(`multiprocessing.connection`, authenticated by a random key the driver sends through the
cluster; plain TCP, like the cluster's own ``tcp://`` comms), which cost tens of microseconds per
link where a Dask actor call costs about half a millisecond. The links form a tree of relays:
the driver talks to at most RELAY_FANOUT actors, each of which passes the batch on to at most
RELAY_FANOUT others and answers with its own changes and theirs summed, so the driver's share
of a round trip does not grow with the workers. On a cluster that encrypts its traffic, with
addresses other than IPv4 TCP, or where a link cannot be made within LINK_SECONDS, the round
trips go through Dask's actor calls.

Encoding (`encode_files`): the documents must be readable at the same paths on every worker,
and the output folder writable from all of them (a shared file system, or one machine). The
driver reads the model file once and hands its bytes to every worker, which loads them once
(by their sha256) and keeps the tokenizer for later calls.

Output folder layout: ``documents/NNNNNNNN.npy`` (one array per document, in path order),
``offsets.npy`` (int64, documents + 1 entries, as if the documents were concatenated) and
``manifest.json`` (model path and sha256, dtype, each document's path, byte size, token count
and array file). The folder is built beside its place and swapped in whole: an earlier result
there is replaced at once, and a run that fails or is interrupted leaves it as it was.

A worker that leaves the cluster while a call waits on it stops the call within about a
second (`ToolError`); Ctrl-C cancels what was sent to the cluster.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import hashlib
import multiprocessing.connection
import os
import pickle
import secrets
import socket
import threading
import time
import weakref
from collections.abc import Awaitable, Callable, Collection, Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypeVar

from .encoding import Document, FileEncoder, IdType, choose_dtype, write_manifest, write_offsets
from .files import ToolError, collect_paths, read_text
from .model import Model
from .outputs import Output, output_files, output_folder, refuse_replacing

if TYPE_CHECKING:
    from .files import Errors

T = TypeVar("T")

#: Seconds between looks at the cluster while a call waits on it.
POLL_SECONDS = 0.5


def _input_files(paths: Iterable[str | os.PathLike[str]]) -> list[Path]:
    """The files `paths` stand for; a bare str, bytes or path is a TypeError (it would be
    taken for a sequence of one-character paths)."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError(f"paths must be a sequence of paths, not {type(paths).__name__}")
    return collect_paths(map(Path, paths))


def _check_alive(client: Any, needed: Collection[str], futures: Sequence[Any]) -> None:
    """Raises ToolError when a worker in `needed` has left the cluster or one of `futures`
    (tasks, or actors, whose worker's loss ends them) failed."""
    for future in futures:
        if future.status == "error" and isinstance(error := future.exception(), ToolError):
            raise error  # the task's own fault (a file that is not text ...)
        if future.status in ("error", "cancelled", "lost"):
            raise ToolError(f"the cluster lost work in progress ({future.status}): "
                            "a worker died or left")
    if needed:
        present = client.scheduler_info()["workers"]
        gone = sorted(worker for worker in needed if worker not in present)
        if gone:
            raise ToolError(f"worker {gone[0]} left the cluster")


def _wait(client: Any, work: Awaitable[T], needed: Collection[str] = (),
          futures: Sequence[Any] = ()) -> T:
    """Runs `work` on the client's event loop and returns its result, looking at the cluster
    every POLL_SECONDS meanwhile (see _check_alive). On any failure, Ctrl-C included, the
    work and `futures` are cancelled."""
    async def run() -> T:
        return await work

    running = asyncio.run_coroutine_threadsafe(run(), client.loop.asyncio_loop)
    try:
        while True:
            done, _ = concurrent.futures.wait([running], timeout=POLL_SECONDS)
            if done:
                return running.result()
            _check_alive(client, needed, futures)
    except BaseException:
        running.cancel()
        if futures:
            client.cancel(list(futures))
        raise


async def _results(futures: Sequence[Any]) -> list[Any]:
    return [await future for future in futures]


# ---------------------------------------------------------------------------------------
# Encoding

# Worker side: the tokenizers this process has loaded, by their model's sha256.
_encoders: dict[str, FileEncoder] = {}


def _encoder(model: bytes, sha256: str) -> FileEncoder:
    if sha256 not in _encoders:
        if hashlib.sha256(model).hexdigest() != sha256:
            raise ToolError("the model's bytes changed on their way to a worker")
        parsed = Model.parse(model)
        parsed.data, parsed.sha256 = model, sha256
        _encoders[sha256] = FileEncoder.of(parsed)
    return _encoders[sha256]


def _encode_document(model: bytes, sha256: str, path: str, output: str, dtype: IdType,
                     errors: Errors) -> int:
    """Encodes one document into its own .npy file; returns its number of tokens."""
    import numpy as np

    packed = _encoder(model, sha256).encode_file(path, dtype, errors)
    np.save(output, np.frombuffer(packed, dtype=dtype.dtype), allow_pickle=False)
    return len(packed) * 8 // dtype.bits


def encode_files(
    client: Any,
    model_path: str | os.PathLike[str],
    paths: Sequence[str | os.PathLike[str]],
    output_dir: str | os.PathLike[str],
    dtype: str = "auto",
    errors: Errors = "strict",
) -> Path:
    """Encode every file (folders stand for their files, as on the command line) as one
    document on the cluster of the `distributed.Client` `client`; returns the manifest's path.
    Each document's ids equal those of ``pairloom encode`` with the same model."""
    files = _input_files(paths)
    model_path = Path(model_path)
    parsed = Model.read(model_path)  # read once, within the memory budget
    model, sha256 = parsed.data, parsed.sha256
    chosen = choose_dtype(parsed.max_id, dtype)
    names = [f"documents/{index:08d}.npy" for index in range(len(files))]
    with output_folder(output_dir, marker="manifest.json", inputs=[*files, model_path]) as fresh:
        (fresh / "documents").mkdir()
        # One copy of the model's bytes per worker (a key of its own each call: a key given
        # again while the cluster still forgets the last call's data can find none).
        shipped = client.scatter(model, broadcast=True, hash=False)
        count = len(files)
        futures = client.map(
            _encode_document,
            [shipped] * count,
            [sha256] * count,
            [str(path.resolve()) for path in files],
            [str((fresh / name).resolve()) for name in names],
            [chosen] * count,
            [errors] * count,
            pure=False,
        )
        counts: list[int] = _wait(client, _results(futures), futures=futures)
        documents = [Document(str(path), path.stat().st_size, tokens)
                     for path, tokens in zip(files, counts)]
        write_offsets(fresh / "offsets.npy", counts)
        write_manifest(fresh / "manifest.json", model_path, sha256, chosen, documents,
                       files=names)
    return Path(output_dir) / "manifest.json"


# ---------------------------------------------------------------------------------------
# Training

#: A shard's ends, as `Shard.edges` gives them: empty, first token, last token, length of the run
#: of the last token that ends the shard, whether that run is the whole shard.
Edges = tuple[bool, int, int, int, bool]

#: A piece of a file: path, offset, length.
Piece = tuple[str, int, int]

#: Where a shard's bytes come from: the bytes themselves, or pieces of files that the worker
#: reads, with the sha256 of their bytes as the driver read them.
ShardSource = bytes | tuple[tuple[Piece, ...], str]

#: Most steps sent in one round trip.
BATCH_LIMIT = 64

#: Seconds the driver, or a relay, gives the workers to take its direct links before the
#: training falls back to Dask's actor calls.
LINK_SECONDS = 10.0

#: Most links the driver, or a relay, sends a round trip down.
RELAY_FANOUT = 4

#: Actors first to last: (first, end), the actor `first` heading those up to `end`.
Span = tuple[int, int]


def _spans(first: int, end: int, parts: int) -> list[Span]:
    """Actors first up to end in at most `parts` spans of sizes that differ by one at most."""
    count = min(parts, end - first)
    return [(first + k * (end - first) // count, first + (k + 1) * (end - first) // count)
            for k in range(count)]


def _relay_tree(actors: int, fanout: int) -> tuple[list[Span], list[list[Span]]]:
    """The spans the driver links to, and for each actor the spans it relays to: the head of a
    span relays to the rest of it, cut into at most `fanout` spans. Every actor is in one span
    of each level, and a round trip passes about log(actors) / log(fanout) links in a row."""
    top = _spans(0, actors, fanout)
    below: list[list[Span]] = [[] for _ in range(actors)]
    heads = list(top)
    while heads:
        first, end = heads.pop()
        below[first] = _spans(first + 1, end, fanout) if end - first > 1 else []
        heads += below[first]
    return top, below


def _read_pieces(pieces: Iterable[Piece]) -> bytes:
    out = []
    for path, offset, length in pieces:
        with open(path, "rb") as file:
            file.seek(offset)
            data = file.read(length)
        if len(data) != length:
            raise ToolError(
                f"{path}: changed while training (shorter than {offset + length} bytes)")
        out.append(data)
    return b"".join(out)


def _shard_bytes(source: ShardSource) -> bytes:
    if isinstance(source, bytes):
        return source
    pieces, sha256 = source
    data = _read_pieces(pieces)
    if hashlib.sha256(data).hexdigest() != sha256:
        raise ToolError(f"{pieces[0][0]}: changed while training")
    return data


class ShardActor:
    """The shards of one worker, in text order: a Dask actor (``actor=True``)."""

    def __init__(self, sources: Sequence[ShardSource], threads: int = 1) -> None:
        from ._native import Shard, sum_deltas

        self._sum = sum_deltas
        self._pool = ThreadPoolExecutor(threads) if threads > 1 and len(sources) > 1 else None
        # Shards count their pairs, and merge, without the interpreter lock: side by side.
        build = lambda source: Shard(_shard_bytes(source))  # noqa: E731
        self._shards = list(self._pool.map(build, sources) if self._pool else map(build, sources))
        self._address: tuple[str, int] | None = None  # where this actor's link listens
        # The actors this one relays round trips to, each with how many actors its span holds.
        self._relays: list[tuple[multiprocessing.connection.Connection, int]] = []

    def changes(self) -> tuple[bytes, list[Edges]]:
        """The count changes since the last call (first: the initial counts), summed over the
        shards (they change mostly the same pairs), and every shard's edges."""
        deltas = [shard.take_deltas() for shard in self._shards]
        return (deltas[0] if len(deltas) == 1 else self._sum(deltas),
                [shard.edges() for shard in self._shards])

    def steps(self, pairs: Sequence[tuple[int, int]], token: int,
              roles: Sequence[tuple[bool, bool]]) -> tuple[bytes, list[Edges]]:
        """Rewrites each of `pairs` in turn, as tokens `token`, `token + 1`, ..., in every
        shard: the first in the shard's role, the others in none; then changes()."""
        def merge(index: int) -> None:
            shard = self._shards[index]
            shard.merge(*pairs[0], token, *roles[index])
            for offset in range(1, len(pairs)):
                shard.merge(*pairs[offset], token + offset, False, False)

        if self._pool is None:
            for index in range(len(self._shards)):
                merge(index)
        else:
            list(self._pool.map(merge, range(len(self._shards))))
        return self.changes()

    def live(self) -> int:
        return sum(shard.live for shard in self._shards)

    def listen(self, authkey: bytes) -> tuple[str, int] | None:
        """Opens a direct link on this worker's host for one connection (of the driver, or of
        the actor that relays to this one), authenticated by `authkey`, and serves changes()
        and steps() on it from a thread of its own until it closes."""
        from distributed import get_worker
        from distributed.comm.addressing import get_address_host

        self._unused = False
        self._authkey = authkey
        try:
            listener = multiprocessing.connection.Listener(
                (get_address_host(get_worker().address), 0), authkey=authkey)
        except OSError:  # not an IPv4 host
            return None
        self._address = listener.address  # kept: unlisten() may come once it is closed
        threading.Thread(target=_serve, args=(listener, weakref.ref(self)), daemon=True,
                         name="pairloom-shard-link").start()
        return self._address

    def relay(self, addresses: Sequence[tuple[str, int]], sizes: Sequence[int]) -> bool:
        """Links to the actors listening at `addresses`, which head spans of `sizes` actors, to
        pass them the round trips this actor's link brings; False when a link cannot be made
        within LINK_SECONDS."""
        self._relays = [(link, size) for link, size in
                        zip(_connect(addresses, self._authkey), sizes)]
        return len(self._relays) == len(addresses)

    def unlisten(self) -> None:
        """Ends a link the driver did not take (wakes the thread that waits for it), and the
        links this actor made to relay."""
        self._unused = True
        _close_relays(self)
        if self._address is None:
            return
        with contextlib.suppress(OSError, EOFError, multiprocessing.AuthenticationError):
            multiprocessing.connection.Client(self._address,
                                              authkey=self._authkey).close()


def _close_relays(actor: ShardActor) -> None:
    relays, actor._relays = actor._relays, []
    for link, _ in relays:
        link.close()


def _connect(addresses: Sequence[tuple[str, int]],
             authkey: bytes) -> list[multiprocessing.connection.Connection]:
    """Links to the listeners at `addresses`, all of them or none: those made within
    LINK_SECONDS are closed when one is not."""
    if not addresses:
        return []
    pool = ThreadPoolExecutor(len(addresses))
    connecting = [pool.submit(multiprocessing.connection.Client, (host, port), authkey=authkey)
                  for host, port in addresses]
    pool.shutdown(wait=False)  # a connection that hangs is left to its own time-out ...
    _, late = concurrent.futures.wait(connecting, timeout=LINK_SECONDS)
    for future in late:  # ... and closed if it is made after all
        future.add_done_callback(_close_made)
    links = [_no_delay(future.result()) for future in connecting
             if future not in late and future.exception() is None]
    if len(links) < len(addresses):
        for link in links:
            link.close()
        return []
    return links


def _close_made(made: concurrent.futures.Future[multiprocessing.connection.Connection]) -> None:
    if made.exception() is None:
        made.result().close()


def _no_delay(link: multiprocessing.connection.Connection) -> multiprocessing.connection.Connection:
    """The link, its messages sent at once: a message over 16 KiB goes out in two writes, and
    the second would wait for the first's delayed acknowledgement."""
    with socket.fromfd(link.fileno(), socket.AF_INET, socket.SOCK_STREAM) as same:
        same.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return link


def _serve(listener: multiprocessing.connection.Listener,
           actor_ref: weakref.ref[ShardActor]) -> None:
    """On a worker: answers the calls that come on the link `listener` gives (from the driver or
    a relay), one at a time, until that link closes; then closes the actor's relays."""
    try:
        with listener:
            link = _no_delay(listener.accept())
    except (OSError, EOFError, multiprocessing.AuthenticationError):
        return
    with link:
        actor = actor_ref()
        if actor is None or actor._unused:
            return
        try:
            _answer(link, actor)
        finally:
            _close_relays(actor)


def _answer(link: multiprocessing.connection.Connection, actor: ShardActor) -> None:
    """Answers the calls on `link` for the actor and the actors it relays to."""
    while True:
        try:
            method, shared, own = link.recv()
        except (OSError, EOFError, TypeError, ValueError):
            return
        if method not in ("changes", "steps"):
            return
        reply: tuple[bool, Any]
        try:
            reply = (True, _relayed(link, actor, method, shared, own))
        except _ParentGone:
            return
        except Exception as error:  # the driver raises it, as an actor call would
            reply = (False, error)
        try:
            try:
                link.send(reply)
            except (pickle.PicklingError, TypeError, AttributeError):
                link.send((False, ToolError(f"{type(reply[1]).__name__}: {reply[1]}")))
        except OSError:
            return
        if not reply[0]:
            return  # the training ends; relays may still owe answers to the failed call


class _ParentGone(Exception):
    """The link a relayed call came on closed while its relays were working."""


def _relayed(parent: multiprocessing.connection.Connection, actor: ShardActor, method: str,
             shared: tuple[Any, ...], own: Sequence[tuple[Any, ...]]) -> tuple[bytes, list[Edges]]:
    """`method` of the actor and of every actor its relays' spans hold (`own[k]`: the k-th
    actor's own arguments, after `shared`): the count changes summed, the edges in actor
    order. The relays work while this actor does."""
    try:
        first = 1
        for link, size in actor._relays:
            link.send((method, shared, own[first:first + size]))
            first += size
        answers = [getattr(actor, method)(*shared, *own[0])]
        for link, _ in actor._relays:
            while not link.poll(POLL_SECONDS):
                if parent.poll(0):  # closed: the driver gave up on this round trip
                    raise _ParentGone
            ok, answer = link.recv()
            if not ok:
                raise answer
            answers.append(answer)
    except (OSError, EOFError) as error:  # a relay's link (the steps themselves raise neither)
        raise ToolError("a worker of the cluster was lost: "
                        f"{error or 'a relay link closed'}") from None
    if len(answers) == 1:
        return answers[0]  # type: ignore[no-any-return]
    return (actor._sum([deltas for deltas, _ in answers]),
            [edge for _, edges in answers for edge in edges])


def _cut(sizes: Sequence[int], shards: int) -> list[list[tuple[int, int, int]]]:
    """Shard k holds bytes floor(k * n / shards) up to floor((k + 1) * n / shards) of the
    files' concatenation, as (file index, offset, length) pieces."""
    total = sum(sizes)
    starts = [0]
    for size in sizes:
        starts.append(starts[-1] + size)
    cuts = [k * total // shards for k in range(shards + 1)]
    out: list[list[tuple[int, int, int]]] = []
    for begin, end in zip(cuts, cuts[1:]):
        pieces = []
        for index, size in enumerate(sizes):
            low, high = max(begin, starts[index]), min(end, starts[index] + size)
            if low < high:
                pieces.append((index, low - starts[index], high - low))
        out.append(pieces)
    return out


def _digests(shards: dict[str, list[tuple[Piece, ...]]],
             dask_worker: Any = None) -> list[str] | None:
    """On a worker: the sha256 of each of its shards' bytes as it reads them, or None when it
    cannot read them."""
    try:
        return [hashlib.sha256(_read_pieces(pieces)).hexdigest()
                for pieces in shards.get(dask_worker.address, [])]
    except (OSError, ToolError):
        return None


def _check_text(path: str, errors: Errors) -> None:
    """On a worker: raises ToolError, as ``pairloom train`` does, when the file is not text."""
    read_text(path, errors)


@dataclass
class Training:
    """What `train` did: merges learned, and the time it took."""

    model_path: Path
    vocab_path: Path
    merges: int
    shards: int
    setup_seconds: float  # checking and cutting the text, counting its pairs
    # One per merge: each round trip's time shared among the merges it carried.
    step_seconds: list[float] = field(default_factory=list)
    round_trips: int = 0  # batches of steps sent to the workers
    seconds: float = 0.0  # the whole call


async def _call_all(calls: Sequence[Awaitable[T]]) -> list[T]:
    """The answers of actor calls made at once; ToolError when an actor's worker is lost."""
    try:
        return list(await asyncio.gather(*calls))
    except OSError as error:  # the actor's worker could not be reached
        raise ToolError(f"a worker of the cluster was lost: {error}") from None


#: call(method, shared=(), own=None): `method` of every actor at once, the i-th given
#: ``*shared, *own(i)``; the answers. Dask's actor calls give one answer per actor, in actor
#: order; the links one per span the driver links to, in actor order, each summing its span's.
Calls = Callable[..., list[Any]]


def _actor_calls(client: Any, handles: Sequence[Any], workers: Sequence[str],
                 actors: Sequence[Any]) -> Calls:
    """Calls through Dask's actor calls."""
    def call(method: str, shared: tuple[Any, ...] = (),
             own: Callable[[int], tuple[Any, ...]] | None = None) -> list[Any]:
        # The calls are made on the event loop, in one go: made here, each would wake it.
        async def everyone() -> list[Any]:
            return await _call_all([getattr(handle, method)(*shared, *(own(i) if own else ()))
                                    for i, handle in enumerate(handles)])

        return _wait(client, everyone(), workers, actors)

    return call


@dataclass
class Links:
    """The driver's links to the heads of the spans of `_relay_tree`'s top level."""

    links: list[multiprocessing.connection.Connection]
    spans: list[Span]

    def close(self) -> None:
        for link in self.links:
            link.close()


def _direct_links(client: Any, handles: Sequence[Any], workers: Sequence[str],
                  actors: Sequence[Any], fanout: int | None = None) -> Links | None:
    """Links to the actors, laid out as `_relay_tree` lays them out for `fanout` (RELAY_FANOUT
    when None), or None where the cluster encrypts its traffic, a worker's address is not IPv4
    TCP, or a link cannot be made within LINK_SECONDS. A round trip over the links costs tens
    of microseconds per link, an actor call about half a millisecond
    (bench/dask_overhead.py)."""
    if client.security.require_encryption or not all(w.startswith("tcp://") for w in workers):
        return None
    authkey = secrets.token_bytes(32)
    call = _actor_calls(client, handles, workers, actors)
    addresses = call("listen", (authkey,))
    if all(addresses):
        top, below = _relay_tree(len(handles), fanout or RELAY_FANOUT)
        relayed = call("relay", (), lambda i: ([addresses[first] for first, _ in below[i]],
                                               [end - first for first, end in below[i]]))
        links = _connect([addresses[first] for first, _ in top], authkey) if all(relayed) else []
        if links:
            return Links(links, top)
    call("unlisten")
    return None


def _linked_calls(client: Any, links: Links, workers: Sequence[str],
                  actors: Sequence[Any]) -> Calls:
    """Calls over the links, looking at the cluster every POLL_SECONDS meanwhile."""
    def call(method: str, shared: tuple[Any, ...] = (),
             own: Callable[[int], tuple[Any, ...]] | None = None) -> list[Any]:
        # The answers are taken in span order: the last to come sets the time either way, and
        # one poll per link is cheaper than a wait on all (which registers every link anew).
        replies = []
        try:
            for link, (first, end) in zip(links.links, links.spans):
                link.send((method, shared,
                           [own(i) if own else () for i in range(first, end)]))
            for link in links.links:
                while not link.poll(POLL_SECONDS):
                    _check_alive(client, workers, actors)
                ok, reply = link.recv()
                if not ok:
                    break
                replies.append(reply)
        except (OSError, EOFError) as error:
            raise ToolError("a worker of the cluster was lost: "
                            f"{error or 'its link closed'}") from None
        if not ok:
            raise reply  # the actor's own fault, as an actor call raises it
        return replies

    return call


def train(
    client: Any,
    paths: Sequence[str | os.PathLike[str]],
    vocab_size: int,
    output_prefix: str | os.PathLike[str],
    num_threads: int = 1,
    *,
    errors: Errors = "strict",
    progress: Callable[[int], object] | None = None,
) -> Training:
    """Trains on the files (folders stand for their files, as on the command line) on the cluster
    of the `distributed.Client` `client`, and writes ``PREFIX.model`` and ``PREFIX.vocab``
    byte for byte as ``pairloom train`` writes them for the same paths.

    Each worker holds `num_threads` shards of the text and rewrites them with as many threads.
    Workers read their byte ranges from the files when the bytes they read there are the
    driver's (same sha256: one machine, or a shared file system), else the driver reads the
    files and ships each worker its bytes (as it always does with ``errors="replace"``, which
    changes them). `progress(n)` is called with the number of merges learned since its last
    call. Nothing is written unless the training ends: an interruption (Ctrl-C) or a failure
    (a worker lost: within about a second) leaves no output and cancels the cluster's work."""
    from ._native import Coordinator, write_model

    start = time.perf_counter()
    files = _input_files(paths)
    if vocab_size < 256:
        raise ValueError("vocab_size must be at least 256")
    if num_threads < 1:
        raise ValueError("num_threads must be at least 1")
    prefix = str(output_prefix)
    targets = (Path(prefix + ".model"), Path(prefix + ".vocab"))
    # Now, not after the training: outputs that are inputs, folders or sockets.
    refuse_replacing(targets, files)
    for target in targets:
        Output(target)
    workers = sorted(client.scheduler_info()["workers"])
    if not workers:
        raise ToolError("the cluster has no workers")
    sources = _shard_sources(client, workers, files, errors, num_threads)
    count = len(sources)
    per_worker = count // len(workers)
    actors = [client.submit(ShardActor, sources[i * per_worker:(i + 1) * per_worker],
                            num_threads, actor=True, workers=[worker], pure=False)
              for i, worker in enumerate(workers)]
    links: Links | None = None
    try:
        handles = _wait(client, _results(actors), workers, actors)
        links = _direct_links(client, handles, workers, actors)
        call = (_linked_calls(client, links, workers, actors) if links
                else _actor_calls(client, handles, workers, actors))
        coordinator = Coordinator()

        def take(replies: list[tuple[bytes, list[Edges]]]) -> None:
            edges: list[Edges] = []
            for deltas, shard_edges in replies:
                coordinator.add(deltas)
                edges += shard_edges
            coordinator.set_edges(edges)

        take(call("changes"))
        result = Training(targets[0], targets[1], 0, count, time.perf_counter() - start)
        merges: list[tuple[int, int]] = []
        token = 256
        while token < vocab_size:
            began = time.perf_counter()
            pairs = coordinator.most_common_pairs(min(BATCH_LIMIT, vocab_size - token))
            if not pairs:
                break
            roles = coordinator.plan(*pairs[0])
            take(call("steps", (pairs, token),
                      lambda i: (roles[i * per_worker:(i + 1) * per_worker],)))
            coordinator.finish_steps(pairs)
            merges += pairs
            token += len(pairs)
            result.round_trips += 1
            result.step_seconds += [(time.perf_counter() - began) / len(pairs)] * len(pairs)
            if progress is not None:
                progress(len(pairs))
    finally:
        if links:
            links.close()
        client.cancel(actors)
    with output_files(*targets, inputs=files) as (model_tmp, vocab_tmp):
        write_model(merges, str(model_tmp), str(vocab_tmp))
    result.merges = len(merges)
    result.seconds = time.perf_counter() - start
    return result


def _shards_per_worker(total: int, workers: int, threads: int) -> int:
    """One shard per thread, or more where a worker's part of the text would not fit in so
    many shards."""
    from ._native import SHARD_LIMIT

    return max(threads, -(-total // (workers * (SHARD_LIMIT - 1))))


def _shard_sources(client: Any, workers: Sequence[str], files: Sequence[Path], errors: Errors,
                   threads: int) -> list[ShardSource]:
    """Each shard's bytes, or where its worker reads them: the pieces of files a worker reads
    must give it the bytes the driver reads there, else the driver ships them all. The first
    shards go to the first worker, and so on: as many to each."""
    names = [str(path.resolve()) for path in files]
    sizes = [path.stat().st_size for path in files]
    per_worker = _shards_per_worker(sum(sizes), len(workers), threads)
    count = len(workers) * per_worker
    if errors == "strict":
        cut = [tuple((names[index], offset, length) for index, offset, length in pieces)
               for pieces in _cut(sizes, count)]
        plan = {worker: cut[i * per_worker:(i + 1) * per_worker]
                for i, worker in enumerate(workers)}
        # The driver hashes its view of the shards while the workers hash theirs (hashlib
        # lets go of the interpreter lock: the driver's cores hash side by side).
        with ThreadPoolExecutor(os.cpu_count() or 1) as pool:
            hashing = [pool.submit(lambda pieces: hashlib.sha256(_read_pieces(pieces)).hexdigest(),
                                   pieces) for pieces in cut]
            try:
                seen = client.run(_digests, plan, workers=list(workers))
            except OSError as error:
                raise ToolError(f"a worker of the cluster was lost: {error}") from None
            expected = [future.result() for future in hashing]
        if all(seen.get(worker) == expected[i * per_worker:(i + 1) * per_worker]
               for i, worker in enumerate(workers)):
            checks = client.map(_check_text, names, [errors] * len(names), pure=False)
            _wait(client, _results(checks), futures=checks)
            return list(zip(cut, expected))
    data = "".join(read_text(path, errors) for path in files).encode("utf-8")
    count = len(workers) * _shards_per_worker(len(data), len(workers), threads)
    return [data[begin:end] for begin, end in
            ((k * len(data) // count, (k + 1) * len(data) // count) for k in range(count))]
