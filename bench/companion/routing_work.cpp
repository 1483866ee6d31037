#include "routing_work.hpp"

std::vector<int> ascending_values(std::int64_t count)
{
    std::vector<int> values(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<int>(i);
    return values;
}

void report_values_per_iteration(benchmark::State& state, std::int64_t values)
{
    state.SetComplexityN(values);
    state.SetItemsProcessed(state.iterations() * values);
    state.counters["values"] = static_cast<double>(values);
}
