#include "round_figures.hpp"

#include <utility>

round_figures_reporter::round_figures_reporter(summary summarize_figures)
    : display(benchmark::CreateDefaultDisplayReporter()), summarize(std::move(summarize_figures))
{
}

bool round_figures_reporter::ReportContext(const Context& context) { return display->ReportContext(context); }

void round_figures_reporter::ReportRuns(const std::vector<Run>& runs)
{
    display->ReportRuns(runs);
    for (const Run& run : runs) {
        const auto values = run.counters.find("values");
        if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0
            || values == run.counters.end())
            continue;
        const std::string name = run.benchmark_name();
        figures[name.substr(0, name.find("/repeat:"))].push_back(
            run.cpu_accumulated_time * 1e9 / static_cast<double>(run.iterations) / values->second.value);
    }
}

void round_figures_reporter::Finalize()
{
    display->Finalize();
    std::ostream& out = display->GetOutputStream();
    summarize(out, figures);
    out.flush();
}

const std::vector<double>& figures_of(const round_figures& figures, const std::string& name)
{
    static const std::vector<double> none;
    const auto found = figures.find(name);
    return found == figures.end() ? none : found->second;
}
