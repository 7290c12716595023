"""The test lanes' own judges: scripts/junit_counts.py counts what a suite reported, and
scripts/memcheck.py blames valgrind findings on the module only when a frame runs code of the
module's very file."""

import pathlib
import runpy
import types

import pytest

SCRIPTS = pathlib.Path(__file__).resolve().parent.parent / "scripts"


def script(name):
    path = SCRIPTS / f"{name}.py"
    if not path.exists():
        pytest.skip("scripts/ not shipped here")
    return types.SimpleNamespace(**runpy.run_path(str(path)))


@pytest.fixture(scope="module")
def memcheck():
    return script("memcheck")


PYTEST_REPORT = """<testsuites><testsuite tests="5" failures="1" errors="1" skipped="1">
<testcase name="a"/><testcase name="b"><failure message="x"/></testcase>
<testcase name="c"><error message="collection"/></testcase>
<testcase name="d"><skipped message="no corpora"/></testcase><testcase name="e"/>
</testsuite></testsuites>"""
# GoogleTest before 1.13 counts a skipped test in "tests" only; later ones mark it so.
GTEST_REPORT = """<testsuites tests="4" failures="1"><testsuite name="S" tests="4">
<testcase name="a" status="run" result="completed"/>
<testcase name="b" status="run" result="skipped"><skipped message="x"/></testcase>
<testcase name="c" status="notrun" result="suppressed"/>
<testcase name="d" status="run" result="completed"><failure message="x"/></testcase>
</testsuite></testsuites>"""


@pytest.mark.parametrize("text, expected", [(PYTEST_REPORT, (2, 2, 1)),
                                            (GTEST_REPORT, (1, 1, 2))])
def test_junit_counts_read_each_case(tmp_path, text, expected):
    report = tmp_path / "report.xml"
    report.write_text(text)
    assert script("junit_counts").counts(report) == expected


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


def test_summary_counts_every_lane_and_fails_on_a_broken_one(tmp_path, capsys):
    # ctest's report of an engine lane, a nox session with its report, one without (wheels),
    # and a lane whose build broke before any test ran: that one counts as a failure.
    passing = tmp_path / "ctest-junit.xml"
    passing.write_text('<testsuite><testcase name="a"/><testcase name="b"/></testsuite>')
    (tmp_path / "wheel-3.12.xml").write_text(PYTEST_REPORT)
    nox = tmp_path / "nox.json"
    nox.write_text('{"sessions": [{"name": "wheels", "result": "success"},'
                   ' {"name": "wheel-3.12", "result": "failed"}]}')
    summary = script("junit_counts").summary
    assert summary(str(nox), [f"release:0:{passing}", f"tsan:2:{tmp_path / 'none.xml'}"]) == 1
    rows = capsys.readouterr().out.splitlines()
    assert rows[-1] == "5 passed, 3 failed"
    assert summary(str(nox), [f"release:0:{passing}"]) == 1
    nox.write_text('{"sessions": [{"name": "wheels", "result": "success"}]}')
    assert summary(str(nox), [f"release:0:{passing}"]) == 0
    assert capsys.readouterr().out.splitlines()[-1] == "3 passed, 0 failed"
