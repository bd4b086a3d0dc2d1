"""Adds up the pytest JUnit reports in a folder into one closing line:
'tests: N passed, N failed, N skipped'."""

import glob
import sys
import xml.etree.ElementTree as ET

passed = failed = skipped = 0
for path in sorted(glob.glob(sys.argv[1] + "/*.xml")):
    for suite in ET.parse(path).getroot().iter("testsuite"):
        total = int(suite.get("tests", 0))
        bad = int(suite.get("failures", 0)) + int(suite.get("errors", 0))
        skip = int(suite.get("skipped", 0))
        passed += total - bad - skip
        failed += bad
        skipped += skip
print(f"tests: {passed} passed, {failed} failed, {skipped} skipped")
