// Runs the registered benchmarks and then prints, for each pair named
// "<what>/ours" and "<what>/baseline", our rate divided by the baseline's.
#pragma once

namespace qvbench {
int runWithRatios(int argc, char** argv);
}
