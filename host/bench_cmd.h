// `kvhost bench`: how fast a whole patch runs, and what each module costs.
#pragma once

#include <iosfwd>
#include <string>

namespace kvhost {

struct BenchOptions {
    std::string plugin_dir;
    double seconds = 0.0;  // audio seconds per repetition; 0: the patch length, at least 10 s
    int repeat = 3;        // repetitions, each with a fresh patch; the fastest counts
};

// Runs the patch without writing its outputs and prints the realtime factor
// of the whole patch and the nanoseconds per sample of each module. Returns
// the process exit code.
int RunBench(const std::string& patchPath, const BenchOptions& opt, std::ostream& out);

}  // namespace kvhost
