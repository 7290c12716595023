"""The model file: exact layout, content faults, system failures, partial loads, round trips."""
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest

from conftest import SIZE_MAX
from pairloom import BasicTokenizer

HEAD = b"pairloom v1\n"
#: Characters the reader splits fields at (the Unicode White_Space characters a line can hold).
WHITESPACE = "\t\x0b\x0c\r \x85\xa0\u1680\u2000\u2005\u200a\u2028\u2029\u202f\u205f\u3000"


def write(tmp_path, content, name="model"):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return str(path)


def saved(tok, tmp_path):
    path = str(tmp_path / "saved.model")
    tok.save_model(path)
    with open(path, "rb") as f:
        return f.read()


def loaded(tmp_path, content, tok=None):
    tok = tok or BasicTokenizer()
    tok.load(write(tmp_path, content))
    return tok


# ---- Layout ----

@pytest.mark.parametrize(
    "content, expected",
    [
        (HEAD + b"\n0\n", HEAD + b"\n0\n"),
        (HEAD + b"\n0\n104 105\n256 33\n", HEAD + b"\n0\n104 105\n256 33\n"),
        # Line endings, signs, leading zeros and field separators come back canonical.
        (b"pairloom v1\r\n[a-z]+ \\d\r\n+2\r\n<a> 007\r\n<b>\t0\r\n1 2\r\n3  +4", HEAD +
         b"[a-z]+ \\d\n2\n<a> 7\n<b> 0\n1 2\n3 4\n"),
        # A repeated special token keeps its first place and takes its last id.
        (HEAD + b"x\n3\n<a> 1\n<b> 2\n<a> 3\n", HEAD + b"x\n2\n<a> 3\n<b> 2\n"),
        # The count decides how many lines are special tokens, whatever they look like.
        (HEAD + b"\n2\n<a> 1\n1 2\n3 4\n", HEAD + b"\n2\n<a> 1\n1 2\n3 4\n"),
        (HEAD + b"\n1\n%d %d\n%d %d\n" % (SIZE_MAX, SIZE_MAX, SIZE_MAX, SIZE_MAX),
         HEAD + b"\n1\n%d %d\n%d %d\n" % (SIZE_MAX, SIZE_MAX, SIZE_MAX, SIZE_MAX)),
        # Only the CR right before the LF goes; a pattern ending in CR cannot survive a reload.
        (HEAD + b"pat\r\r\n0\n", HEAD + b"pat\r\n0\n"),
    ],
    ids=["fresh", "merges", "canonical", "repeated-special", "count-decides", "largest-ids",
         "pattern-cr"],
)
def test_layout_after_load_and_save(tmp_path, content, expected):
    assert saved(loaded(tmp_path, content), tmp_path) == expected


@pytest.mark.parametrize("space", WHITESPACE, ids=[f"U+{ord(c):04X}" for c in WHITESPACE])
def test_unicode_whitespace_separates_fields(tmp_path, space):
    content = f"pairloom v1\n\n1\n{space}<a>{space}{space}5{space}\n7{space}8{space}\n"
    assert saved(loaded(tmp_path, content), tmp_path) == HEAD + b"\n1\n<a> 5\n7 8\n"


@pytest.mark.parametrize("char", ["\x1c", "\x1f", "\u200b", "\u180e", "\ufeff"])
def test_other_characters_stay_inside_a_field(tmp_path, char):
    tok = loaded(tmp_path, f"pairloom v1\n\n1\n<{char}> 300\n")
    assert saved(tok, tmp_path) == f"pairloom v1\n\n1\n<{char}> 300\n".encode()


def test_merge_ids_follow_line_positions(tmp_path):
    tok = loaded(tmp_path, HEAD + b"\n0\n104 105\n33 33\n104 105\n")
    assert tok.decode([257, 258]) == "!!hi"
    with pytest.raises(OSError, match="^invalid token ID: 256$"):
        tok.decode([256])  # the repeated pair took 258 and kept the first place
    assert saved(tok, tmp_path) == HEAD + b"\n0\n104 105\n33 33\n"


def test_loading_adds_to_what_the_tokenizer_holds_and_saving_renumbers(tmp_path):
    tok = loaded(tmp_path, HEAD + b"old\n1\n<a> 300\n104 105\n105 104\n106 106\n")
    tok.load(write(tmp_path, HEAD + b"new\n1\n<b> 301\n33 33\n105 104\n"))
    content = saved(tok, tmp_path)
    assert content == HEAD + b"new\n2\n<a> 300\n<b> 301\n104 105\n105 104\n106 106\n33 33\n"
    # Fresh ids 256.. in table order once the file is read back.
    assert loaded(tmp_path, content).decode([256, 257, 258, 259]) == "hiihjj!!"


# ---- Content faults ----

TOO_LARGE = b"%d" % (SIZE_MAX + 1)

CONTENT_FAULTS = [
    (b"", "missing version"),
    (b"pairloom v1", "missing pattern"),
    (HEAD, "missing pattern"),
    (HEAD + b"pattern\n", "missing number of special tokens"),
    (b"pairloom v1 \n\n0\n", "invalid version"),
    (b"\xef\xbb\xbfpairloom v1\n\n0\n", "invalid version"),
    (b"pairloom v1\r", "invalid version"),
    (b"pairloom v2\n\n0\n", "invalid version"),
    (b"\n", "invalid version"),
    # First lines longer than any version line, refused without reading them to their end.
    (b"pairloom v1\r\r\n\n0\n", "invalid version"),
    (b"x" * 100_000 + b"\n\n0\n", "invalid version"),
    (b"pairloom v1" + "\u20ac".encode() * 30_000, "invalid version"),  # cut inside a character
    (b"pairloom v1\xff" + b"x" * 100_000, "stream did not contain valid UTF-8"),
    (HEAD + b"\n\n", "cannot parse integer from empty string"),
    (HEAD + b"\n0 \n", "invalid digit found in string"),
    (HEAD + b"\n 0\n", "invalid digit found in string"),
    (HEAD + b"\n+\n", "invalid digit found in string"),
    (HEAD + b"\n++1\n", "invalid digit found in string"),
    (HEAD + b"\n-1\n", "invalid digit found in string"),
    (HEAD + b"\n0x1\n", "invalid digit found in string"),
    (HEAD + b"\n" + TOO_LARGE + b"\n", "number too large to fit in target type"),
    (HEAD + b"\n" + TOO_LARGE + b"x\n", "number too large to fit in target type"),
    (HEAD + b"\n2\n<a> 1\n", "not enough special tokens"),
    (HEAD + b"\n1\n<a>\n", "invalid special token entry"),
    (HEAD + b"\n1\n<a> 1 2\n", "invalid special token entry"),
    (HEAD + b"\n1\n\n", "invalid special token entry"),
    (HEAD + b"\n1\n<a> +\n", "invalid digit found in string"),
    (HEAD + b"\n1\n<a> " + TOO_LARGE + b"\n", "number too large to fit in target type"),
    (HEAD + b"\n0\n1 2\n\n", "invalid merge entry"),
    (HEAD + b"\n0\n\n1 2\n", "invalid merge entry"),
    (HEAD + b"\n0\n \t\n", "invalid merge entry"),
    (HEAD + b"\n0\n1\n", "invalid merge entry"),
    (HEAD + b"\n0\n1 2 3\n", "invalid merge entry"),
    (HEAD + b"\n0\n1 -2\n", "invalid digit found in string"),
    (HEAD + b"\n0\nx " + TOO_LARGE + b"\n", "invalid digit found in string"),
    (HEAD + b"\n0\n" + TOO_LARGE + b" x\n", "number too large to fit in target type"),
    (b"\xff\xfe\n", "stream did not contain valid UTF-8"),
    (HEAD + b"\xc3\n0\n", "stream did not contain valid UTF-8"),
    (HEAD + b"\n0\n1 2\n\xed\xa0\x80 1\n", "stream did not contain valid UTF-8"),
    (HEAD + b"\n0\n1 2\n3 4\xc0\xaf", "stream did not contain valid UTF-8"),
]


@pytest.mark.parametrize("content, message", CONTENT_FAULTS)
def test_content_faults(tmp_path, content, message):
    with pytest.raises(OSError) as caught:
        loaded(tmp_path, content)
    assert type(caught.value) is OSError
    assert caught.value.args == (message,)


def test_failure_part_way_keeps_what_was_read_and_the_old_vocabulary(tmp_path):
    tok = loaded(tmp_path, HEAD + b"old\n1\n<a> 300\n104 105\n")
    with pytest.raises(OSError, match="^invalid merge entry$"):
        tok.load(write(tmp_path, HEAD + b"new\n1\n<b> 301\n97 98\n98 99\n98\n120 121\n"))
    assert saved(tok, tmp_path) == HEAD + b"new\n2\n<a> 300\n<b> 301\n104 105\n97 98\n98 99\n"
    assert tok.decode([256, 300]) == "hi<a>"  # not rebuilt: 256 would now be "ab"
    for missing in (257, 301):
        with pytest.raises(OSError, match=f"^invalid token ID: {missing}$"):
            tok.decode([missing])
    tok.build_vocab()
    assert tok.decode([256, 257, 301]) == "abbc<b>"


@pytest.mark.parametrize(
    "content, pattern",
    [(b"pairloom v0\nnew\n", b"old"), (HEAD + b"new\n", b"new"), (HEAD + b"new\n0 \n", b"new")],
)
def test_pattern_is_replaced_as_soon_as_it_is_read(tmp_path, content, pattern):
    tok = loaded(tmp_path, HEAD + b"old\n0\n")
    with pytest.raises(OSError):
        tok.load(write(tmp_path, content))
    assert saved(tok, tmp_path) == HEAD + pattern + b"\n0\n"


# ---- System failures ----

def is_root():
    return hasattr(os, "geteuid") and os.geteuid() == 0


@pytest.mark.parametrize(
    "method, target, error, message",
    [
        ("load", "missing", FileNotFoundError, "No such file or directory (os error 2)"),
        ("load", "dir", IsADirectoryError, "Is a directory (os error 21)"),
        ("load", "file/below", NotADirectoryError, "Not a directory (os error 20)"),
        ("save_model", "missing/x", FileNotFoundError, "No such file or directory (os error 2)"),
        ("save_model", "dir", IsADirectoryError, "Is a directory (os error 21)"),
        ("save_model", "/dev/full", OSError, "No space left on device (os error 28)"),
        ("load", "locked", PermissionError, "Permission denied (os error 13)"),
        ("save_model", "locked", PermissionError, "Permission denied (os error 13)"),
    ],
)
def test_system_failures(tok, tmp_path, method, target, error, message):
    (tmp_path / "dir").mkdir()
    (tmp_path / "file").write_text("")
    locked = tmp_path / "locked"
    locked.write_bytes(HEAD + b"\n0\n")
    locked.chmod(0)
    if target == "locked" and is_root():
        pytest.skip("root ignores file permissions")
    path = target if target.startswith("/") else str(tmp_path / target)
    with pytest.raises(OSError) as caught:
        getattr(tok, method)(path)
    assert type(caught.value) is error
    assert caught.value.args == (message,)
    assert caught.value.errno is None
    assert tok.decode([]) == ""  # usable again


def test_created_files_follow_the_umask(tok, tmp_path):
    old = os.umask(0o027)
    try:
        tok.save_model(str(tmp_path / "m"))
    finally:
        os.umask(old)
    assert (tmp_path / "m").stat().st_mode & 0o777 == 0o640


# ---- Damaged files and long lines ----

def test_every_truncation_fails_cleanly_or_loads(tmp_path):
    content = "pairloom v1\n\\p{L}+ é\n2\n<é> 300\n<b> 301\n104 105\n256 33\n".encode()
    known = {message for _, message in CONTENT_FAULTS}
    for cut in range(len(content) + 1):
        tok = BasicTokenizer()
        try:
            tok.load(write(tmp_path, content[:cut]))
        except OSError as error:
            assert type(error) is OSError and error.args[0] in known, (cut, error)


def test_binary_junk_fails_cleanly(tmp_path):
    rng = random.Random(7)
    for _ in range(50):
        junk = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 3000)))
        with pytest.raises(OSError):
            loaded(tmp_path, HEAD + b"\n0\n" + junk)


def test_lines_of_megabytes(tmp_path):
    pattern = "é" * 3_000_000 + "x"
    content = f"pairloom v1\n{pattern}\n1\n{'s' * 20000} 300\n".encode()
    assert saved(loaded(tmp_path, content), tmp_path) == content
    with pytest.raises(OSError, match="^invalid version$"):
        loaded(tmp_path, b"z" * 5_000_000)


# ---- Round trips ----

def random_model(rng):
    """A model file in the writer's own form: what load then save must reproduce exactly."""
    alphabet = "abc<>|\\[]\x01\x7féß€😀\u0300" + "".join(map(chr, range(0x4E00, 0x4E10)))
    pattern = "".join(rng.choice(alphabet + " \t\x85") for _ in range(rng.randrange(30)))
    specials = {}
    for _ in range(rng.randrange(5)):
        specials["".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 8)))] = rng.choice(
            [rng.randrange(1000), SIZE_MAX])
    merges = []
    for _ in range(rng.randrange(40)):
        pair = (rng.randrange(256 + len(merges)), rng.randrange(256 + len(merges)))
        if pair not in merges:
            merges.append(pair)
    lines = ["pairloom v1", pattern.rstrip("\r"), str(len(specials))]
    lines += [f"{text} {id_}" for text, id_ in specials.items()]
    lines += [f"{left} {right}" for left, right in merges]
    return ("\n".join(lines) + "\n").encode()


def test_random_models_survive_save_and_load(tmp_path):
    rng = random.Random(12345)
    for _ in range(100):
        content = random_model(rng)
        first = loaded(tmp_path, content)
        assert saved(first, tmp_path) == content
        second = loaded(tmp_path, saved(first, tmp_path))
        assert saved(second, tmp_path) == content
        first.save_vocab(str(tmp_path / "v1"))
        second.save_vocab(str(tmp_path / "v2"))
        assert (tmp_path / "v1").read_bytes() == (tmp_path / "v2").read_bytes()


with open(textwrap.__file__, encoding="utf-8") as source:
    TRAIN_TEXT = source.read()

CHILD = """
import json, sys
from pairloom import BasicTokenizer
tok = BasicTokenizer()
tok.load(sys.argv[1])
print(json.dumps([tok.encode(line) for line in json.loads(sys.argv[2])]))
"""


def test_trained_model_encodes_alike_in_another_process(tmp_path):
    tok = BasicTokenizer()
    tok.train(TRAIN_TEXT, 400)
    model = str(tmp_path / "trained.model")
    tok.save(model, str(tmp_path / "trained.vocab"))
    samples = TRAIN_TEXT.splitlines()[:60] + ["unseen text, ünïcödé and 😀", ""]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", CHILD, model, json.dumps(samples)], env=env,
                         capture_output=True, text=True, check=True).stdout
    assert json.loads(out) == [tok.encode(line) for line in samples]
    ids = tok.encode(TRAIN_TEXT[:2000])
    again = loaded(tmp_path, (tmp_path / "trained.model").read_bytes())
    assert again.decode(ids) == tok.decode(ids)


# ---- More system failures: every writer, paths the system refuses, no privileges

FULL = "/dev/full"


@pytest.mark.skipif(not os.path.exists(FULL), reason="no /dev/full")
@pytest.mark.parametrize(
    "method, paths",
    [("save_vocab", [FULL]), ("save", [FULL, None]), ("save", [FULL, "listing"]),
     ("save", ["model", FULL])],
    ids=["save_vocab", "save-model-only", "save-model-first", "save-listing"],
)
def test_a_full_device_fails_every_writer_with_the_systems_message(tmp_path, method, paths):
    tok = BasicTokenizer()
    tok.train("hello world", 270)  # a listing of 270 lines, more than one buffer
    arguments = [p if p in (None, FULL) else str(tmp_path / p) for p in paths]
    with pytest.raises(OSError) as caught:
        getattr(tok, method)(*arguments)
    assert type(caught.value) is OSError
    assert caught.value.args == ("No space left on device (os error 28)",)
    assert caught.value.errno is None and caught.value.filename is None
    if paths == ["model", FULL]:  # the model file was finished before the listing failed
        assert (tmp_path / "model").read_bytes() == saved(tok, tmp_path)
    if paths == [FULL, "listing"]:
        assert not (tmp_path / "listing").exists()
    assert tok.encode("hello") == tok.encode("hello")


@pytest.mark.parametrize(
    "method, target, error, message",
    [
        ("load", "long", OSError, "File name too long (os error 36)"),
        ("save_vocab", "long", OSError, "File name too long (os error 36)"),
        ("load", "loop", OSError, "Too many levels of symbolic links (os error 40)"),
        ("save_model", "loop", OSError, "Too many levels of symbolic links (os error 40)"),
        ("load", "file/", NotADirectoryError, "Not a directory (os error 20)"),
        ("save_vocab", "dir", IsADirectoryError, "Is a directory (os error 21)"),
        ("save_vocab", "missing/x", FileNotFoundError, "No such file or directory (os error 2)"),
        ("load", "", FileNotFoundError, "No such file or directory (os error 2)"),
        ("save_model", "", FileNotFoundError, "No such file or directory (os error 2)"),
    ],
)
def test_paths_the_system_refuses(tmp_path, method, target, error, message):
    (tmp_path / "dir").mkdir()
    (tmp_path / "file").write_bytes(HEAD + b"\n0\n")
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    names = {"long": "x" * 300, "": None}
    path = "" if target == "" else str(tmp_path / names.get(target, target))
    if target == "file/":
        path = str(tmp_path / "file") + "/"
    tok = loaded(tmp_path, HEAD + b"p\n0\n104 105\n")
    with pytest.raises(OSError) as caught:
        getattr(tok, method)(path)
    assert type(caught.value) is error
    assert caught.value.args == (message,)
    assert saved(tok, tmp_path) == HEAD + b"p\n0\n104 105\n"
    assert tok.decode([256]) == "hi"


@pytest.mark.skipif(not os.path.exists(FULL), reason="no /dev/full")
def test_save_with_both_paths_failing_reports_the_model_file():
    tok = BasicTokenizer()
    with pytest.raises(IsADirectoryError):
        tok.save("/", FULL)


UNPRIVILEGED = """
import os, sys, json
from pairloom import BasicTokenizer
if os.geteuid() == 0:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
base = sys.argv[1]
tok = BasicTokenizer()
tok.train("hello world", 270)
results = []
for method, args in [
    ("load", ["locked"]), ("load", ["closed/model"]), ("save_model", ["locked"]),
    ("save_model", ["readonly/new"]), ("save_vocab", ["readonly/new"]),
    ("save", ["readonly/new", None]), ("save", ["model", "readonly/new"]),
    ("save_vocab", ["closed/new"]),
]:
    paths = [a if a is None else os.path.join(base, a) for a in args]
    try:
        getattr(tok, method)(*paths)
        results.append([method, "ok"])
    except OSError as error:
        results.append([method, type(error).__name__, error.args, error.errno])
results.append(tok.encode("hello") == tok.encode("hello"))
print(json.dumps(results))
"""


def test_permission_denied_without_privileges():
    # Root ignores permissions: as root, the calls run in a child that gives up its
    # privileges. The files live in a directory of their own under /tmp that the unprivileged
    # user may enter.
    base = tempfile.mkdtemp(prefix="pairloom-perm-", dir="/tmp")
    try:
        os.chmod(base, 0o777)
        for name, mode in (("locked", 0o000), ("closed", 0o000), ("readonly", 0o555)):
            path = os.path.join(base, name)
            if name == "locked":
                with open(path, "wb") as f:
                    f.write(HEAD + b"\n0\n")
            else:
                os.mkdir(path)
            if name == "closed":
                with open(os.path.join(path, "model"), "wb") as f:
                    f.write(HEAD + b"\n0\n")
            os.chmod(path, mode)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        done = subprocess.run([sys.executable, "-c", UNPRIVILEGED, base], env=env,
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        results = json.loads(done.stdout.splitlines()[-1])
    finally:
        for name in ("closed", "readonly"):
            if os.path.isdir(os.path.join(base, name)):
                os.chmod(os.path.join(base, name), 0o755)
        shutil.rmtree(base, ignore_errors=True)
    denied = ["PermissionError", ["Permission denied (os error 13)"], None]
    assert results[:-1] == [[method, *denied] for method in (
        "load", "load", "save_model", "save_model", "save_vocab", "save", "save", "save_vocab")]
    assert results[-1] is True


# ---- Huge files load in memory bounded by what they hold

PEAK = """
import os, resource, sys, json
from pairloom import BasicTokenizer
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
tok = BasicTokenizer()
tok.build_vocab()
before, peak_before = resident(), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
tok.load(sys.argv[1])
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps([max(0, peak - max(before, peak_before)), resident() - before,
                  tok.encode("ab"), len(tok.decode([97]))]))
"""


def write_chunks(path, head, chunk, count, tail=b""):
    with open(path, "wb") as f:
        f.write(head)
        for _ in range(count):
            f.write(chunk)
        f.write(tail)
    return str(path)


MIB = 1 << 20


@pytest.mark.parametrize(
    "kind, held",
    [("same-merge", 0), ("long-pattern", 32 * MIB), ("long-merge-line", 0)],
)
def test_huge_files_load_in_bounded_memory(tmp_path, kind, held):
    path = tmp_path / "huge.model"
    if kind == "same-merge":  # 32 MiB of one merge, repeated: the table holds one entry
        write_chunks(path, HEAD + b"\n0\n", b"97 98\n" * (MIB // 6), 32)
    elif kind == "long-pattern":  # one line of 32 MiB, kept as the pattern
        write_chunks(path, HEAD, b"p" * MIB, 32, b"\n0\n97 98\n")
    else:  # a valid merge line of 32 MiB: two numbers and whitespace between them
        write_chunks(path, HEAD + b"\n0\n97", b" " * MIB, 32, b"98\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", PEAK, str(path)], env=env,
                          capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stderr
    peak, kept, encoded, decoded = json.loads(done.stdout.splitlines()[-1])
    assert len(encoded) == 1 and decoded == 1  # the merge applies; the vocabulary was built
    # Beyond what the tokenizer keeps, one line at a time (a growing string may hold twice
    # its length for a moment), and a few MiB of tables and buffers.
    assert peak <= 2 * (32 * MIB if kind != "same-merge" else 0) + 16 * MIB, peak
    assert held - MIB <= kept <= held + 8 * MIB, kept
