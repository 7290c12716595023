"""The module and the BasicTokenizer class as Python sees them."""
import importlib
import inspect
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import weakref

import pytest

import pairloom
from pairloom import BasicTokenizer

METHODS = {
    "build_vocab": "($self)",
    "save_model": "($self, file_path)",
    "save_vocab": "($self, vocab_file_path)",
    "train": "($self, text, vocab_size)",
    "encode": "($self, text)",
    "decode": "($self, ids)",
    "load": "($self, model_file_path)",
    "save": "($self, model_file_path, vocab_file_path)",
}


def test_module_surface():
    assert pairloom.__all__ == ["BasicTokenizer"]
    assert pairloom.__doc__ == ""
    assert pairloom.BasicTokenizer is BasicTokenizer
    assert [name for name in vars(pairloom) if not name.startswith("__")] == ["BasicTokenizer"]


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("pairloom")
    try:
        again = importlib.import_module("pairloom")
        assert again is first
        assert again.BasicTokenizer is BasicTokenizer
        assert again.__all__ == ["BasicTokenizer"]
    finally:
        sys.modules["pairloom"] = first


def test_class_identity_and_docs():
    assert BasicTokenizer.__module__ == "builtins"
    assert BasicTokenizer.__name__ == BasicTokenizer.__qualname__ == "BasicTokenizer"
    assert BasicTokenizer.__doc__ == ""
    assert BasicTokenizer.__text_signature__ == "(num_threads=1)"
    assert str(inspect.signature(BasicTokenizer)) == "(num_threads=1)"
    assert repr(BasicTokenizer()).startswith("<builtins.BasicTokenizer object at 0x")


def test_method_table_order():
    own = [name for name in vars(BasicTokenizer) if not name.startswith("__")]
    assert own == list(METHODS)


@pytest.mark.parametrize("name, signature", METHODS.items())
def test_method_signatures_and_empty_docs(name, signature):
    method = getattr(BasicTokenizer, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None
    parameters = list(inspect.signature(method).parameters)
    assert parameters == signature.strip("()").replace("$", "").split(", ")


@pytest.mark.parametrize(
    "attempt, error",
    [
        (lambda: type("Derived", (BasicTokenizer,), {}), TypeError),
        (lambda: setattr(BasicTokenizer(), "extra", 1), AttributeError),
        (lambda: weakref.ref(BasicTokenizer()), TypeError),
        (lambda: BasicTokenizer().__dict__, AttributeError),
    ],
    ids=["subclass", "instance-attribute", "weakref", "instance-dict"],
)
def test_closed_type(attempt, error):
    with pytest.raises(error):
        attempt()


def test_class_attributes_stay_assignable():
    BasicTokenizer.extra_attribute = 5
    try:
        assert BasicTokenizer().extra_attribute == 5
    finally:
        del BasicTokenizer.extra_attribute


def test_identity_comparison_and_hash():
    a, b = BasicTokenizer(), BasicTokenizer()
    assert a == a and a != b
    assert hash(a) == hash(a)
    assert len({a, b}) == 2


@pytest.mark.parametrize(
    "make",
    [
        lambda: BasicTokenizer(),
        lambda: BasicTokenizer(0),
        lambda: BasicTokenizer(num_threads=4),
        lambda: BasicTokenizer(True),
    ],
    ids=["default", "zero", "keyword", "bool"],
)
def test_construction_builds_no_vocabulary(make):
    tok = make()
    with pytest.raises(OSError, match=r"^invalid token ID: 104$"):
        tok.decode([104])
    tok.build_vocab()
    assert tok.decode([104]) == "h"


def test_build_vocab_refuses_arguments():
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        BasicTokenizer().build_vocab(1)


SUBINTERPRETER_IMPORT = textwrap.dedent(
    """
    import sys, tempfile, os
    import pairloom
    out = os.path.join(tempfile.mkdtemp(), "result")
    code = f'''
    try:
        import pairloom
        result = "imported"
    except ImportError as error:
        result = "ImportError: " + str(error)
    with open({out!r}, "w") as f:
        f.write(result)
    '''
    if sys.version_info >= (3, 13):
        import _interpreters as interpreters
        interpreters.exec(interpreters.create(interpreters.new_config("legacy")), code)
    else:
        import _xxsubinterpreters as interpreters
        kwargs = {"isolated": False} if sys.version_info >= (3, 12) else {}
        interpreters.run_string(interpreters.create(**kwargs), code)
    print(open(out).read())
    """
)


def test_sub_interpreter_import_is_refused():
    try:
        if sys.version_info >= (3, 13):
            import _interpreters  # noqa: F401
        else:
            import _xxsubinterpreters  # noqa: F401
    except ImportError:
        pytest.skip("this interpreter offers no sub-interpreters to test with")
    result = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER_IMPORT], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError: ")
    assert "sub-interpreters" in result.stdout


EMBEDDING_PROGRAM = r"""
#include <Python.h>
int main(void) {
  const char* code =
      "try:\n"
      "    import pairloom\n"
      "    print('imported', pairloom.BasicTokenizer().encode('ab'))\n"
      "except ImportError as error:\n"
      "    print('ImportError:', error)\n";
  for (int round = 0; round < 2; ++round) {
    Py_Initialize();
    if (PyRun_SimpleString(code) != 0) return 1;
    if (Py_FinalizeEx() != 0) return 2;
  }
  return 0;
}
"""


def test_import_after_the_interpreter_restarted_is_refused(tmp_path):
    """An embedding application that finalises the interpreter and starts another one gets
    ImportError for the second import, not a module whose every call fails."""
    config = sysconfig.get_config_var
    compiler = shutil.which(str(config("CC") or "cc").split()[0]) or shutil.which("cc")
    include = sysconfig.get_paths()["include"]
    if compiler is None or not pathlib.Path(include, "Python.h").exists():
        pytest.skip("no C compiler or no Python.h to build an embedding program with")
    source = tmp_path / "embed.c"
    source.write_text(EMBEDDING_PROGRAM)
    program = tmp_path / "embed"
    libdir = config("LIBDIR")
    link = [f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-lpython{config('LDVERSION')}"]
    link += (config("LIBS") or "").split() + (config("SYSLIBS") or "").split()
    built = subprocess.run(
        [compiler, str(source), f"-I{include}", "-o", str(program), *link],
        capture_output=True, text=True,
    )
    if built.returncode != 0:
        pytest.skip(f"cannot link against the interpreter's library: {built.stderr[-300:]}")
    # Byte 4 of an ELF header is its class (32 or 64 bits).
    if program.read_bytes()[4] != pathlib.Path(sys.executable).read_bytes()[4]:
        pytest.skip("the C compiler builds for another word size than this interpreter's")
    env = dict(os.environ, PYTHONHOME=sys.base_prefix,
               PYTHONPATH=str(pathlib.Path(pairloom.__file__).parent))
    result = subprocess.run([str(program)], capture_output=True, text=True, env=env, timeout=120)
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.splitlines()
    assert first == "imported [97, 98]"
    assert second.startswith("ImportError: pairloom cannot be initialised again in this process")
