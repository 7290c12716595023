"""Counts of the JUnit XML reports (ctest's, pytest's or GoogleTest's) of the test lanes.

    junit_counts.py REPORT         prints "passed failed skipped" for one report
    junit_counts.py summary NOX_REPORT LANE:EXIT:REPORT...
                                   a table of every lane (the engine lanes as arguments, the nox
                                   sessions from nox's --report JSON, their reports beside it as
                                   SESSION.xml), then the closing line "N passed, N failed";
                                   fails when any lane failed

Counts test cases one by one rather than trusting the suite totals, which the two
writers fill in differently (GoogleTest counts a skipped test in "tests" but not in
"skipped" before 1.13, pytest counts collection errors as test cases).
"""

import json
import os
import sys
import xml.etree.ElementTree as ET


def counts(path):
    passed = failed = skipped = 0
    for case in ET.parse(path).iter("testcase"):
        tags = {child.tag for child in case}
        if tags & {"failure", "error"}:
            failed += 1
        elif "skipped" in tags or case.get("result") == "skipped" or case.get("status") == "notrun":
            skipped += 1
        else:
            passed += 1
    return passed, failed, skipped


def lane(name, ok, report):
    """The row of one lane: a lane that failed without a failing test, ran no test, or left
    no readable report (a build that broke) counts one failure; a lane without a report of its
    own (format, wheels) counts one test."""
    try:
        passed, failed, skipped = counts(report) if report else (int(ok), 0, 0)
    except (OSError, ET.ParseError):
        passed, failed, skipped = 0, 1, 0
    if not ok and failed == 0 or passed == 0 and failed == 0:
        failed = 1
    return name, "ok" if ok and failed == 0 else "FAIL", passed, failed, skipped


def summary(nox_report, engine_lanes):
    rows = []
    for spec in engine_lanes:
        name, code, report = spec.split(":", 2)
        rows.append(lane(name, code == "0", report))
    try:
        with open(nox_report, encoding="utf-8") as f:
            sessions = json.load(f)["sessions"]
    except (OSError, ValueError, KeyError):
        sessions = [{"name": "nox", "result": "failed"}]
    folder = os.path.dirname(nox_report)
    for session in sessions:
        report = os.path.join(folder, session["name"] + ".xml")
        if session["result"] == "skipped":
            continue
        rows.append(lane(session["name"], session["result"] == "success",
                         report if os.path.exists(report) else None))
    print(f"\n{'lane':<18} {'status':<6} {'passed':>7} {'failed':>7} {'skipped':>8}")
    for row in rows:
        print(f"{row[0]:<18} {row[1]:<6} {row[2]:>7} {row[3]:>7} {row[4]:>8}")
    passed, failed = sum(row[2] for row in rows), sum(row[3] for row in rows)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not rows else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["summary"]:
        sys.exit(summary(sys.argv[2], sys.argv[3:]))
    try:
        print(*counts(sys.argv[1]))
    except (OSError, ET.ParseError) as error:
        print(f"unreadable report {sys.argv[1]}: {error}", file=sys.stderr)
        sys.exit(1)
