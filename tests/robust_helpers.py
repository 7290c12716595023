"""Helpers shared by the robustness tests: child processes under a memory cap, signal timers,
and the check that a training stopped part-way kept a consistent state."""
import contextlib
import faulthandler
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from pairloom import BasicTokenizer

#: Run first in every child: address-space cap helpers. `cap(extra_mb, extra_kib)` lowers the
#: soft RLIMIT_AS to what the process maps now plus that much; `uncap()` lifts it again.
CHILD_PRELUDE = textwrap.dedent(
    """
    import json, os, resource, sys
    import pairloom
    from pairloom import BasicTokenizer

    def mapped():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError("no VmSize")

    _HARD = resource.getrlimit(resource.RLIMIT_AS)[1]

    def cap(extra_mb=0, extra_kib=0):
        limit = mapped() + (extra_mb << 20) + (extra_kib << 10)
        if _HARD != resource.RLIM_INFINITY:
            limit = min(limit, _HARD)
        resource.setrlimit(resource.RLIMIT_AS, (limit, _HARD))

    def uncap():
        resource.setrlimit(resource.RLIMIT_AS, (_HARD, _HARD))

    def outcome(call):
        try:
            result = call()
        except BaseException as error:  # noqa: B036 - PanicException included
            return [type(error).__name__, str(error)]
        return ["ok", None if result is None else len(result)]
    """
)


def run_child(body, *args, setup="", timeout=180):
    """Runs CHILD_PRELUDE, then `setup`, then `body` (each dedented) in a new interpreter, with
    `args` as its arguments; returns the JSON document it prints last.

    The child must print one JSON document as its last line of output. A child killed by a
    signal (the kernel's out-of-memory killer, a crash) fails the test.
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    code = CHILD_PRELUDE + textwrap.dedent(setup) + textwrap.dedent(body)
    try:
        done = subprocess.run([sys.executable, "-c", code, *map(str, args)], env=env,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"child process still running after {timeout} s")
    assert done.returncode == 0, f"child exited with {done.returncode}:\n{done.stderr[-4000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1])


@contextlib.contextmanager
def alarm_raising(error_factory, after):
    """Arms ITIMER_REAL to deliver SIGALRM `after` seconds from now, with a handler that raises
    `error_factory()`. Yields a list that receives the monotonic time at which the handler ran.

    The timer, not a Python thread, sends the signal: no other Python thread runs while the
    engine holds the interpreter lock.
    """
    ran = []

    def handler(signum, frame):
        ran.append(time.monotonic())
        raise error_factory()

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        with hang_guard():
            signal.setitimer(signal.ITIMER_REAL, after)
            yield ran
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@contextlib.contextmanager
def hang_guard(seconds=120):
    """Ends the whole process, with every thread's traceback, if the block runs longer than
    `seconds`: a call that ignores signals would otherwise hang the test run for ever."""
    faulthandler.dump_traceback_later(seconds, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


def model_lines(tok, tmp_path, name="check.model"):
    path = str(tmp_path / name)
    tok.save_model(path)
    with open(path, encoding="utf-8") as f:
        return f.read().splitlines()


def assert_training_prefix(tok, text, num_threads, tmp_path):
    """`tok` trained on `text` from a fresh state and stopped part-way (a signal, a memory
    failure). Checks that it kept exactly the merges completed before the stop, the first k
    of a complete training's, with a vocabulary that has an entry for each and nothing more,
    and that it can train again. Returns k."""
    lines = model_lines(tok, tmp_path)
    merges = lines[3:]
    k = len(merges)
    reference = BasicTokenizer(num_threads)
    reference.train(text, 256 + k)
    assert model_lines(reference, tmp_path, "reference.model") == lines
    ids = list(range(256, 256 + k))
    assert tok.decode(ids) == reference.decode(ids)
    with pytest.raises(OSError, match=f"^invalid token ID: {256 + k}$"):
        tok.decode([256 + k])
    tok.train("abab", 257)
    assert tok.encode("ab") == [256]
    return k
