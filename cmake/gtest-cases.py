#!/usr/bin/env python3
"""Turns a batch test run into one CTest result per test case.

Usage: gtest-cases.py BUILD_DIR JUNIT OUT_DIR

BUILD_DIR/gtest-xml/ holds the XML report of each test program, run once
with all its cases; JUNIT is CTest's own report of that run (ctest
--output-junit); BUILD_DIR/gtest-runs.txt names, one a line, the CTest
entries that are test programs (CMake writes it). OUT_DIR gets a
CTestTestfile.cmake with one entry per case that gives that case's result
again: passed, failed (its failure messages printed) or skipped, and
times.txt, each case's seconds and name. Any other entry of the run (a
fixture) keeps its own result. A test program that left no report, whose
filter chose no case, or whose run failed while every case in its report
passed (a crash at the end, a time-out), gives a failing entry of its own,
so nothing it left undone counts as passed.
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
    with open(os.path.join(build, "gtest-runs.txt"), encoding="utf-8") as f:
        programs = set(line.strip() for line in f if line.strip())
    entries = []  # (name, text, exit code)
    times = []  # (seconds, name)

    run = {}
    for case in ET.parse(junit).getroot().iter("testcase"):
        text = "".join(case.itertext())
        run[case.get("name")] = (case.get("status"), text)
    for program in sorted(programs - set(run)):
        entries.append((program + ".NotRun", "%s is a test program that CTest did not run" % program, 1))

    reports = os.path.join(build, "gtest-xml")
    for program, (status, text) in sorted(run.items()):
        report = os.path.join(reports, program + ".xml")
        if program not in programs:
            entries.append((program, text, 0 if status == "run" else 1))
            continue
        if not os.path.isfile(report):
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
            times.append((float(case.get("time") or 0), name))
            cases += 1
        if cases == 0:
            entries.append((program + ".NoCase", "%s ran no case: its filter chose none (%s):\n%s"
                            % (program, status, text[-4000:]), 1))
        elif status != "run" and failed == 0:
            entries.append((program + ".Run", "%s ended badly (%s) after %d cases:\n%s"
                            % (program, status, cases, text[-4000:]), 1))

    with open(os.path.join(out, "times.txt"), "w", encoding="utf-8") as f:
        for seconds, name in sorted(times, reverse=True):
            f.write("%.3f %s\n" % (seconds, name))
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
