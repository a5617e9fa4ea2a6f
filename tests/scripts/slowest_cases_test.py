#!/usr/bin/env python3
"""scripts/slowest-cases.py against reports written here: order, count, the program's name, and
a report it cannot read. Usage: slowest_cases_test.py <scripts-dir>"""
import json
import pathlib
import subprocess
import sys
import tempfile

script = pathlib.Path(sys.argv[1]) / "slowest-cases.py"
failures = []


def check(what, condition):
    if not condition:
        failures.append(what)


def report(folder, name, suites):
    data = {"testsuites": [{"name": suite, "testsuite": [{"name": case, "time": f"{seconds}s"}
                                                        for case, seconds in cases]}
                           for suite, cases in suites.items()]}
    (folder / name).write_text(json.dumps(data))


def run(folder, *count):
    return subprocess.run([sys.executable, str(script), str(folder), *count],
                          capture_output=True, text=True)


with tempfile.TemporaryDirectory() as tmp:
    good = pathlib.Path(tmp) / "good"
    good.mkdir()
    report(good, "install_e2e_tests.123.json", {"Driver": [("Slow", 40.5), ("Quick", 0.2)]})
    report(good, "sysnat_tests.77.json", {"Sysnat": [("Middle", 7)]})
    done = run(good, "2")
    lines = done.stdout.splitlines()
    check(f"exit status {done.returncode}, stderr {done.stderr!r}", done.returncode == 0)
    check(f"two lines asked for, got {lines}", len(lines) == 2)
    check(f"slowest first, got {lines}",
          len(lines) == 2 and lines[0].split() == ["40.5", "s", "install_e2e_tests", "Driver.Slow"]
          and lines[1].split() == ["7.0", "s", "sysnat_tests", "Sysnat.Middle"])
    every = run(good).stdout.splitlines()
    check(f"all three cases without a count, got {every}", len(every) == 3)

    bad = pathlib.Path(tmp) / "bad"
    bad.mkdir()
    report(bad, "hivenat_tests.5.json", {"Hivenat": [("Open", 3)]})
    (bad / "splash_window_tests.9.json").write_text('{"testsuites": [')
    done = run(bad)
    check(f"a report cut short fails the summary, status {done.returncode}", done.returncode == 1)
    check(f"the unreadable report is named, stderr {done.stderr!r}",
          "splash_window_tests.9.json" in done.stderr)
    check(f"the readable report still listed, got {done.stdout!r}", "Hivenat.Open" in done.stdout)

for failure in failures:
    print("FAIL:", failure)
print("slowest_cases:", "failed" if failures else "passed")
sys.exit(1 if failures else 0)
