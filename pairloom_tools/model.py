"""Reading a pairloom model file without the extension module.

`Model.load` reads the file exactly as `BasicTokenizer.load` does into a new tokenizer: the same
faults, the same messages, the same tables (a repeated pair keeps its first place and takes the
later id; a repeated special token likewise), and the same id-to-bytes table (a merge whose parts
are not known yet when it is reached gets no token; special tokens are added last and replace
whatever held their id). It is bounded as the class's reading is: the header is checked before
more is read, and a file or a vocabulary beyond the memory budget (`memory_budget`) is refused
with MemoryError before it is built.
"""

from __future__ import annotations

import codecs
import contextlib
import hashlib
import os
import re
import struct
from collections.abc import Iterable, Iterator
from pathlib import Path

from .files import ToolError

VERSION = "pairloom v1"

#: Largest token id the module can hold (its ids are as wide as the platform's size type).
TOKEN_ID_MAX = 2 ** (8 * struct.calcsize("P")) - 1

# The characters with the Unicode White_Space property: the separators of a file's fields.
# Python's str.split() would also split at U+001C..U+001F, which are not separators here.
_WHITESPACE = "\t\n\v\f\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000"
_FIELD = re.compile(f"[^{_WHITESPACE}]+")


class ModelError(ValueError):
    """The model file's content is not a valid model; the message says what is wrong."""


def memory_budget() -> int:
    """How much memory one piece of work may take, as the module reckons it: a quarter of the
    smallest of the installed memory, the cgroup's limit and the soft address-space and data
    limits, and never more than a quarter of the address space."""
    import resource

    limits = [os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")]
    for kind in (resource.RLIMIT_AS, resource.RLIMIT_DATA):
        soft = resource.getrlimit(kind)[0]
        if soft != resource.RLIM_INFINITY:
            limits.append(soft)
    limits.append(_cgroup_limit())
    known = [limit for limit in limits if limit > 0]
    smallest = min(known) if known else 1 << 32
    return int(min(smallest // 4, (2 ** (8 * struct.calcsize("P")) - 1) // 4))


def _cgroup_limit() -> int:
    """The smallest memory limit of the process's cgroup and its parents (v2 memory.max, v1
    memory.limit_in_bytes, at their usual mount points); 0 for none."""
    limits = []
    with contextlib.suppress(OSError):
        with open("/proc/self/cgroup", encoding="utf-8") as file:
            lines = file.read().splitlines()
        for line in lines:
            _, controllers, group = line.split(":", 2)
            if controllers == "" and line.startswith("0:"):
                top, name = "/sys/fs/cgroup", "memory.max"
            elif "memory" in controllers.split(","):
                top, name = "/sys/fs/cgroup/memory", "memory.limit_in_bytes"
            else:
                continue
            while True:
                with contextlib.suppress(OSError, ValueError):
                    with open(f"{top}{group.rstrip('/')}/{name}", encoding="ascii") as limit:
                        limits.append(int(limit.read()))  # "max": none
                if group in ("", "/"):
                    break
                group = os.path.dirname(group.rstrip("/"))
    return min(limits, default=0)


#: Bytes of Python objects the tables of a model take per byte of its file, at most: a merge
#: line of a few bytes becomes a pair, an id and an entry in two dicts.
OBJECT_BYTES_PER_FILE_BYTE = 32


def read_model_bytes(path: str | Path) -> bytes:
    """The bytes of a model file, read as the class reads it: the header first, so that a file
    that is no model (a device, a large text) is refused after a few bytes; a file too large
    for its tables to fit in the memory budget raises MemoryError before it is read whole.
    Content faults raise `ModelError`, reading faults `OSError`."""
    with open(path, "rb") as file:
        head = file.read(len(VERSION) + 2)
        _check_header(head)
        limit = memory_budget() // OBJECT_BYTES_PER_FILE_BYTE
        rest = file.read(limit + 1 - len(head))
    if len(head) + len(rest) > limit:
        raise MemoryError(f"a model file larger than {limit} bytes")
    return head + rest


def _check_header(head: bytes) -> None:
    """Refuses a first line that cannot be the header, from its first bytes alone: the class
    stops reading a line once it is longer than the header and a carriage return."""
    if b"\n" in head or len(head) < len(VERSION) + 2:
        return  # the whole first line is here: parsing checks it
    try:
        codecs.getincrementaldecoder("utf-8")().decode(head, final=False)
    except UnicodeDecodeError:
        raise ModelError("stream did not contain valid UTF-8") from None
    raise ModelError("invalid version")


TYPE_CHECKING = False  # typing.TYPE_CHECKING, without importing typing at run time
if TYPE_CHECKING:
    from typing import Protocol

    class _IntArray(Protocol):
        def tolist(self) -> list[int]: ...


def _parse_id(text: str) -> int:
    """A decimal id: an optional plus sign, then digits; the first wrong character decides."""
    if text.isascii() and text.isdigit() and len(text) < 19:
        return int(text)
    if not text:
        raise ModelError("cannot parse integer from empty string")
    value = 0
    for position, char in enumerate(text):
        if not ("0" <= char <= "9") and not (char == "+" and position == 0 and len(text) > 1):
            raise ModelError("invalid digit found in string")
        if char != "+":
            value = value * 10 + ord(char) - 48
            if value > TOKEN_ID_MAX:
                raise ModelError("number too large to fit in target type")
    return value


def _lines(data: bytes) -> Iterator[str]:
    """The file's lines: a line feed ends a line and goes, with a carriage return before it."""
    pieces = data.split(b"\n")
    last = len(pieces) - 1  # the one piece no line feed ends
    if pieces[-1] == b"":
        pieces.pop()  # a final line feed does not start an empty line
    for index, piece in enumerate(pieces):
        if index < last and piece.endswith(b"\r"):
            piece = piece[:-1]
        try:
            yield piece.decode("utf-8")
        except UnicodeDecodeError:
            raise ModelError("stream did not contain valid UTF-8") from None


class Model:
    """A model's tables as a freshly constructed `BasicTokenizer` holds them after `load`."""

    def __init__(self) -> None:
        #: The merged pairs in file order, each with the id of the token it makes.
        self.merges: dict[tuple[int, int], int] = {}
        #: Special tokens' texts in file order, each with its id.
        self.special_tokens: dict[str, int] = {}
        #: The pattern line, kept as text; nothing splits by it.
        self.pattern = ""
        #: Token id to the token's bytes.
        self.vocab: dict[int, bytes] = {}
        #: The bytes of the file it was read from, and their SHA-256 in hexadecimal digits.
        self.data = b""
        self.sha256 = ""

    def __repr__(self) -> str:
        return (f"Model({len(self.merges)} merges, {len(self.special_tokens)} special tokens,"
                f" sha256={self.sha256[:12] or None})")

    @classmethod
    def load(cls, path: str | Path) -> Model:
        """Read a model file. Raises `OSError` when it cannot be read, `ModelError` on a fault
        in its content (the message is the one `BasicTokenizer.load` gives)."""
        data = read_model_bytes(path)
        model = cls.parse(data)
        model.data = data
        model.sha256 = hashlib.sha256(data).hexdigest()
        return model

    @classmethod
    def read(cls, path: str | Path) -> Model:
        """`load` for the command line: a fault in reading or in the content raises `ToolError`
        with a message that names the file."""
        try:
            return cls.load(path)
        except OSError as error:
            raise ToolError(f"cannot read model {path}: {error.strerror or error}") from None
        except ModelError as error:
            raise ToolError(f"{path}: not a pairloom model: {error}") from None
        except MemoryError as error:
            raise ToolError(f"cannot read model {path}: too large for the memory budget"
                            f" ({error or 'its tokens'})") from None

    @contextlib.contextmanager
    def file(self) -> Iterator[str]:
        """A path to the bytes this model was read from, for the module to load the very model
        this object holds, whatever has become of its file since. The bytes are in memory
        (a memfd), so nothing is left behind."""
        fd = os.memfd_create("pairloom-model", os.MFD_CLOEXEC)
        try:
            with open(fd, "wb", closefd=False) as file:
                file.write(self.data)
            yield f"/proc/self/fd/{fd}"
        finally:
            os.close(fd)

    @classmethod
    def parse(cls, data: bytes) -> Model:
        """The model held by a model file's bytes."""
        model = cls()
        lines = _lines(data)
        header = next(lines, None)
        if header is None:
            raise ModelError("missing version")
        if header != VERSION:
            raise ModelError("invalid version")
        pattern = next(lines, None)
        if pattern is None:
            raise ModelError("missing pattern")
        model.pattern = pattern
        count_line = next(lines, None)
        if count_line is None:
            raise ModelError("missing number of special tokens")
        for _ in range(_parse_id(count_line)):
            line = next(lines, None)
            if line is None:
                raise ModelError("not enough special tokens")
            fields = _FIELD.findall(line)
            if len(fields) != 2:
                raise ModelError("invalid special token entry")
            model.special_tokens[fields[0]] = _parse_id(fields[1])
        for k, line in enumerate(lines):
            fields = line.split(" ")  # two numbers and a space, as written; else the long way
            if not (len(fields) == 2 and line.isascii() and fields[0].isdigit()
                    and fields[1].isdigit()):
                fields = _FIELD.findall(line)
                if len(fields) != 2:
                    raise ModelError("invalid merge entry")
            left = _parse_id(fields[0])
            model.merges[(left, _parse_id(fields[1]))] = 256 + k
        model._build_vocab()
        return model

    def _build_vocab(self) -> None:
        self._check_vocab_size()
        vocab = {b: bytes([b]) for b in range(256)}
        for (left, right), merged in self.merges.items():
            if left in vocab and right in vocab:
                vocab[merged] = vocab[left] + vocab[right]
        for text, token in self.special_tokens.items():
            vocab[token] = text.encode("utf-8")
        self.vocab = vocab

    def _check_vocab_size(self) -> None:
        """Raises MemoryError, as the class's loading does, when the tokens' bytes would not
        fit in the memory budget (each merge can double the longest token)."""
        budget = memory_budget()
        sizes = dict.fromkeys(range(256), 1)
        for (left, right), merged in self.merges.items():
            if left in sizes and right in sizes:
                if sizes[left] + sizes[right] > budget:
                    raise MemoryError("a token longer than the memory budget")
                sizes[merged] = sizes[left] + sizes[right]
        for text, token in self.special_tokens.items():
            sizes[token] = len(text.encode("utf-8"))
        if sum(sizes.values()) > budget:
            raise MemoryError("tokens larger than the memory budget")

    @property
    def max_id(self) -> int:
        """The largest id the model can produce or name (bytes, merges, special tokens)."""
        return max(255, *self.merges.values(), *self.special_tokens.values())

    def token_bytes(self, token: int) -> bytes:
        """The bytes of one token. Raises `ValueError` for an id the model does not define."""
        try:
            return self.vocab[token]
        except (KeyError, TypeError):
            raise ValueError(f"invalid token ID: {token}") from None

    def decode_bytes(self, ids: Iterable[int] | _IntArray) -> bytes:
        """The tokens' bytes joined: the exact inverse of encoding, special tokens included.
        Accepts any iterable of ints, numpy arrays included."""
        tokens: list[int] = ids.tolist() if hasattr(ids, "tolist") else list(ids)
        vocab = self.vocab
        try:
            return b"".join([vocab[token] for token in tokens])
        except (KeyError, TypeError):
            for token in tokens:
                self.token_bytes(token)  # raises for the first unknown id
            raise
