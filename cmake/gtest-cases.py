#!/usr/bin/env python3
"""Turns a batch test run into one CTest result per test case.

Usage: gtest-cases.py BUILD_DIR JUNIT OUT_DIR

BUILD_DIR/gtest-xml/ holds the XML report of each test program, run once
with all its cases (CF_TEST_BATCH); JUNIT is CTest's own report of that run
(ctest --output-junit). OUT_DIR gets a CTestTestfile.cmake with one entry
per case that gives that case's result again: passed, failed (its failure
messages printed) or skipped. An entry of the run that is not a test
program (a fixture) keeps its own result. A program that left no report,
or whose run failed while every case in its report passed (a crash at the
end, a time-out), gives a failing entry of its own, so nothing it left
undone counts as passed.
"""
import os
import sys
import xml.etree.ElementTree as ET

SKIPPED = 77


def cmake_quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("$", "\\$") + '"'


def main():
    build, junit, out = (os.path.abspath(a) for a in sys.argv[1:4])
    os.makedirs(out, exist_ok=True)
    entries = []  # (name, text, exit code)

    run = {}
    for case in ET.parse(junit).getroot().iter("testcase"):
        text = "".join(case.itertext())
        run[case.get("name")] = (case.get("status"), text)

    reports = os.path.join(build, "gtest-xml")
    for program, (status, text) in sorted(run.items()):
        report = os.path.join(reports, program + ".xml")
        if not os.path.isfile(report):
            if status == "run":
                entries.append((program, text, 0))
            else:
                entries.append((program + ".NoReport",
                                "%s left no test report (%s):\n%s" % (program, status, text[-4000:]), 1))
            continue
        cases = 0
        failed = 0
        # A program's second run under other conditions (cf_add_gtest_run).
        label = program.split("@")[1] + ":" if "@" in program else ""
        for case in ET.parse(report).getroot().iter("testcase"):
            name = "%s%s.%s" % (label, case.get("classname"), case.get("name"))
            failures = [f.get("message") or f.text or "" for f in case.findall("failure")]
            if failures:
                failed += 1
                entries.append((name, "\n".join(failures), 1))
            elif case.get("result") == "skipped" or case.find("skipped") is not None or case.get("status") == "notrun":
                entries.append((name, "skipped", SKIPPED))
            else:
                entries.append((name, "passed", 0))
            cases += 1
        if status != "run" and failed == 0:
            entries.append((program + ".Run", "%s ended badly (%s) after %d cases:\n%s"
                            % (program, status, cases, text[-4000:]), 1))

    with open(os.path.join(out, "CTestTestfile.cmake"), "w", encoding="utf-8") as testfile:
        for index, (name, text, code) in enumerate(entries):
            message = os.path.join(out, "%d.txt" % index)
            with open(message, "w", encoding="utf-8") as f:
                f.write(text + "\n")
            testfile.write("add_test(%s sh -c %s x %s)\n" % (
                cmake_quote(name), cmake_quote('cat "$1" && exit %d' % code), cmake_quote(message)))
            testfile.write("set_tests_properties(%s PROPERTIES SKIP_RETURN_CODE %d)\n" % (cmake_quote(name), SKIPPED))
    return 0


if __name__ == "__main__":
    sys.exit(main())
