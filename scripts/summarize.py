"""Counts the test cases of a CTest run and ends with
"N passed, N failed, N skipped".

    summarize.py LastTest.log RESULTS.xml   (RESULTS from ctest --output-junit)

What each entry printed comes from CTest's log; how it ended comes from
CTest's result list. The log alone cannot tell: it says "Test Passed." also
for an entry that never ran (a failed fixture's dependant, a missing program)
and for one that exited with its SKIP_RETURN_CODE.

A test case is one GoogleTest case where an executable ran them, otherwise
one CTest entry (a script that checks the real program). An entry CTest did
not run is failed. One that exited with its skip code is skipped, the last
line it printed being the reason. A script that could not make one of its
checks prints "[  SKIPPED ] CHECK: REASON" and goes on: that check is a
skipped case of its own. The fixtures' start and stop steps are not test
cases: they count only when they do not pass. Above the line, every skipped
case is named with its reason, and every failed one is named.
"""
import re
import sys
import xml.etree.ElementTree as ET

CASE_END = re.compile(r"^\[ {2}(FAILED|SKIPPED) +\] (\S+) \(\d+ ms\)$|^\[ {7}OK \] (\S+) \(\d+ ms\)$", re.M)
RUN = re.compile(r"^\[ RUN {6}\] (\S+)$", re.M)
CHECK_SKIPPED = re.compile(r"^\[  SKIPPED \] (\S+): (.+)$", re.M)


def skip_reason(body):
    """The message GoogleTest printed under '...: Skipped' in one case's output."""
    m = re.search(r": Skipped\n(.*?)(?:\n\n|\n\[|\Z)", body, re.S)
    reason = " ".join(m.group(1).split()) if m else ""
    return reason or "no reason given"


def output_of(entry):
    """What the entry printed, without CTest's frame around it."""
    m = re.search(r"^Output:\n-+\n(.*?)<end of output>$", entry, re.S | re.M)
    return m.group(1) if m else ""


def last_line(text):
    lines = [l.strip() for l in text.splitlines() if l.strip()]
    return lines[-1] if lines else ""


def read_results(path):
    """{entry: (status, note)} from CTest's JUnit file, status being one of
    passed, failed, skipped; note says why when it is not passed."""
    results = {}
    for case in ET.parse(path).getroot().iter("testcase"):
        status = case.get("status")
        skipped = case.find("skipped")
        said = " ".join((case.findtext("system-out") or "").split())
        if status == "run":
            results[case.get("name")] = ("passed", "")
        elif status == "fail":
            results[case.get("name")] = ("failed", "")
        elif status == "notrun" and skipped is not None and skipped.get("message", "").startswith("SKIP_RETURN_CODE"):
            results[case.get("name")] = ("skipped", "")  # its reason is in the log, unabridged
        elif status == "disabled":
            results[case.get("name")] = ("skipped", "disabled")
        else:
            why = said or (skipped.get("message") if skipped is not None else "") or status
            results[case.get("name")] = ("failed", "not run: " + why)
    return results


def verdict_from_log(entry):
    """How the entry ended by the log alone (when CTest's result list is
    missing): an entry never started has an empty command."""
    if re.search(r'^Command: ""$', entry, re.M):
        return "failed", "not run"
    return ("passed", "") if "\nTest Passed." in entry else ("failed", "")


def cases_of(name, entry, result):
    """(verdict, case name, note) for every case of one CTest entry."""
    status, note = result
    if status == "skipped":
        return [("skipped", name, note or last_line(output_of(entry)) or "exited with its skip code")]
    if note.startswith("not run"):
        return [("failed", name, note)]
    ok = status == "passed"
    out = []
    runs = list(RUN.finditer(entry))
    if not runs:
        if not name.startswith("fixture_") or not ok:
            out.append(("passed" if ok else "failed", name, "" if ok else note or "the entry failed"))
        for check in CHECK_SKIPPED.finditer(output_of(entry)):
            out.append(("skipped", "%s %s" % (name, check.group(1)), check.group(2).strip()))
        return out
    for i, run in enumerate(runs):
        case = run.group(1)
        body = entry[run.end():runs[i + 1].start() if i + 1 < len(runs) else len(entry)]
        end = next((m for m in CASE_END.finditer(body) if case in (m.group(2), m.group(3))), None)
        if end is None:
            out.append(("failed", "%s %s" % (name, case), "ended without a verdict (crashed or timed out)"))
        elif end.group(3):
            out.append(("passed", "%s %s" % (name, case), ""))
        elif end.group(1) == "SKIPPED":
            out.append(("skipped", "%s %s" % (name, case), skip_reason(body[:end.start()])))
        else:
            out.append(("failed", "%s %s" % (name, case), ""))
    if not ok and not any(v == "failed" for v, _, _ in out):
        # Every case passed but the executable did not (its exit, a leak
        # check, the teardown): the entry itself failed.
        out.append(("failed", name, "failed after its cases passed"))
    return out


def summarize(text, results=None):
    """Summary lines and counts; results as read_results gives them, or None
    to go by the log alone."""
    counts = {"passed": 0, "failed": 0, "skipped": 0}
    lines = []
    # Each CTest entry starts with "i/n Testing: name" and ends with its verdict.
    parts = re.split(r"^\d+/\d+ Testing: (.+)$", text, flags=re.M)
    entries = [(name.strip(), entry) for name, entry in zip(parts[1::2], parts[2::2])]
    if results is not None:
        logged = {name for name, _ in entries}
        entries += [(name, "") for name in results if name not in logged]
    for name, entry in entries:
        if results is None:
            result = verdict_from_log(entry)
        else:
            result = results.get(name, ("failed", "not in CTest's result list"))
        for verdict, case, note in cases_of(name, entry, result):
            counts[verdict] += 1
            if verdict != "passed":
                lines.append("%-8s %s%s" % (verdict, case, ": " + note if note else ""))
    lines.append("%d passed, %d failed, %d skipped" % (counts["passed"], counts["failed"], counts["skipped"]))
    return lines, counts


def main():
    try:
        text = open(sys.argv[1], encoding="utf-8", errors="replace").read().replace("\r\n", "\n")
    except (OSError, IndexError) as e:
        print("failed   the CTest log: %s" % e)
        print("0 passed, 1 failed, 0 skipped")
        return 1
    try:
        results, trouble = read_results(sys.argv[2]), ""
    except (OSError, IndexError, ET.ParseError) as e:
        results, trouble = None, "failed   CTest's result list (skips and entries not run look passed): %s" % e
    lines, counts = summarize(text, results)
    if not trouble and not any(counts.values()):
        # A run that tested nothing (a -R that matched nothing, an empty
        # result list) has not shown anything to pass.
        trouble = "failed   the run: no test case ran"
    if trouble:
        # The run cannot be told passed without it.
        counts["failed"] += 1
        lines[-1:-1] = [trouble]
        lines[-1] = "%d passed, %d failed, %d skipped" % (counts["passed"], counts["failed"], counts["skipped"])
    print("\n".join(lines))
    return 1 if counts["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
