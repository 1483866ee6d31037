// A reporter for the programs that compare routers side by side in rounds
// (tracking_bench, results_bench): it shows every run as the console does,
// keeps each run's ns of CPU time per value by its name without the
// "/repeat:R" part, in the order of the rounds, and hands them, after the
// last run, to the program's summary.
#ifndef VESSA_BENCH_ROUND_FIGURES_HPP
#define VESSA_BENCH_ROUND_FIGURES_HPP

#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

using round_figures = std::map<std::string, std::vector<double>>;

class round_figures_reporter : public benchmark::BenchmarkReporter {
public:
    using summary = std::function<void(std::ostream& out, const round_figures& figures)>;

    explicit round_figures_reporter(summary summarize);

    bool ReportContext(const Context& context) override;
    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

private:
    std::unique_ptr<benchmark::BenchmarkReporter> display;
    summary summarize;
    round_figures figures;
};

// The figures of name, or none.
const std::vector<double>& figures_of(const round_figures& figures, const std::string& name);

#endif
