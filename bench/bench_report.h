#pragma once

#include <map>
#include <string>

// Runs the registered benchmarks without their console table and returns each
// one's mean time per iteration in seconds (the manual time for benchmarks
// that use it), keyed by the benchmark's function name.  A benchmark that
// fails is reported on standard error and left out.
std::map<std::string, double> RunBenchmarks(int* argc, char** argv);
