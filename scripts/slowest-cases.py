#!/usr/bin/env python3
"""Prints the slowest test cases of a folder of GoogleTest JSON reports, slowest first:
slowest-cases.py <reports-dir> [count]. The guest lane uses it to show where its time goes
under emulation. A report that cannot be read is named on standard error and counted as a
failure, so that a summary never quietly leaves out a program."""
import json
import pathlib
import sys


def cases_of(report):
    """(seconds, program, suite.case) for every case of one report; the program is the report
    name up to its first dot, as wine-run names them (<program>.<pid>.json)."""
    program = report.name.split(".")[0]
    data = json.loads(report.read_text(errors="replace"))
    for suite in data.get("testsuites", []):
        for case in suite.get("testsuite", []):
            seconds = float(str(case.get("time", "0s")).rstrip("s") or 0)
            yield seconds, program, f"{suite['name']}.{case['name']}"


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: slowest-cases.py <reports-dir> [count]", file=sys.stderr)
        return 2
    folder = pathlib.Path(argv[1])
    count = int(argv[2]) if len(argv) == 3 else 15
    cases, unreadable = [], 0
    for report in sorted(folder.glob("*.json")):
        try:
            cases.extend(cases_of(report))
        except (ValueError, KeyError, TypeError) as error:
            print(f"slowest-cases: cannot read {report}: {error}", file=sys.stderr)
            unreadable += 1
    cases.sort(key=lambda c: (-c[0], c[1], c[2]))
    for seconds, program, name in cases[:count]:
        print(f"  {seconds:7.1f} s  {program}  {name}")
    return 1 if unreadable else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
