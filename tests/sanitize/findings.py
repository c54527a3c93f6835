"""Reads what AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
wrote (one log file per process, ASAN_OPTIONS/UBSAN_OPTIONS log_path) and
turns it into a JUnit report of its own:

- sanitizer errors: any ASan error report or UBSan runtime error, anywhere;
- leaks of the module: a leak record whose allocation stack passes through
  the module (its library or its sources); a Python object the module created
  and lost counts too, since the module's frame is on its stack;
- leaks of the virtual camera, the same way;
- the test run itself finished and wrote its own report (a sanitizer that
  halts the process leaves none);
- LeakSanitizer ran at all.

Leaks whose stacks never enter our code (or that tracemalloc made for its own
records) are the interpreter's and numpy's own
(objects still alive at exit that finalisation does not free); they are
totalled, not failed.

    findings.py --logs DIR --suite-report PYTEST.xml --out FINDINGS.xml \
        --module PATTERN... --vcam PATTERN...
Exit status 1 when any case fails.
"""
import argparse
import os
import re
import sys
import xml.etree.ElementTree as ET

LEAK = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\) allocated from:")
FRAME = re.compile(r"^\s+#\d+ ")
ERROR = re.compile(r"ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer)|runtime error: ")


def leak_records(text):
    """Yields (kind, bytes, objects, stack lines) for every leak record."""
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        match = LEAK.match(lines[i])
        i += 1
        if not match:
            continue
        stack = []
        while i < len(lines) and FRAME.match(lines[i]):
            stack.append(lines[i].strip())
            i += 1
        yield match.group(1), int(match.group(2)), int(match.group(3)), stack


def owner(stack, patterns):
    # tracemalloc keeps a record per traced allocation and loses some of them
    # at exit: the tracer's own bookkeeping, whichever call it was tracing.
    if any("_tracemalloc.c" in frame for frame in stack):
        return "python"
    for name, markers in patterns:
        if any(marker in frame for frame in stack for marker in markers):
            return name
    return "python"


def read_logs(directory):
    for name in sorted(os.listdir(directory)):
        with open(os.path.join(directory, name), errors="replace") as log:
            yield name, log.read()


def suite_outcome(path):
    """None when the test run's own report is fine, else what is wrong with it."""
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError) as error:
        return "the test run left no readable report (%s): a sanitizer halted it?" % error
    suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
    if not suites or sum(int(s.get("tests", 0)) for s in suites) == 0:
        return "the test run's report holds no tests"
    return None


def case(suite, name, failure=None, out=None):
    element = ET.SubElement(suite, "testcase", classname="sanitize.findings", name=name)
    if failure:
        ET.SubElement(element, "failure", message=failure.splitlines()[0]).text = failure
    if out:
        ET.SubElement(element, "system-out").text = out
    return bool(failure)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--logs", required=True)
    parser.add_argument("--suite-report", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--module", nargs="+", required=True)
    parser.add_argument("--vcam", nargs="+", required=True)
    args = parser.parse_args()
    patterns = [("module", args.module), ("vcam", args.vcam)]

    errors = []
    leak_checked = False
    totals = {name: [0, 0] for name in ("module", "vcam", "python")}
    records = {"module": [], "vcam": []}
    for name, text in read_logs(args.logs):
        if ERROR.search(text) or "LeakSanitizer has encountered a fatal error" in text:
            errors.append("%s:\n%s" % (name, text))
        leak_checked = leak_checked or "ERROR: LeakSanitizer: detected memory leaks" in text
        for kind, size, objects, stack in leak_records(text):
            who = owner(stack, patterns)
            totals[who][0] += size
            totals[who][1] += objects
            if who in records:
                records[who].append("%s leak of %d byte(s) in %d object(s) (%s)\n  %s"
                                    % (kind, size, objects, name, "\n  ".join(stack)))

    figures = "\n".join("leaked by %s: %d bytes in %d allocations" % (who, b, n)
                        for who, (b, n) in totals.items())
    print(figures)
    suite = ET.Element("testsuite", name="sanitize.findings")
    failed = [
        case(suite, "no_address_or_undefined_behaviour_errors",
             "\n\n".join(errors) if errors else None),
        case(suite, "no_leak_from_the_module",
             "\n\n".join(records["module"]) or None, figures),
        case(suite, "no_leak_from_the_virtual_camera", "\n\n".join(records["vcam"]) or None),
        case(suite, "test_run_completed", suite_outcome(args.suite_report)),
        # The interpreter always leaves something behind at exit: no leak
        # report at all means LeakSanitizer did not run (under ptrace, say).
        case(suite, "leak_check_ran", None if leak_checked else
             "no LeakSanitizer report in %s: the leak check did not run" % args.logs),
    ]
    suite.set("tests", str(len(failed)))
    suite.set("failures", str(sum(failed)))
    suite.set("errors", "0")
    suite.set("skipped", "0")
    ET.ElementTree(suite).write(args.out, encoding="utf-8", xml_declaration=True)
    for element in suite.iter("failure"):
        print(element.text, file=sys.stderr)
    return 1 if any(failed) else 0


if __name__ == "__main__":
    sys.exit(main())
