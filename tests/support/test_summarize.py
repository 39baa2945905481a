#!/usr/bin/env python3
"""The summary line of a test run counts test cases, names what was skipped
and why, and counts a fixture only when it fails. The log below is CTest's
LastTest.log layout with GoogleTest's own output in it."""
import os
import sys

sys.path.insert(0, os.path.join(os.environ.get("VUNK_SRC", os.path.join(os.path.dirname(__file__), "..", "..")),
                                "scripts"))
import summarize  # noqa: E402

ENTRY = """{i}/9 Testing: {name}
{i}/9 Test: {name}
Command: "/usr/bin/sh" "x"
Output:
----------------------------------------------------------
{out}<end of output>
Test time =   0.18 sec
----------------------------------------------------------
Test {verdict}.
"{name}" end time: Dec 07 05:12 UTC
----------------------------------------------------------

"""

GTEST = """Running main() from gtest_main.cc
[==========] Running 3 tests from 2 test suites.
[----------] 2 tests from A
[ RUN      ] A.Passes
[       OK ] A.Passes (0 ms)
[ RUN      ] A.Skips
t.cpp:3: Skipped
no small file system
mounted

[  SKIPPED ] A.Skips (0 ms)
[----------] 2 tests from A (0 ms total)

[----------] 1 test from B
[ RUN      ] B.Fails
t.cpp:4: Failure
Expected equality of these values:
  1
  2
[  FAILED  ] B.Fails (0 ms)
[==========] 3 tests from 2 test suites ran. (0 ms total)
[  PASSED  ] 1 test.
[  SKIPPED ] 1 test, listed below:
[  SKIPPED ] A.Skips
[  FAILED  ] 1 test, listed below:
[  FAILED  ] B.Fails
"""

CRASHED = """[ RUN      ] C.First
[       OK ] C.First (3 ms)
[ RUN      ] C.Second
"""

LEAKY = """[ RUN      ] D.Only
[       OK ] D.Only (3 ms)
[  PASSED  ] 1 test.
"""


def log(*entries):
    return "".join(ENTRY.format(i=i + 1, name=n, out=o, verdict=v) for i, (n, o, v) in enumerate(entries))


def main():
    fails = []

    def check(got, want, what):
        if got != want:
            fails.append(what)
            print("FAIL %s:\n  got  %r\n  want %r" % (what, got, want))

    text = log(("fixture_x_start", "", "Passed"), ("test_a", GTEST, "Failed"), ("fixture_x_stop", "", "Passed"),
               ("script_check", "all checks passed\n", "Passed"), ("test_c", CRASHED, "Failed"),
               ("test_d", LEAKY, "Failed"), ("fixture_y_start", "no server\n", "Failed"))
    lines, counts = summarize.summarize(text)
    check(counts, {"passed": 4, "failed": 4, "skipped": 1}, "the counts")
    check(lines[-1], "4 passed, 4 failed, 1 skipped", "the last line")
    check(lines[:-1], ["skipped  test_a A.Skips: no small file system mounted",
                       "failed   test_a B.Fails",
                       "failed   test_c C.Second: ended without a verdict (crashed or timed out)",
                       "failed   test_d: failed after its cases passed",
                       "failed   fixture_y_start: the entry failed"], "what is named above it")
    lines, counts = summarize.summarize("")
    check(lines, ["0 passed, 0 failed, 0 skipped"], "an empty log")
    print("%d failed" % len(fails))
    return 1 if fails else 0


if __name__ == "__main__":
    sys.exit(main())
