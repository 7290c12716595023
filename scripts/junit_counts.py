"""Print "passed failed skipped" for a JUnit XML report (pytest's or GoogleTest's).

Counts test cases one by one rather than trusting the suite totals, which the two
writers fill in differently (GoogleTest counts a skipped test in "tests" but not in
"skipped" before 1.13, pytest counts collection errors as test cases).
"""

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


if __name__ == "__main__":
    try:
        print(*counts(sys.argv[1]))
    except (OSError, ET.ParseError) as error:
        print(f"unreadable report {sys.argv[1]}: {error}", file=sys.stderr)
        sys.exit(1)
