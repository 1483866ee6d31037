#include "summary_reporter.hpp"

#include <iostream>

summary_reporter::summary_reporter() : display(benchmark::CreateDefaultDisplayReporter()) {}

bool summary_reporter::ReportContext(const Context& context) { return display->ReportContext(context); }

void summary_reporter::ReportRuns(const std::vector<Run>& runs)
{
    display->ReportRuns(runs);
    for (const Run& run : runs) {
        if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0)
            continue;
        // CPU time: on a shared machine the wall clock also counts the time
        // other programs held the processor, which says nothing of the loop.
        const double ns_per_iteration = run.cpu_accumulated_time * 1e9 / static_cast<double>(run.iterations);
        const auto values = run.counters.find("values");
        if (values == run.counters.end() || values->second.value <= 0)
            continue;
        if (auto sample = run_sample_named(run.benchmark_name(), ns_per_iteration / values->second.value))
            samples.push_back(*sample);
    }
}

void summary_reporter::Finalize()
{
    display->Finalize();
    const bool console = dynamic_cast<benchmark::ConsoleReporter*>(display.get()) != nullptr;
    std::ostream& out = console ? display->GetOutputStream() : std::cerr;
    print_run_summary(out, summarize_run(samples));
    out.flush();
}
