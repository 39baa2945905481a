"""Counts test cases from CTest's log: GoogleTest cases where an executable
printed them, otherwise one case per CTest entry. Prints 'N passed, N failed'."""
import re
import sys

passed = failed = 0
try:
    text = open(sys.argv[1], encoding="utf-8", errors="replace").read()
except OSError:
    print("0 passed, 1 failed")
    sys.exit(1)
# Each CTest entry starts with "i/n Testing: name" and ends with its verdict.
for entry in re.split(r"^\d+/\d+ Testing: ", text, flags=re.M)[1:]:
    ok = "\nTest Passed." in entry
    gp = re.findall(r"^\[  PASSED  \] (\d+) test", entry, re.M)
    gf = re.findall(r"^\[  FAILED  \] (\d+) test", entry, re.M)
    if gp or gf:
        passed += sum(map(int, gp))
        failed += sum(map(int, gf))
        if not ok and not gf:
            failed += 1  # crashed or timed out after its cases reported
    elif ok:
        passed += 1
    else:
        failed += 1
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
