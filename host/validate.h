// `kvhost validate`: stresses deliverables the way a careless or unusual host
// would, and reports one line per check.
//
// Each deliverable is checked in a child process, so a crash, a sanitizer
// report or a hang counts as a failure of that deliverable and the run goes
// on. Every random choice comes from one seed; a failing line names it, and
// `--seed` replays the same run.
//
// The checks: properties and records (magic words, refusals), pin
// descriptions, open and close many times, every sample rate from 8 kHz to
// 384 kHz (44123.45 too) with block sizes 1 to 4096 and calls of mixed size,
// every input static and streaming, dense random status events with special
// values (zero, -0, denormals, huge values, NaN, infinities, out-of-range
// choices), data events, resets and GUI pin changes, several instances at
// different rates, and the same session twice in fresh processes. Around
// every processing call: output buffers pre-filled with a NaN sentinel and
// guarded on both sides, input buffers compared before and after, finite
// output for finite input, and the status contract (sleeping while streaming,
// output changing after a static announcement: warnings).
//
// KV_VALIDATE_TRACE=<file> writes every event, call, announcement and sleep
// request of the child to that file, for finding out what a failing session did.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace kvhost {

struct ValidateOptions {
    uint64_t seed = 0;          // the seed of every random choice
    bool json = false;          // results as one JSON document instead of lines
    bool quick = false;         // fewer blocks per session (for tests)
    int timeout_seconds = 900;  // a deliverable that takes longer fails
};

enum class CheckStatus { Pass, Fail, Warn };

struct CheckResult {
    std::string check;   // what was checked, e.g. "sample rate 44123.45 Hz"
    CheckStatus status = CheckStatus::Pass;
    std::string reason;  // why it failed or warned (empty on pass)
};

struct DeliverableReport {
    std::string path;
    std::string name;                  // module name, when it could be read
    std::vector<CheckResult> checks;
    int64_t calls = 0;    // processing calls made
    int64_t samples = 0;  // samples processed in them
    bool Failed() const;
};

// Checks every deliverable (each in its own child process) and returns the
// reports in the order given.
std::vector<DeliverableReport> ValidateDeliverables(const std::vector<std::string>& paths,
                                                    const ValidateOptions& opt);

// Prints the reports as lines or JSON; returns the process exit code (1 when
// any check failed).
int PrintValidation(const std::vector<DeliverableReport>& reports, const ValidateOptions& opt, std::ostream& out);

// A seed from the clock, for runs without --seed.
uint64_t FreshSeed();

}  // namespace kvhost
