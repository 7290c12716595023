"""The test lanes' own judges: scripts/memcheck.py blames valgrind findings on the module only
when a frame runs code of the module's very file."""

import importlib.util
import pathlib

import pytest

SCRIPTS = pathlib.Path(__file__).resolve().parent.parent / "scripts"


@pytest.fixture(scope="module")
def memcheck():
    path = SCRIPTS / "memcheck.py"
    if not path.exists():
        pytest.skip("scripts/ not shipped here")
    spec = importlib.util.spec_from_file_location("memcheck_script", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def error(kind, *objs, leaked=0):
    frames = "".join(f"<frame><ip>0x1</ip><obj>{obj}</obj></frame>" for obj in objs)
    return (f"<error><kind>{kind}</kind><xwhat><text>{kind}</text>"
            f"<leakedbytes>{leaked}</leakedbytes></xwhat><stack>{frames}</stack></error>")


@pytest.mark.parametrize("errors, blamed", [
    # A checkout under a folder named like the module: the interpreter's frames are not ours.
    ([error("UninitCondition", "{root}/build/i386/python3.11-i386",
            "{root}/libpython3.11.so.1.0")], False),
    ([error("Leak_DefinitelyLost", "{root}/libpython3.11.so.1.0", leaked=64)], False),
    # Reachable and possible leaks are the interpreter's business, even through the module.
    ([error("Leak_PossiblyLost", "{module}", "{root}/libpython3.11.so.1.0")], False),
    ([error("InvalidRead", "{root}/libpython3.11.so.1.0", "{module}")], True),
    ([error("Leak_DefinitelyLost", "{module}", leaked=16)], True),
])
def test_findings_are_blamed_on_the_module_file_only(memcheck, tmp_path, errors, blamed):
    root = tmp_path / "x pairloom y"
    (root / "stage").mkdir(parents=True)
    module = root / "stage" / "pairloom.abi3.so"
    module.touch()
    body = "".join(errors).format(root=root, module=module)
    xml = tmp_path / "valgrind.xml"
    xml.write_text(f"<?xml version='1.0'?><valgrindoutput>{body}</valgrindoutput>")
    assert memcheck.report(str(xml), str(module)) == int(blamed)
