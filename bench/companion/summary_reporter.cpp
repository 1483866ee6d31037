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

namespace {

// The counter of that name, or 0 when the run has none.
double counter_of(const benchmark::BenchmarkReporter::Run& run, const char* counter)
{
    const auto found = run.counters.find(counter);
    return found == run.counters.end() ? 0 : found->second.value;
}

} // namespace

void summary_reporter::take_sample(const Run& run)
{
    const std::string name = run.benchmark_name();
    // Before the threaded runs, whose names theirs would pass for.
    if (const auto objects = objects_run_named(name)) {
        if (objects->cycles) {
            coming_and_going.push_back({*objects, objects_measure::cycles, counter_of(run, "items_per_second")});
        } else {
            coming_and_going.push_back({*objects, objects_measure::connects, counter_of(run, "connects_per_second")});
            coming_and_going.push_back(
                {*objects, objects_measure::disconnects, counter_of(run, "disconnects_per_second")});
        }
        return;
    }
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
    const double ns_per_value = ns_per_iteration / values->second.value;
    if (auto sample = routers_sample_named(name, ns_per_value))
        across_routers.push_back(*sample);
    else if (auto placed = run_sample_named(name, ns_per_value))
        samples.push_back(*placed);
}

void summary_reporter::Finalize()
{
    display->Finalize();
    const bool console = dynamic_cast<benchmark::ConsoleReporter*>(display.get()) != nullptr;
    std::ostream& out = console ? display->GetOutputStream() : std::cerr;
    const run_summary placed = summarize_run(samples);
    print_run_summary(out, placed);
    print_concurrent_summary(out, summarize_concurrent(placed, threaded, changes));
    print_scale_summary(out, summarize_scale(across_routers, coming_and_going));
    out.flush();
}
