#!/usr/bin/env python3
"""The summary line of a test run, from what a real CTest run wrote: a small
CTest project in a temporary folder (an entry that passes, a fixture set-up
that fails and an entry that needs it, a missing program, an entry that exits
with its skip code, a script that could not make one of its checks, and
entries that print GoogleTest's output) is run by ctest, and summarize.py
reads its log and result list."""
import os
import subprocess
import sys
import tempfile

SCRIPTS = os.path.join(os.environ.get("VUNK_SRC", os.path.join(os.path.dirname(__file__), "..", "..")), "scripts")

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

PARTLY = """checked the file list
[  SKIPPED ] full_disk: cannot mount a small file system
all checks passed
"""

PROJECT = """cmake_minimum_required(VERSION 3.16)
project(summary_check NONE)
enable_testing()
add_test(NAME passes COMMAND sh -c "echo all checks passed")
add_test(NAME fixture_srv_start COMMAND sh -c "echo no server; exit 1")
set_tests_properties(fixture_srv_start PROPERTIES FIXTURES_SETUP srv)
add_test(NAME needs_srv COMMAND sh -c "echo ran anyway")
set_tests_properties(needs_srv PROPERTIES FIXTURES_REQUIRED srv)
add_test(NAME missing COMMAND "${CMAKE_SOURCE_DIR}/no such program")
add_test(NAME skips COMMAND sh -c "echo checking; echo the assembler is not installed >&2; exit 77")
set_tests_properties(skips PROPERTIES SKIP_RETURN_CODE 77)
add_test(NAME partly COMMAND cat partly.txt WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}")
add_test(NAME test_a COMMAND sh -c "cat a.txt; exit 1" WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}")
add_test(NAME test_c COMMAND sh -c "cat c.txt; exit 1" WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}")
add_test(NAME test_d COMMAND sh -c "cat d.txt; exit 1" WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}")
"""

WANT = [
    "failed   fixture_srv_start: the entry failed",
    "failed   needs_srv: not run: Failed test dependencies: fixture_srv_start",
    "failed   missing: not run: Unable to find executable: {src}/no such program",
    "skipped  skips: the assembler is not installed",
    "skipped  partly full_disk: cannot mount a small file system",
    "skipped  test_a A.Skips: no small file system mounted",
    "failed   test_a B.Fails",
    "failed   test_c C.Second: ended without a verdict (crashed or timed out)",
    "failed   test_d: failed after its cases passed",
]


def main():
    fails = []

    def check(got, want, what):
        if got != want:
            fails.append(what)
            print("FAIL %s:\n  got  %r\n  want %r" % (what, got, want))

    with tempfile.TemporaryDirectory(prefix="summary check ") as tmp:
        src = os.path.join(tmp, "src")
        build = os.path.join(tmp, "build")
        os.makedirs(src)
        for name, text in (("CMakeLists.txt", PROJECT), ("a.txt", GTEST), ("c.txt", CRASHED), ("d.txt", LEAKY),
                           ("partly.txt", PARTLY)):
            with open(os.path.join(src, name), "w") as f:
                f.write(text)
        subprocess.run(["cmake", "-S", src, "-B", build], check=True, stdout=subprocess.DEVNULL)
        results = os.path.join(build, "results.xml")
        ctest = subprocess.run(["ctest", "-j2", "--output-junit", results], cwd=build,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # scripts/test.sh fails the run on ctest's status as well.
        check(ctest.returncode != 0, True, "ctest's exit status")
        log = os.path.join(build, "Testing", "Temporary", "LastTest.log")
        got = subprocess.run([sys.executable, os.path.join(SCRIPTS, "summarize.py"), log, results],
                             capture_output=True, text=True)
        print(got.stdout, end="")
        lines = got.stdout.splitlines()
        check(got.returncode, 1, "the exit status")
        check(lines[-1:], ["5 passed, 6 failed, 3 skipped"], "the last line")
        # CTest runs two at a time: the order of entries is its own.
        check(sorted(lines[:-1]), sorted(w.format(src=src) for w in WANT), "what is named above it")

        # Without the result list a skip code looks like a pass: the run fails.
        got = subprocess.run([sys.executable, os.path.join(SCRIPTS, "summarize.py"), log, results + ".gone"],
                             capture_output=True, text=True)
        check((got.returncode, got.stdout.splitlines()[-1]), (1, "6 passed, 7 failed, 2 skipped"),
              "a missing result list")

        # Nothing ran (a -R that matched nothing): nothing was shown, the run failed.
        subprocess.run(["ctest", "-R", "^none$", "--output-junit", results], cwd=build, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        got = subprocess.run([sys.executable, os.path.join(SCRIPTS, "summarize.py"), log, results],
                             capture_output=True, text=True)
        check((got.returncode, got.stdout), (1, "failed   the run: no test case ran\n0 passed, 1 failed, 0 skipped\n"),
              "an empty run")
    print("%d failed" % len(fails))
    return 1 if fails else 0


if __name__ == "__main__":
    sys.exit(main())
