"""Forking after the worker pool has started: the child trains on a pool of its own, whether it
was forked from the main thread, from another thread, from a child, through multiprocessing,
or from a signal handler in the middle of a parallel count."""
import multiprocessing
import os
import random
import signal
import threading
import time
import warnings

import pytest

from pairloom import BasicTokenizer
from robust_helpers import run_child

if not hasattr(os, "fork"):
    pytest.skip("no fork on this platform", allow_module_level=True)

TEXT = "the cat sat on the mat; the dog sat on the log. " * 40


def trained_model(text=TEXT, vocab_size=300, num_threads=2):
    tok = BasicTokenizer(num_threads)
    tok.train(text, vocab_size)
    return tok.encode(text)


@pytest.fixture(scope="module")
def expected():
    """What any process must learn, computed after the parent's pool has started."""
    result = trained_model()
    assert result == trained_model(num_threads=1)
    return result


def fork():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a multi-threaded process
        return os.fork()


def wait_for_child(pid, timeout=90):
    """The child's exit code; kills it and fails the test when it hangs."""
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("the forked child hung")
        time.sleep(0.02)


def in_child(work):
    """Forks; the child runs `work()` and exits 0 when it returns True, 1 otherwise (a failure
    included). Returns the child's exit code."""
    pid = fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if work() else 1
        finally:
            os._exit(code)
    return wait_for_child(pid)


@pytest.mark.parametrize("num_threads", [2, 3, 8])
def test_child_of_the_main_thread(expected, num_threads):
    assert in_child(lambda: trained_model(num_threads=num_threads) == expected) == 0


def test_child_forked_from_another_thread(expected):
    codes = []
    thread = threading.Thread(
        target=lambda: codes.append(in_child(lambda: trained_model() == expected)))
    thread.start()
    thread.join(timeout=120)
    assert codes == [0]


def test_child_forked_while_another_thread_waits_to_train(expected):
    # The other thread holds no engine lock while it waits for the interpreter lock, and the
    # fork happens between two of its trainings.
    stop = threading.Event()

    def keep_training():
        while not stop.is_set():
            trained_model(vocab_size=280)

    thread = threading.Thread(target=keep_training)
    thread.start()
    try:
        for _ in range(3):
            assert in_child(lambda: trained_model() == expected) == 0
    finally:
        stop.set()
        thread.join(timeout=120)


def test_nested_forks(expected):
    def child(depth):
        if trained_model() != expected:
            return False
        return depth == 0 or in_child(lambda: child(depth - 1)) == 0

    assert in_child(lambda: child(2)) == 0
    assert trained_model() == expected  # the parent's pool still works


def train_in_worker(vocab_size):
    return trained_model(vocab_size=vocab_size)


def test_multiprocessing_with_the_fork_start_method(expected):
    context = multiprocessing.get_context("fork")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with context.Pool(2) as pool:
            results = pool.map_async(train_in_worker, [300, 280, 300]).get(timeout=120)
    assert results[0] == results[2] == expected
    assert results[1] == trained_model(vocab_size=280)


def test_fork_from_a_signal_handler_during_a_parallel_count(tmp_path):
    # The handler runs while training waits for the pool's workers. In the child those
    # workers do not exist: the training there must fail (a fault), never wait for ever. A
    # fork that lands outside the parallel count simply lets the child finish. The parent's
    # training finishes either way.
    text = random.Random(3).randbytes(1 << 24).decode("latin-1")
    mine, children = os.getpid(), []

    def handler(signum, frame):
        signal.setitimer(signal.ITIMER_REAL, 0)
        pid = fork()
        if pid != 0:
            children.append(pid)

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        try:
            BasicTokenizer(2).train(text, 258)
            outcome = "trained"
        except BaseException as error:  # noqa: B036 - PanicException expected in the child
            outcome = f"{type(error).__name__}: {error}"
        if os.getpid() != mine:
            try:
                signal.setitimer(signal.ITIMER_REAL, 0)
                works = trained_model() == trained_model(num_threads=1)  # a pool of its own
                (tmp_path / f"child-{os.getpid()}").write_text(f"{outcome}\n{works}")
            finally:
                os._exit(0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert outcome == "trained"
    assert children, "the handler never ran"
    for pid in children:
        assert wait_for_child(pid) == 0
        child_outcome, child_pool_works = (tmp_path / f"child-{pid}").read_text().splitlines()
        assert child_outcome in (
            "trained", "PanicException: worker threads lost to a fork during parallel work")
        assert child_pool_works == "True"


def test_child_forked_during_a_one_time_creation_makes_the_object_itself():
    # A fresh process, so that the class decode names in its TypeError is not made yet; the
    # creating thread is held inside the lookup while another thread forks.
    result = run_child(
        """
        import collections.abc, threading, time, types

        parent, real = os.getpid(), collections.abc
        started, release = threading.Event(), threading.Event()

        class HeldAbc(types.ModuleType):
            def __getattr__(self, name):
                if os.getpid() == parent:
                    started.set()
                    release.wait()
                return getattr(real, name)

        sys.modules["collections.abc"] = HeldAbc("collections.abc")
        creator = threading.Thread(target=lambda: outcome(lambda: BasicTokenizer().decode({1})))
        creator.start()
        started.wait()
        pid = os.fork()
        if pid == 0:
            os._exit(0 if outcome(lambda: BasicTokenizer().decode({1}))[0] == "TypeError" else 1)
        deadline = time.monotonic() + 60
        while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
        if done[0] == 0:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        release.set()
        creator.join()
        print(json.dumps("hung" if done[0] == 0 else os.waitstatus_to_exitcode(done[1])))
        """
    )
    assert result == 0
