// Prints, after the usual table, each figure of a benchmark program as a ratio
// to a baseline measured in the same run, with the target it must meet.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bench {

// One line of the ratio table: `figure` / `baseline` (benchmark names as
// printed). A time may first lose another benchmark's time (`...Less`, a
// fixed cost both share) and then be divided by an item count.
struct Ratio {
    std::string label;
    std::string figure;
    std::string baseline;
    double target;             // the ratio must stay at or below it (0: none)
    double figureItems = 1;    // divide the figure's time by this
    double baselineItems = 1;  // and the baseline's by this
    std::string figureLess = {};
    std::string baselineLess = {};
};

// Keeps the real time (ns per iteration) of every benchmark it reports; of a
// benchmark run several times (repetitions) it keeps the fastest, since
// other work on the machine only ever adds time.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations <= 0) continue;
            const double nanos = run.GetAdjustedRealTime() *
                                 benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
                                 benchmark::GetTimeUnitMultiplier(run.time_unit);
            benchmark::BenchmarkName name = run.run_name;
            name.repetitions.clear();  // known by the name it has without repetitions
            auto [kept, first] = times_.try_emplace(name.str(), nanos);
            if (!first && nanos < kept->second) kept->second = nanos;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    bool Has(const std::string& name) const { return times_.count(name) != 0; }
    double Nanos(const std::string& name) const { return times_.at(name); }

private:
    std::map<std::string, double> times_;
};

// A program's command line with Google Benchmark's random interleaving put
// first: the repetitions of every benchmark then run in one random order
// spread over the whole program, so that a spell of other work on the
// machine slows one repetition of a figure rather than all of them. A flag
// given on the command line still wins.
class InterleavedCommandLine {
public:
    InterleavedCommandLine(int argc, char** argv) : args_(argv, argv + argc) {
        args_.insert(args_.begin() + (argc > 0 ? 1 : 0), flag_);
        count_ = static_cast<int>(args_.size());
        args_.push_back(nullptr);
    }
    InterleavedCommandLine(const InterleavedCommandLine&) = delete;  // args_ points into it
    InterleavedCommandLine& operator=(const InterleavedCommandLine&) = delete;
    int argc() const { return count_; }
    char** argv() { return args_.data(); }

private:
    char flag_[44] = "--benchmark_enable_random_interleaving=true";
    std::vector<char*> args_;
    int count_ = 0;
};

// Figures that are not a plain ratio: printed after the table from the
// recorded times; false when one misses its target.
using ExtraFigures = std::function<bool(const RecordingReporter&)>;

// Runs the benchmarks the command line selects and prints the ratio table;
// the exit status is 0 when every measured ratio meets its target.
inline int RunWithRatios(int argc, char** argv, const std::vector<Ratio>& ratios,
                         const ExtraFigures& extra = nullptr) {
    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\n%-44s %14s %14s %9s %8s\n", "figure", "time (ns)", "baseline (ns)", "ratio",
                "target");
    bool allMet = true;
    for (const Ratio& r : ratios) {
        auto measured = [&](const std::string& name) { return name.empty() || reporter.Has(name); };
        if (!measured(r.figure) || !measured(r.baseline) || !measured(r.figureLess) ||
            !measured(r.baselineLess))
            continue;
        auto time = [&](const std::string& name, const std::string& less, double items) {
            return (reporter.Nanos(name) - (less.empty() ? 0 : reporter.Nanos(less))) / items;
        };
        const double f = time(r.figure, r.figureLess, r.figureItems);
        const double b = time(r.baseline, r.baselineLess, r.baselineItems);
        const double ratio = f / b;
        if (r.target <= 0) {  // shown for comparison only
            std::printf("%-44s %14.1f %14.1f %9.2f %8s\n", r.label.c_str(), f, b, ratio, "-");
            continue;
        }
        const bool met = ratio <= r.target;
        allMet = allMet && met;
        std::printf("%-44s %14.1f %14.1f %9.2f %7s%.1f %s\n", r.label.c_str(), f, b, ratio,
                    "<=", r.target, met ? "ok" : "MISSED");
    }
    if (extra && !extra(reporter)) allMet = false;
    return allMet ? 0 : 1;
}

}  // namespace bench
