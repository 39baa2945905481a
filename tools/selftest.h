// The QEMU tool-chain self-test (--selftest): qemu-img, real machines of each
// family through the fleet, the embedded display, the classic Mac disk tools
// and the launch guards, one report line per finding.
#pragma once

#include <functional>
#include <string>

// Runs the whole test and writes the report; 0 all passed, 1 failures, 3 the
// report cannot be written (then nothing else happens).
int run_selftest(const std::wstring& report);

// Keeps window messages and fleet ticks (every 0.5 s) flowing for at most
// seconds, returning as soon as the predicate holds. The predicate is asked
// once more at the deadline, so a condition met during the last sleep still
// counts; an empty predicate makes it a plain wait that returns true.
bool pump(double seconds, const std::function<bool()>& predicate);
