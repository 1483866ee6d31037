#include "placement_summary.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <map>
#include <ostream>
#include <utility>

namespace {

const char* const floor_family = "floor_virtual_calls";

bool read_number(const std::string& text, std::int64_t& number)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18)
        return false;
    number = std::stoll(text);
    return true;
}

double median_of_sorted(const std::vector<double>& sorted)
{
    const std::size_t middle = sorted.size() / 2;
    return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

} // namespace

std::optional<placement_sample> placement_sample_named(const std::string& benchmark_name, double ns_per_value)
{
    const std::string marker = "/placement:";
    const std::size_t marker_at = benchmark_name.find(marker);
    if (marker_at == std::string::npos || marker_at == 0)
        return std::nullopt;
    const std::size_t placement_at = marker_at + marker.size();
    const std::size_t size_slash = benchmark_name.find('/', placement_at);
    if (size_slash == std::string::npos)
        return std::nullopt;
    std::int64_t placement = 0;
    std::int64_t size = 0;
    if (!read_number(benchmark_name.substr(placement_at, size_slash - placement_at), placement)
        || !read_number(benchmark_name.substr(size_slash + 1), size))
        return std::nullopt;
    return placement_sample{benchmark_name.substr(0, marker_at), static_cast<unsigned>(placement), size, ns_per_value};
}

std::vector<placement_summary_row> summarize_placements(const std::vector<placement_sample>& samples)
{
    std::vector<std::string> family_order;
    std::map<std::pair<std::int64_t, std::size_t>, std::vector<double>> figures;
    for (const placement_sample& sample : samples) {
        const auto known = std::find(family_order.begin(), family_order.end(), sample.family);
        const std::size_t family_index = static_cast<std::size_t>(known - family_order.begin());
        if (known == family_order.end())
            family_order.push_back(sample.family);
        figures[{sample.size, family_index}].push_back(sample.ns_per_value);
    }

    std::vector<placement_summary_row> rows;
    std::map<std::int64_t, double> floor_medians;
    for (auto& [key, values] : figures) {
        if (values.size() < 2)
            continue;
        std::sort(values.begin(), values.end());
        const std::string& family = family_order[key.second];
        const double median = median_of_sorted(values);
        rows.push_back({family, key.first, values.size(), median, values.front(), values.back(), 0});
        if (family == floor_family)
            floor_medians[key.first] = median;
    }
    for (placement_summary_row& row : rows) {
        const auto floor = floor_medians.find(row.size);
        row.ratio_to_floor
            = floor != floor_medians.end() ? row.median / floor->second : std::numeric_limits<double>::quiet_NaN();
    }
    return rows;
}

void print_placement_summary(std::ostream& out, const std::vector<placement_summary_row>& rows)
{
    if (rows.empty())
        return;
    std::size_t family_width = std::string("family").size();
    for (const placement_summary_row& row : rows)
        family_width = std::max(family_width, row.family.size());

    const std::ios_base::fmtflags flags = out.flags();
    out << "\nPlacement summary: ns per value over code placements; ratio = median / " << floor_family << " median\n"
        << std::left << std::setw(static_cast<int>(family_width)) << "family" << std::right << std::setw(9) << "N"
        << std::setw(12) << "placements" << std::setw(9) << "median" << std::setw(9) << "fastest" << std::setw(9)
        << "slowest" << std::setw(8) << "ratio" << '\n';
    out << std::fixed << std::setprecision(2);
    for (const placement_summary_row& row : rows) {
        out << std::left << std::setw(static_cast<int>(family_width)) << row.family << std::right << std::setw(9)
            << row.size << std::setw(12) << row.placements << std::setw(9) << row.median << std::setw(9) << row.fastest
            << std::setw(9) << row.slowest;
        if (std::isnan(row.ratio_to_floor))
            out << std::setw(8) << "-";
        else
            out << std::setw(8) << std::setprecision(3) << row.ratio_to_floor << std::setprecision(2);
        out << '\n';
    }
    out.flags(flags);
}
