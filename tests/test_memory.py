"""Memory: calls of every method, failing ones included, leave no memory behind (measured on
the C heap and with tracemalloc); and running out of address space (a lowered RLIMIT_AS, in a
child process) raises MemoryError and leaves a usable tokenizer with a consistent state.

The 100,000-call soak runs only with PAIRLOOM_SOAK=1 (or `-m soak`); the normal suite runs the
same calls fewer times."""
import ctypes
import gc
import os
import resource
import signal
import subprocess
import sys
import tempfile
import tracemalloc

import pytest

from pairloom import BasicTokenizer
from robust_helpers import run_child

SOAK = os.environ.get("PAIRLOOM_SOAK") == "1"
SOAK_CALLS = 100_000
QUICK_CALLS = 1_000


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _heap_reader():
    """Bytes the C allocator has handed out and not taken back (glibc's mallinfo2), or None."""
    try:
        function = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    function.restype = _MallInfo2

    def in_use():
        info = function()
        return info.uordblks + info.hblkhd
    return in_use


heap_in_use = _heap_reader()


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Stop(Exception):
    pass


class Workspace:
    """Objects and files the calls work on, made once."""

    def __init__(self, base):
        self.base = base
        self.tok = BasicTokenizer()
        self.text = "the quick brown fox jumps over the lazy dog; " * 8
        self.tok.train(self.text, 300)
        self.model = os.path.join(base, "m.model")
        self.tok.save_model(self.model)
        self.bad_model = os.path.join(base, "bad.model")
        with open(self.bad_model, "w") as f:
            f.write("pairloom v1\n\n0\n1 2\n3\n")
        self.long_text = self.text * 400
        # encode() keeps its buffer of ids for the next call: grown here to the longest text's
        # size, so that an interrupted call that ends late (the timer's signal delayed on a
        # busy machine) cannot grow it while the heap is measured.
        self.tok.encode(self.long_text)
        self.armed = False

    def interrupting(self, call):
        """Runs `call` with a timer that fires a few microseconds in, raising Stop from the
        engine's next poll. The handler raises only while armed, so a late signal is harmless."""
        def handler(signum, frame):
            if self.armed:
                raise Stop
        previous = signal.signal(signal.SIGALRM, handler)
        self.armed = True
        try:
            signal.setitimer(signal.ITIMER_REAL, 1e-5)
            call()
        finally:
            self.armed = False
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)


class RaisingIndex:
    def __index__(self):
        raise ValueError("no")


class ReenteringIds:
    def __init__(self, tok):
        self.tok = tok

    def __len__(self):
        return 1

    def __getitem__(self, index):
        return 97

    def __iter__(self):
        try:
            self.tok.build_vocab()
        except RuntimeError:
            pass
        return iter([97])


def operations(w):
    tok, base = w.tok, w.base
    return {
        "new": lambda: BasicTokenizer(2),
        "new-overflow": lambda: BasicTokenizer(-1),
        "new-type": lambda: BasicTokenizer("x"),
        "train": lambda: BasicTokenizer().train(w.text, 280),
        "train-parallel": lambda: BasicTokenizer(2).train(w.text, 270),
        "train-panic": lambda: BasicTokenizer().train("ab", 10),
        "train-hook-fails": lambda: tok.train("ab", RaisingIndex()),
        "train-interrupted": lambda: w.interrupting(lambda: BasicTokenizer().train(w.long_text,
                                                                                     400)),
        "encode": lambda: tok.encode(w.text),
        "encode-surrogate": lambda: tok.encode("a\ud800"),
        "encode-interrupted": lambda: w.interrupting(lambda: tok.encode(w.long_text)),
        "decode": lambda: tok.decode([256, 257, 104, 105]),
        "decode-unknown": lambda: tok.decode([104, 10**6]),
        "decode-not-a-sequence": lambda: tok.decode({1, 2}),
        "decode-str": lambda: tok.decode("hi"),
        "decode-reentrant": lambda: tok.decode(ReenteringIds(tok)),
        "load": lambda: BasicTokenizer().load(w.model),
        "load-missing": lambda: BasicTokenizer().load(os.path.join(base, "missing")),
        "load-faulty": lambda: BasicTokenizer().load(w.bad_model),
        "save": lambda: tok.save(os.path.join(base, "s.model"), os.path.join(base, "s.vocab")),
        "save-model-directory": lambda: tok.save_model(base),
        "save-vocab": lambda: tok.save_vocab(os.path.join(base, "v.vocab")),
        "save-vocab-nul": lambda: tok.save_vocab("bad\0name"),
        "build-vocab": lambda: tok.build_vocab(),
    }


def run(operation, times):
    for _ in range(times):
        try:
            operation()
        except BaseException as error:  # noqa: B036 - PanicException is one of the outcomes
            if isinstance(error, (KeyboardInterrupt, SystemExit)):
                raise


def measure(operation, calls):
    """Runs `operation` `calls` times after a warm-up; returns the growth of the C heap, of the
    memory tracemalloc sees, and the resident set before and after, in bytes."""
    run(operation, 200)
    gc.collect()
    tracemalloc.start()
    try:
        run(operation, 100)
        gc.collect()
        heap_before = heap_in_use() if heap_in_use else 0
        traced_before = tracemalloc.get_traced_memory()[0]
        resident_before = resident()
        run(operation, calls)
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - traced_before
        heap = (heap_in_use() - heap_before) if heap_in_use else 0
        return heap, traced, resident_before, resident()
    finally:
        tracemalloc.stop()


@pytest.fixture(scope="module")
def workspace(tmp_path_factory):
    # Files are rewritten thousands of times: on a disk file system each truncation of a
    # written file can cost milliseconds, so use memory when the machine offers it.
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        with tempfile.TemporaryDirectory(dir="/dev/shm") as base:
            yield Workspace(base)
    else:
        yield Workspace(str(tmp_path_factory.mktemp("memory")))


class _Names:
    """Stands in for a workspace, to list the operations at collection time."""
    tok = base = text = model = bad_model = long_text = None

    def interrupting(self, call):
        return call


NAMES = list(operations(_Names()))


@pytest.mark.parametrize("name", NAMES)
def test_repeated_calls_leave_nothing_behind(workspace, name, capfd):
    heap, traced, _, _ = measure(operations(workspace)[name], QUICK_CALLS)
    capfd.readouterr()  # the fault diagnostics of train-panic
    # A leak of one small object per call would show as ten kilobytes or more.
    assert traced < 8 << 10, f"tracemalloc grew by {traced} bytes"
    assert heap < 12 << 10, f"the C heap grew by {heap} bytes"


@pytest.mark.soak
@pytest.mark.skipif(not SOAK, reason="set PAIRLOOM_SOAK=1 to run the 100,000-call soak")
@pytest.mark.parametrize("name", NAMES)
def test_soak_100000_calls(workspace, name, capfd, record_testsuite_property):
    heap, traced, rss_before, rss_after = measure(operations(workspace)[name], SOAK_CALLS)
    capfd.readouterr()
    # The figures go to the JUnit report too.
    for figure, value in (("heap_growth", heap), ("tracemalloc_growth", traced),
                          ("rss_before", rss_before), ("rss_after", rss_after)):
        record_testsuite_property(f"soak_{name}_{figure}_bytes", value)
    with capfd.disabled():
        print(f"\nsoak {name}: {SOAK_CALLS} calls, C heap {heap:+d} B, tracemalloc {traced:+d} B,"
              f" RSS {rss_before >> 10} KiB -> {rss_after >> 10} KiB")
    assert traced < 64 << 10
    assert heap < 64 << 10
    assert rss_after - rss_before < 4 << 20


# ---- Running out of address space, in a child process under a lowered RLIMIT_AS.

TRAINING_CHILD = """
    import ctypes, random
    # Large blocks get mappings of their own and give them back when freed, so the cap below
    # bites on what training maps, not on heap space an earlier training left behind.
    try:
        ctypes.CDLL(None).mallopt(-3, 128 << 10)  # M_MMAP_THRESHOLD
    except AttributeError:
        pass
    rng = random.Random(4)
    words = ["the", "cat", "sat", "é", "€", "\\n"] + ["w%d" % i for i in range(3000)]
    text = " ".join(rng.choice(words) for _ in range(100000))
    num_threads = int(sys.argv[1])
    reference = BasicTokenizer(num_threads)
    reference.train(text, 3000)
    path = sys.argv[2]

    def merges_of(tok):
        tok.save_model(path)
        with open(path) as f:
            return f.read().splitlines()[3:]

    full = merges_of(reference)
    BasicTokenizer(2).train("abab" * 100, 260)  # the pool starts before any cap
    trials = []

    def attempt(extra_kib):
        tok = BasicTokenizer(num_threads)
        cap(extra_kib=extra_kib)
        result = outcome(lambda: tok.train(text, 3000))
        uncap()
        merges = merges_of(tok)
        k = len(merges)
        ids = list(range(256, 256 + k))
        consistent = merges == full[:k] and tok.decode(ids) == reference.decode(ids)
        beyond = outcome(lambda: tok.decode([256 + k]))
        tok.train("abab", 257)
        trials.append([extra_kib, result[0], k, consistent, beyond[0], tok.encode("ab")])
        return result[0], k

    # Bisect the cap (in KiB) between "fails before the first merge" and "succeeds", stopping
    # at the first failure part-way.
    low, high = 0, 256 << 10
    if attempt(high)[0] == "ok":
        for _ in range(24):
            middle = (low + high) // 2
            state, k = attempt(middle)
            if state == "ok":
                high = middle
            elif k == 0:
                low = middle
            else:
                break
    print(json.dumps([len(full), trials]))
"""


@pytest.mark.parametrize("num_threads", [1, 2])
def test_training_under_a_memory_cap_fails_cleanly(tmp_path, num_threads):
    full, trials = run_child(TRAINING_CHILD, num_threads, tmp_path / "m.model")
    assert trials[0][1] == "ok", trials
    for extra_kib, state, k, consistent, beyond, after in trials:
        assert state in ("ok", "MemoryError"), trials
        assert consistent, (extra_kib, state, k)  # whole steps only, vocabulary to match
        assert after == [256]  # usable
        assert k == full if state == "ok" else beyond == "OSError"
    # Training takes nearly all its memory before the first merge, so a cap that lets it start
    # usually lets it finish; when a cap does stop it part-way, the checks above cover it.
    assert any(state == "MemoryError" for _, state, *_ in trials), trials


def test_encoding_and_loading_under_a_memory_cap(tmp_path):
    if not os.path.exists("/dev/zero"):
        pytest.skip("no /dev/zero")
    big, endless, same = run_child("""
        text = "the cat sat on the mat. " * (1 << 18)
        tok = BasicTokenizer()
        tok.train(text[:20000], 400)
        expected = tok.encode(text[:5000])
        tok.save_model(sys.argv[1])
        longer = text * 4  # 24 MiB, made before the cap: only the engine may run out
        cap(16)
        big = outcome(lambda: tok.encode(longer))
        endless = outcome(lambda: tok.load("/dev/zero"))  # one line, longer than any memory
        uncap()
        tok.save_model(sys.argv[2])
        with open(sys.argv[1]) as before, open(sys.argv[2]) as after:
            same = tok.encode(text[:5000]) == expected and before.read() == after.read()
        print(json.dumps([big, endless, same]))
        """, tmp_path / "before.model", tmp_path / "after.model")
    assert big[0] == "MemoryError"
    # No first line longer than the version line is valid: it is refused without reading on.
    assert endless == ["OSError", "invalid version"]
    assert same  # nothing of the endless file was taken, and the tokenizer still works


def test_load_running_out_of_memory_part_way_keeps_what_was_read(tmp_path):
    path = tmp_path / "long-line.model"
    with open(path, "wb") as f:
        f.write(b"pairloom v1\nnew\n0\n97 98\n98 99\n1")
        for _ in range(64):
            f.write(b"0" * (1 << 20))  # a 64 MiB merge line
        f.write(b" 1\n")
    failure, model, decoded, missing = run_child("""
        tok = BasicTokenizer()
        tok.load(sys.argv[2])  # pattern "old", one merge, and its vocabulary
        cap(16)
        failure = outcome(lambda: tok.load(sys.argv[1]))
        uncap()
        tok.save_model(sys.argv[3])
        with open(sys.argv[3]) as f:
            model = f.read()
        print(json.dumps([failure, model, tok.decode([256]), outcome(lambda: tok.decode([257]))]))
        """, path, _write(tmp_path / "old.model", "pairloom v1\nold\n0\n104 105\n"),
        tmp_path / "after.model")
    assert failure[0] == "MemoryError"
    # As after any failure part-way: the new pattern and the merges before the long line
    # stay, and the vocabulary is the one from before the call.
    assert model == "pairloom v1\nnew\n0\n104 105\n97 98\n98 99\n"
    assert decoded == "hi"
    assert missing == ["OSError", "invalid token ID: 257"]


def _write(path, text):
    path.write_text(text)
    return path


def test_memory_budget_follows_an_address_space_limit_set_before_start(tmp_path):
    """Under `ulimit -v` the budget shrinks with the limit: a decode whose text would fit in the
    address space, but leave too little beside it, is refused before it takes any memory."""
    if "asan" in os.environ.get("LD_PRELOAD", "") or "ASAN_OPTIONS" in os.environ:
        pytest.skip("AddressSanitizer reserves more address space than the limit leaves")
    model = tmp_path / "doubling.model"
    # Merges (97, 97) -> 256, (256, 256) -> 257, ...: token 281 is 64 MiB of "a".
    model.write_text("pairloom v1\n\n0\n97 97\n" + "".join(f"{k} {k}\n" for k in range(256, 281)))
    code = """if True:
        import sys
        from pairloom import BasicTokenizer
        tok = BasicTokenizer()
        tok.load(sys.argv[1])
        assert len(tok.decode([281])) == 64 << 20
        try:
            tok.decode([281] * 17)  # 1.06 GiB of text: more than a quarter of the limit
        except MemoryError:
            print("MemoryError")
        """
    limit = 4 << 30

    def lower_limit():
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))

    done = subprocess.run([sys.executable, "-c", code, str(model)], capture_output=True,
                          text=True, timeout=300, preexec_fn=lower_limit,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.split() == ["MemoryError"]
