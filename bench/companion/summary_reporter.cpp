#include "summary_reporter.hpp"

#include <iostream>

summary_reporter::summary_reporter() : display(benchmark::CreateDefaultDisplayReporter()) {}

bool summary_reporter::ReportContext(const Context& context) { return display->ReportContext(context); }

void summary_reporter::ReportRuns(const std::vector<Run>& runs)
{
    display->ReportRuns(runs);
    for (const Run& run : runs) {
        if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0)
            take_sample(run);
    }
}

void summary_reporter::take_sample(const Run& run)
{
    const std::string name = run.benchmark_name();
    // Threaded runs: the values of all threads per second of wall time.
    const auto items = run.counters.find("items_per_second");
    if (items != run.counters.end()) {
        if (auto sample = thread_sample_named(name, items->second.value)) {
            threaded.push_back(*sample);
            return;
        }
    }
    // Changes are timed alone, by the wall clock around each.
    if (auto change
        = change_sample_named(name, run.real_accumulated_time * 1e9 / static_cast<double>(run.iterations))) {
        changes.push_back(*change);
        return;
    }
    // CPU time: on a shared machine the wall clock also counts the time
    // other programs held the processor, which says nothing of the loop.
    const double ns_per_iteration = run.cpu_accumulated_time * 1e9 / static_cast<double>(run.iterations);
    const auto values = run.counters.find("values");
    if (values == run.counters.end() || values->second.value <= 0)
        return;
    if (auto sample = run_sample_named(name, ns_per_iteration / values->second.value))
        samples.push_back(*sample);
}

void summary_reporter::Finalize()
{
    display->Finalize();
    const bool console = dynamic_cast<benchmark::ConsoleReporter*>(display.get()) != nullptr;
    std::ostream& out = console ? display->GetOutputStream() : std::cerr;
    const run_summary placed = summarize_run(samples);
    print_run_summary(out, placed);
    print_concurrent_summary(out, summarize_concurrent(placed, threaded, changes));
    out.flush();
}
