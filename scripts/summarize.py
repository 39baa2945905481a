"""Counts the test cases in CTest's log (LastTest.log) and ends with
"N passed, N failed, N skipped".

A test case is one GoogleTest case where an executable ran them, otherwise
one CTest entry (a script that checks the real program). The fixtures' start
and stop steps are not test cases: they count only when they fail. Above the
line, every skipped case is named with the reason it gave, and every failed
one is named.
"""
import re
import sys

CASE_END = re.compile(r"^\[ {2}(FAILED|SKIPPED) +\] (\S+) \(\d+ ms\)$|^\[ {7}OK \] (\S+) \(\d+ ms\)$", re.M)
RUN = re.compile(r"^\[ RUN {6}\] (\S+)$", re.M)


def skip_reason(body):
    """The message GoogleTest printed under '...: Skipped' in one case's output."""
    m = re.search(r": Skipped\n(.*?)(?:\n\n|\n\[|\Z)", body, re.S)
    reason = " ".join(m.group(1).split()) if m else ""
    return reason or "no reason given"


def cases_of(name, entry):
    """(verdict, case name, note) for every case of one CTest entry."""
    ok = "\nTest Passed." in entry
    out = []
    runs = list(RUN.finditer(entry))
    if not runs:
        if not name.startswith("fixture_") or not ok:
            out.append(("passed" if ok else "failed", name, "" if ok else "the entry failed"))
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


def summarize(text):
    counts = {"passed": 0, "failed": 0, "skipped": 0}
    lines = []
    # Each CTest entry starts with "i/n Testing: name" and ends with its verdict.
    parts = re.split(r"^\d+/\d+ Testing: (.+)$", text, flags=re.M)
    for name, entry in zip(parts[1::2], parts[2::2]):
        for verdict, case, note in cases_of(name.strip(), entry):
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
    lines, counts = summarize(text)
    print("\n".join(lines))
    return 1 if counts["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
