"""A byte-level byte-pair-encoding (BPE) tokenizer, written in C++ as a native extension.

The module holds one class, `BasicTokenizer`. It learns merges from one text (`train`), turns
text into token ids (`encode`) and ids into printable text (`decode`), and stores its model in
a small line-oriented text file (`save_model`, `save`, `load`) beside a human-readable
vocabulary listing (`save_vocab`, `save`).

The text is never split first: it is treated as one sequence of UTF-8 bytes, so merges may
span spaces, punctuation and line breaks.

Failures, for every method:

- TypeError: the arguments do not match the parameters, or an argument has the wrong type
  (the message then begins with "argument '<name>': ").
- OverflowError: an integer argument (or an element of `ids`) is negative, or too large for
  the platform's size type (2**32 - 1 in a 32-bit process, 2**64 - 1 in a 64-bit one).
- UnicodeEncodeError: a str holding a lone surrogate, which has no UTF-8 form.
- RuntimeError: the object is in use by a call further up the stack (Python code run while
  arguments are converted, or by a signal handler, calling the same object). "Already
  borrowed" when the call would change the object; "Already mutably borrowed" when the object
  is being changed. The call fails at once; it never waits.
- OSError, or the subclass that the system's error names (FileNotFoundError,
  PermissionError, IsADirectoryError, ...): a file could not be opened, read or written. A
  faulty model file, a path holding a NUL character and an unknown token id in `decode`
  raise OSError itself. The exception has exactly one argument, its message; `errno`,
  `strerror` and `filename` are None.
- MemoryError: the system refused memory, or a result would pass the memory budget (a
  quarter of the smallest of the machine's memory, the process's cgroup limit and its
  RLIMIT_AS/RLIMIT_DATA; at most 1 GiB in a 32-bit process).
- KeyboardInterrupt (or whatever a signal handler raises): long calls notice signals within a
  fraction of a second; `train` keeps the merges completed so far.
- pyo3_runtime.PanicException: an internal fault, for example `train` with `vocab_size` below
  256. The class derives from BaseException, not Exception, so `except Exception` does not
  catch it; it cannot be imported (catch BaseException and look at the type if needed).

After any failure the object is usable again. The module has no `__version__`: use
`importlib.metadata.version("pairloom")`.
"""

from collections.abc import Sequence
from typing import Self, SupportsIndex, final

__all__ = ["BasicTokenizer"]

@final
class BasicTokenizer:
    """A byte-level BPE tokenizer: its merges, special tokens, pattern text and vocabulary.

    `num_threads` sets how many chunks `train` cuts the text into to count pairs, and how
    many parts it cuts the rewrites of a merge of 32,768 occurrences or more into, on the
    process-wide worker pool (one worker per available processor, whatever `num_threads`
    says). 0 and 1 run all of it on the calling thread, and so does any step whose text holds
    fewer tokens than `num_threads`. The result of `train` never depends on `num_threads`;
    `encode`, `decode` and the file methods always run on the calling thread.

    A new tokenizer has no merges and an empty vocabulary: `encode` gives one id per UTF-8
    byte, and `decode` fails until `build_vocab`, `train` or `load` has run.

    Train or load into a fresh object. A second `train` or `load` on an object that already
    holds merges does not replace them: it adds its own beside them, numbering them from 256
    again, so two merges can share an id and `decode(encode(text))` no longer gives the text
    back.

    The class cannot be subclassed, takes no instance attributes and cannot be pickled; it
    compares and hashes by identity.

    Raises TypeError or OverflowError when `num_threads` is not a non-negative int within the
    platform's size type (a float is refused; True counts as 1).
    """

    def __new__(cls, num_threads: SupportsIndex = 1) -> Self: ...
    def train(self, text: str, vocab_size: SupportsIndex) -> None:
        """Learn up to `vocab_size` - 256 merges from `text`.

        Starting from the text's UTF-8 bytes, each step gives the most frequent adjacent pair
        of tokens the next id (256, 257, ...) and rewrites the text with it, until
        `vocab_size` - 256 merges are learned or no adjacent pair is left (then it returns
        quietly). When several pairs share the highest count, the smallest pair by (left id,
        right id) wins, so the same text and `vocab_size` always learn the same merges.

        The vocabulary is replaced by the 256 byte tokens plus the learned merges. The merges
        are added to those the object already holds: train a fresh object.

        Raises pyo3_runtime.PanicException "vocab_size must be at least 256" when `vocab_size`
        is below 256 (nothing changed); TypeError, OverflowError or UnicodeEncodeError for a
        bad argument; RuntimeError "Already borrowed" when the object is in use;
        KeyboardInterrupt on a signal and MemoryError when memory runs out, keeping every
        merge completed before.
        """

    def encode(self, text: str) -> list[int]:
        """The token ids of `text`.

        Starts from the text's UTF-8 bytes, one id per byte, and repeatedly merges every
        occurrence of the adjacent pair whose merge was learned earliest (the smallest merge
        id) until no adjacent pair has a merge. When tables combined from several trainings
        or loads give two pairs the same id, the smaller pair by (left id, right id) goes
        first. Special tokens' texts are encoded as ordinary bytes.

        Raises TypeError when `text` is not a str, UnicodeEncodeError for a lone surrogate,
        RuntimeError "Already mutably borrowed" when the object is being changed,
        KeyboardInterrupt on a signal, MemoryError when memory runs out.
        """

    def decode(self, ids: Sequence[SupportsIndex]) -> str:
        """The text of the token ids `ids`, each token rendered printable on its own.

        Decoding renders; it is not the inverse of `encode` in general. Each token's bytes
        are decoded as UTF-8 alone, with one U+FFFD per ill-formed part, so a character split
        between two tokens comes out as replacement characters; control characters come out
        as six-character escapes such as \\u000a. `decode(encode(text)) == text` holds where
        no character is split between tokens and `text` holds no control character.

        `ids` is any sequence of ints except a str: a list, a tuple, a range, bytes (one id
        per byte).

        Raises OSError "invalid token ID: <id>" for the first id without a vocabulary entry
        (no partial text); TypeError when `ids` is a str, not a sequence, or holds a non-int;
        OverflowError for an id that is negative or too large; RuntimeError "Already mutably
        borrowed" when the object is being changed; KeyboardInterrupt on a signal;
        MemoryError when memory runs out.
        """

    def load(self, model_file_path: str) -> None:
        """Read a model file written by `save_model` or `save` and rebuild the vocabulary.

        The file's merges and special tokens are added to the tables the object already holds,
        the merges numbered 256, 257, ... in file order, and its pattern replaces the
        object's: load into a fresh object.

        Raises FileNotFoundError, PermissionError, IsADirectoryError or another OSError when
        the file cannot be opened or read; OSError with a message naming the fault for faulty
        content ("missing version", "invalid merge entry", ...) or a path holding a NUL
        character; TypeError when the path is not a str; RuntimeError "Already borrowed" when
        the object is in use; KeyboardInterrupt on a signal; MemoryError when the file
        describes more than the memory budget. On a content fault the entries read before it
        stay in the tables, while the vocabulary is left as it was.
        """

    def save_model(self, file_path: str) -> None:
        """Write the model file: the header, the pattern, the special tokens and the merges.

        The file is created or truncated. Raises OSError (or the subclass the system's error
        names) when it cannot be opened or written, keeping what reached it; TypeError when
        the path is not a str; RuntimeError "Already mutably borrowed" when the object is
        being changed; KeyboardInterrupt on a signal.
        """

    def save_vocab(self, vocab_file_path: str) -> None:
        """Write the vocabulary listing: one line per token in order of id, for people to read.

        A merged token is listed as "[left][right] -> [token] id", every other token as
        "[token] id", each token rendered as `decode` renders it. Nothing reads the file back.

        Raises OSError (or the subclass the system's error names) when the file cannot be
        opened or written; TypeError when the path is not a str; RuntimeError "Already mutably
        borrowed" when the object is being changed; pyo3_runtime.PanicException when a merge's
        token has a vocabulary entry but one of its parts has none (a model file whose special
        token takes the id of a merge built on undefined ids), after writing the lines before
        it; KeyboardInterrupt on a signal.
        """

    def save(self, model_file_path: str, vocab_file_path: str | None) -> None:
        """Write the model file, then, unless `vocab_file_path` is None, the listing.

        Both arguments are required. Raises as `save_model` and `save_vocab` do; when the
        listing fails, the model file is already complete, and when the model file fails the
        listing's path is left untouched.
        """

    def build_vocab(self) -> None:
        """Rebuild the id-to-bytes table from the byte tokens, the merges and the special tokens.

        `train` and `load` keep the table up to date; call this on a fresh tokenizer to
        decode plain byte ids. Entries that none of these define are kept. Raises
        RuntimeError "Already borrowed" when the object is in use, KeyboardInterrupt on a
        signal.
        """
