#include "axis_work.hpp"

#include <cstdint>
#include <random>

std::vector<int> axis_values(int listed, taker pattern)
{
    std::vector<int> values(axis_values_per_pass);
    // The engine's sequence is fixed by the standard, and the mapping onto
    // 0 ... K below is ours: distributions differ between standard libraries.
    std::mt19937 engine(20261209u);
    const std::uint64_t choices = static_cast<std::uint64_t>(listed) + 1;
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = pattern == taker::none ? listed + static_cast<int>(i)
                                           : static_cast<int>((std::uint64_t{engine()} * choices) >> 32);
    }
    return values;
}
