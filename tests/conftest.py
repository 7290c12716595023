import os
import struct
from pathlib import Path

import pytest

import pairloom

#: Largest value of the module's size type (token ids, num_threads, vocab_size).
SIZE_MAX = 2 ** (8 * struct.calcsize("P")) - 1

#: The shared text corpora: beside the project's folder, or wherever PAIRLOOM_CORPORA points.
CORPORA = Path(os.environ.get("PAIRLOOM_CORPORA")
               or Path(__file__).resolve().parent.parent.parent / "shared" / "corpora")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "soak: long memory soak (100,000 calls per method); runs with PAIRLOOM_SOAK=1")


@pytest.fixture
def tok():
    return pairloom.BasicTokenizer()


@pytest.fixture
def panic_type():
    """The PanicException class, obtained from a fault (it is not importable)."""
    try:
        pairloom.BasicTokenizer().train("", 0)
    except BaseException as error:  # noqa: B036 - the class derives from BaseException
        return type(error)
    raise AssertionError("train with vocab_size 0 did not fault")


@pytest.fixture
def corpora():
    """The corpora folder; skips the test when it is not there."""
    if not CORPORA.is_dir():
        pytest.skip(f"no text corpora at {CORPORA} (set PAIRLOOM_CORPORA to their folder)")
    return CORPORA
