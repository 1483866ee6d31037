// Hands every run to the display reporter that --benchmark_format chose,
// and prints the summaries of placement_summary.hpp,
// concurrent_summary.hpp and scale_summary.hpp after the last one: below the console table, or
// on standard error when standard output carries JSON or CSV, which must
// stay machine-readable.
#ifndef VESSA_BENCH_SUMMARY_REPORTER_HPP
#define VESSA_BENCH_SUMMARY_REPORTER_HPP

#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "concurrent_summary.hpp"
#include "placement_summary.hpp"
#include "scale_summary.hpp"

class summary_reporter : public benchmark::BenchmarkReporter {
public:
    summary_reporter();

    bool ReportContext(const Context& context) override;
    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

private:
    void take_sample(const Run& run);

    std::unique_ptr<benchmark::BenchmarkReporter> display;
    std::vector<run_sample> samples;
    std::vector<thread_sample> threaded;
    std::vector<change_sample> changes;
    std::vector<routers_sample> across_routers;
    std::vector<objects_sample> coming_and_going;
};

#endif
