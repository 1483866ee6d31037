#include "ratio_interval.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>

namespace {

constexpr std::size_t resamples = 10000;
constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

// The engine's sequence is fixed by the standard, and this mapping onto
// 0 ... count - 1 is ours: distributions differ between standard libraries.
std::size_t drawn_index(std::mt19937& engine, std::size_t count)
{
    return static_cast<std::size_t>((std::uint64_t{engine()} * count) >> 32);
}

std::vector<double> resampled(const std::vector<double>& figures, const std::vector<std::size_t>& indices)
{
    std::vector<double> drawn;
    drawn.reserve(indices.size());
    for (const std::size_t i : indices)
        drawn.push_back(figures[i]);
    return drawn;
}

std::vector<std::size_t> drawn_indices(std::mt19937& engine, std::size_t count)
{
    std::vector<std::size_t> indices(count);
    for (std::size_t& i : indices)
        i = drawn_index(engine, count);
    return indices;
}

std::string fixed(double figure, int decimals)
{
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(decimals);
    text << figure;
    return text.str();
}

} // namespace

double median_of(std::vector<double> figures)
{
    if (figures.empty())
        return not_a_number;
    std::sort(figures.begin(), figures.end());
    const std::size_t middle = figures.size() / 2;
    return figures.size() % 2 == 1 ? figures[middle] : (figures[middle - 1] + figures[middle]) / 2;
}

ratio_estimate median_ratio(const std::vector<double>& numerator, const std::vector<double>& denominator)
{
    ratio_estimate estimate{median_of(numerator) / median_of(denominator), not_a_number, not_a_number};
    if (numerator.size() < 2 || denominator.size() < 2)
        return estimate;
    const bool paired = numerator.size() == denominator.size();
    std::mt19937 engine(20261209u);
    std::vector<double> ratios;
    ratios.reserve(resamples);
    for (std::size_t r = 0; r < resamples; ++r) {
        const std::vector<std::size_t> top = drawn_indices(engine, numerator.size());
        const std::vector<std::size_t> bottom = paired ? top : drawn_indices(engine, denominator.size());
        ratios.push_back(median_of(resampled(numerator, top)) / median_of(resampled(denominator, bottom)));
    }
    std::sort(ratios.begin(), ratios.end());
    estimate.low = ratios[resamples / 40];
    estimate.high = ratios[resamples - 1 - resamples / 40];
    return estimate;
}

ratio_estimate paired_ratio(const by_repeat& numerator, const by_repeat& denominator)
{
    std::vector<double> top;
    std::vector<double> bottom;
    for (const auto& [repeat, figure] : numerator) {
        const auto beside = denominator.find(repeat);
        if (beside != denominator.end()) {
            top.push_back(figure);
            bottom.push_back(beside->second);
        }
    }
    return median_ratio(top, bottom);
}

std::string ratio_words(const ratio_estimate& estimate)
{
    if (std::isnan(estimate.low))
        return "-";
    if (estimate.low <= 1 && estimate.high >= 1)
        return "level";
    if (estimate.high < 1)
        return "faster by " + fixed(100 * (1 - estimate.high), 1) + " to " + fixed(100 * (1 - estimate.low), 1) + " %";
    if (estimate.high < 2)
        return "slower by " + fixed(100 * (estimate.low - 1), 1) + " to " + fixed(100 * (estimate.high - 1), 1) + " %";
    return "slower, " + fixed(estimate.low, 1) + " to " + fixed(estimate.high, 1) + " times";
}

std::string with_interval(const ratio_estimate& estimate)
{
    if (std::isnan(estimate.ratio))
        return "-";
    std::string text = fixed(estimate.ratio, 3);
    if (!std::isnan(estimate.low))
        text += " [" + fixed(estimate.low, 3) + ", " + fixed(estimate.high, 3) + "]";
    return text;
}
