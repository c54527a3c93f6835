"""Adds up the JUnit reports of every test run into one closing line."""
import sys
import xml.etree.ElementTree as ET

totals = {"tests": 0, "failures": 0, "errors": 0, "skipped": 0}
for path in sys.argv[1:]:
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError) as error:
        print("summary: cannot read %s: %s" % (path, error))
        totals["errors"] += 1
        continue
    suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
    for suite in suites:
        for key in totals:
            totals[key] += int(suite.get(key, 0) or 0)
failed = totals["failures"] + totals["errors"]
passed = totals["tests"] - failed - totals["skipped"]
print("camsnap: %d passed, %d failed, %d skipped" % (passed, failed, totals["skipped"]))
sys.exit(1 if failed or passed == 0 else 0)
