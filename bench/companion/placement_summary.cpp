#include "placement_summary.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>
#include <tuple>
#include <utility>

namespace {

const char* const floor_family = "floor_virtual_calls";
const char* const batch_prefix = "router_batch";
const char* const sigc_family = "sigc_first_taker";
const char* const router_family = "router_distribute";

template <typename Number>
bool read_number(const std::string& text, Number& number)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18)
        return false;
    const long long read = std::stoll(text);
    number = static_cast<Number>(read);
    return static_cast<long long>(number) == read;
}

// Reads "key:value" into the field of that key, which must still be empty.
bool read_part(const std::string& part, run_sample& sample)
{
    const std::size_t colon = part.find(':');
    if (colon == std::string::npos)
        return false;
    const std::string key = part.substr(0, colon);
    const std::string value = part.substr(colon + 1);
    std::optional<unsigned>* const field = key == "placement"      ? &sample.placement
                                           : key == "repeat"       ? &sample.repeat
                                           : key == "destinations" ? &sample.destinations
                                                                   : nullptr;
    if (key == "taker" && sample.taker.empty() && !value.empty()) {
        sample.taker = value;
        return true;
    }
    unsigned number = 0;
    if (!field || *field || !read_number(value, number))
        return false;
    *field = number;
    return true;
}

// The figures of one family and size, or of one point of the axis: per
// label (a placement, a repeat), the figures of its repetitions.
class labelled_figures {
public:
    void add(unsigned label, double figure)
    {
        auto known = std::find_if(by_label.begin(), by_label.end(), [&](const auto& l) { return l.first == label; });
        if (known == by_label.end())
            known = by_label.insert(by_label.end(), {label, {}});
        known->second.push_back(figure);
    }

    figure_spread spread() const
    {
        figure_spread made;
        for (const auto& labelled : by_label)
            made.figures.push_back(median_of(labelled.second));
        return made;
    }

private:
    std::vector<std::pair<unsigned, std::vector<double>>> by_label;
};

struct standard_figures {
    labelled_figures placements;
    labelled_figures repeats;
};

class family_names {
public:
    std::size_t index_of(const std::string& family)
    {
        const auto known = std::find(names.begin(), names.end(), family);
        if (known != names.end())
            return static_cast<std::size_t>(known - names.begin());
        names.push_back(family);
        return names.size() - 1;
    }
    const std::string& operator[](std::size_t index) const { return names[index]; }

private:
    std::vector<std::string> names;
};

const std::vector<double>& compared_figures(const placement_summary_row& row)
{
    return row.placements.figures.empty() ? row.repeats.figures : row.placements.figures;
}

void add_ratios_to_floor(std::vector<placement_summary_row>& rows)
{
    std::map<std::int64_t, const placement_summary_row*> floors;
    for (const placement_summary_row& row : rows) {
        if (row.family == floor_family)
            floors[row.size] = &row;
    }
    for (placement_summary_row& row : rows) {
        const auto floor = floors.find(row.size);
        if (floor != floors.end())
            row.to_floor = median_ratio(compared_figures(row), compared_figures(*floor->second));
    }
}

std::vector<peer_comparison> compare_with_peers(const std::vector<placement_summary_row>& rows)
{
    std::vector<peer_comparison> made;
    for (const placement_summary_row& router : rows) {
        if (router.family.rfind("router_", 0) != 0 || router.placements.figures.empty())
            continue;
        for (const placement_summary_row& peer : rows) {
            if (peer.size == router.size && peer.placements.figures.empty())
                made.push_back({router.family, peer.family, router.size,
                                median_ratio(peer.repeats.figures, router.placements.figures)});
        }
    }
    return made;
}

// point's figures over those of family at the same point, paired by round.
ratio_estimate axis_ratio(const std::vector<axis_comparison>& points, const axis_comparison& point, const char* family)
{
    const auto other = std::find_if(points.begin(), points.end(), [&](const axis_comparison& p) {
        return p.family == family && p.destinations == point.destinations && p.taker == point.taker;
    });
    return other != points.end() ? median_ratio(point.figures.figures, other->figures.figures)
                                 : ratio_estimate{std::nan(""), std::nan(""), std::nan("")};
}

std::vector<axis_comparison>
compare_across_destinations(const std::map<std::tuple<unsigned, std::string, std::size_t>, labelled_figures>& points,
                            const family_names& names)
{
    std::vector<axis_comparison> made;
    for (const auto& [key, figures] : points) {
        const auto& [destinations, taker, family] = key;
        const figure_spread spread = figures.spread();
        if (spread.figures.size() < 2)
            continue;
        made.push_back({names[family], destinations, taker, spread, {}, {}});
    }
    for (axis_comparison& point : made) {
        point.to_router = axis_ratio(made, point, router_family);
        point.to_floor = axis_ratio(made, point, floor_family);
    }
    return made;
}

std::string number(double figure)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(2) << figure;
    return std::isnan(figure) ? "-" : text.str();
}

std::string percent(double fraction, int decimals)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << 100 * fraction << " %";
    return std::isnan(fraction) ? "-" : text.str();
}

std::string placement_verdict(const placement_summary_row& row)
{
    if (row.placements.figures.size() < 2 || row.repeats.figures.size() < 2)
        return "-";
    return row.placement_effect() ? "effect" : "noise";
}

std::size_t family_width(const run_summary& summary)
{
    std::size_t width = std::string("family").size();
    for (const placement_summary_row& row : summary.rows)
        width = std::max(width, row.family.size());
    for (const axis_comparison& point : summary.across_destinations)
        width = std::max(width, point.family.size());
    return width;
}

void print_rows(std::ostream& out, const std::vector<placement_summary_row>& rows, int width)
{
    out << "\nSummary of timed_test1c's work, ns of CPU time per value, over code placements and over repeats of"
           " placement 0 (the noise): spread = slowest / fastest - 1; iqr = interquartile range / median; a placement"
           " effect where the placements' iqr is more than twice the repeats'; ratio = median / "
        << floor_family << " median [95% CI]\n"
        << std::left << std::setw(width) << "family" << std::right << std::setw(9) << "N" << std::setw(11)
        << "placements" << std::setw(9) << "median" << std::setw(9) << "fastest" << std::setw(9) << "slowest"
        << std::setw(8) << "spread" << std::setw(7) << "iqr" << std::setw(9) << "repeats" << std::setw(9) << "median"
        << std::setw(8) << "spread" << std::setw(7) << "iqr" << std::setw(11) << "placement"
        << "  ratio [95% CI]\n";
    for (const placement_summary_row& row : rows) {
        out << std::left << std::setw(width) << row.family << std::right << std::setw(9) << row.size << std::setw(11)
            << row.placements.figures.size() << std::setw(9) << number(row.placements.median()) << std::setw(9)
            << number(row.placements.fastest()) << std::setw(9) << number(row.placements.slowest()) << std::setw(8)
            << percent(row.placements.spread(), 0) << std::setw(7) << percent(row.placements.quartile_spread(), 1)
            << std::setw(9) << row.repeats.figures.size() << std::setw(9) << number(row.repeats.median())
            << std::setw(8) << percent(row.repeats.spread(), 0) << std::setw(7)
            << percent(row.repeats.quartile_spread(), 1) << std::setw(11) << placement_verdict(row) << "  "
            << with_interval(row.to_floor) << "  " << ratio_words(row.to_floor) << '\n';
    }
}

void print_peers(std::ostream& out, const std::vector<peer_comparison>& comparisons, int width)
{
    if (comparisons.empty())
        return;
    out << "\nThe router against the peers on timed_test1c's work: factor = the peer's median over repeats / the"
           " router's over placements [95% CI]\n"
        << std::left << std::setw(width) << "router"
        << "  " << std::setw(width) << "peer" << std::right << std::setw(9) << "N"
        << "  factor [95% CI]\n";
    for (const peer_comparison& c : comparisons)
        out << std::left << std::setw(width) << c.router << "  " << std::setw(width) << c.peer << std::right
            << std::setw(9) << c.size << "  " << with_interval(c.factor) << '\n';
}

void print_axis(std::ostream& out, const std::vector<axis_comparison>& points, int width)
{
    if (points.empty())
        return;
    out << "\nThe destination axis where it was repeated, ns of CPU time per value; ratio = median / " << router_family
        << " median [95% CI]\n"
        << std::left << std::setw(width) << "family" << std::right << std::setw(14) << "destinations" << std::setw(8)
        << "taker" << std::setw(9) << "runs" << std::setw(9) << "median" << std::setw(9) << "fastest" << std::setw(9)
        << "slowest"
        << "  ratio [95% CI]\n";
    for (const axis_comparison& p : points)
        out << std::left << std::setw(width) << p.family << std::right << std::setw(14) << p.destinations
            << std::setw(8) << p.taker << std::setw(9) << p.figures.figures.size() << std::fixed << std::setprecision(2)
            << std::setw(9) << p.figures.median() << std::setw(9) << p.figures.fastest() << std::setw(9)
            << p.figures.slowest() << "  " << with_interval(p.to_router) << "  " << ratio_words(p.to_router) << '\n';
}

// Batch routing goes below the floor, the least a call per value costs:
// by how much, and how far below libsigc++.
void print_batches(std::ostream& out, const std::vector<axis_comparison>& points, int width)
{
    const auto is_batch = [](const axis_comparison& p) { return p.family.rfind(batch_prefix, 0) == 0; };
    if (std::none_of(points.begin(), points.end(), is_batch))
        return;
    out << "\nBatch routing where the axis was repeated; ratio = median / " << floor_family
        << " median [95% CI]; factor = " << sigc_family << " median / the batch's [95% CI]\n"
        << std::left << std::setw(width) << "family" << std::right << std::setw(14) << "destinations" << std::setw(8)
        << "taker" << std::setw(9) << "median"
        << "  ratio [95% CI]                 factor [95% CI]\n";
    for (const axis_comparison& p : points) {
        if (!is_batch(p))
            continue;
        const auto sigc = std::find_if(points.begin(), points.end(), [&](const axis_comparison& other) {
            return other.family == sigc_family && other.destinations == p.destinations && other.taker == p.taker;
        });
        out << std::left << std::setw(width) << p.family << std::right << std::setw(14) << p.destinations
            << std::setw(8) << p.taker << std::setw(9) << number(p.figures.median()) << "  " << std::left
            << std::setw(30) << with_interval(p.to_floor) << std::right << " "
            << (sigc != points.end() ? with_interval(axis_ratio(points, *sigc, p.family.c_str())) : "-") << '\n';
    }
}

} // namespace

std::optional<run_sample> run_sample_named(const std::string& benchmark_name, double ns_per_value)
{
    std::vector<std::string> parts;
    std::istringstream name(benchmark_name);
    for (std::string part; std::getline(name, part, '/');)
        parts.push_back(part);
    if (parts.empty() || parts.front().empty() || benchmark_name.back() == '/')
        return std::nullopt;

    run_sample sample{parts.front(), {}, {}, {}, {}, {}, ns_per_value};
    for (std::size_t i = 1; i < parts.size(); ++i) {
        std::int64_t size = 0;
        if (i + 1 == parts.size() && read_number(parts[i], size))
            sample.size = size;
        else if (!read_part(parts[i], sample))
            return std::nullopt;
    }
    // timed_test1c's work has a size, a point of the axis K and a taker.
    const bool on_the_axis = sample.destinations && !sample.taker.empty();
    const bool standard = sample.size && !sample.destinations && sample.taker.empty();
    if (!on_the_axis && !standard)
        return std::nullopt;
    return sample;
}

double figure_spread::median() const { return median_of(figures); }
double figure_spread::fastest() const
{
    return figures.empty() ? std::nan("") : *std::min_element(figures.begin(), figures.end());
}
double figure_spread::slowest() const
{
    return figures.empty() ? std::nan("") : *std::max_element(figures.begin(), figures.end());
}
double figure_spread::spread() const { return figures.size() < 2 ? std::nan("") : slowest() / fastest() - 1; }

double figure_spread::quartile_spread() const
{
    if (figures.size() < 2)
        return std::nan("");
    std::vector<double> sorted = figures;
    std::sort(sorted.begin(), sorted.end());
    const auto half = static_cast<std::ptrdiff_t>(sorted.size() / 2);
    const double lower = median_of({sorted.begin(), sorted.begin() + half});
    const double upper = median_of({sorted.end() - half, sorted.end()});
    return (upper - lower) / median();
}

bool placement_summary_row::placement_effect() const
{
    return placements.quartile_spread() > 2 * repeats.quartile_spread();
}

run_summary summarize_run(const std::vector<run_sample>& samples)
{
    family_names names;
    std::map<std::pair<std::int64_t, std::size_t>, standard_figures> standard;
    std::map<std::tuple<unsigned, std::string, std::size_t>, labelled_figures> points;
    for (const run_sample& sample : samples) {
        const std::size_t family = names.index_of(sample.family);
        if (!sample.size) {
            points[{*sample.destinations, sample.taker, family}].add(sample.repeat.value_or(0), sample.ns_per_value);
        } else if (sample.repeat) {
            standard[{*sample.size, family}].repeats.add(*sample.repeat, sample.ns_per_value);
        } else if (sample.placement) {
            standard[{*sample.size, family}].placements.add(*sample.placement, sample.ns_per_value);
        }
    }

    run_summary summary;
    const double none = std::nan("");
    for (const auto& [key, figures] : standard) {
        placement_summary_row row{
            names[key.second], key.first, figures.placements.spread(), figures.repeats.spread(), {none, none, none}};
        if (row.placements.figures.size() >= 2 || row.repeats.figures.size() >= 2)
            summary.rows.push_back(std::move(row));
    }
    add_ratios_to_floor(summary.rows);
    summary.against_peers = compare_with_peers(summary.rows);
    summary.across_destinations = compare_across_destinations(points, names);
    return summary;
}

void print_run_summary(std::ostream& out, const run_summary& summary)
{
    if (summary.rows.empty() && summary.across_destinations.empty())
        return;
    const int width = static_cast<int>(family_width(summary));
    const std::ios_base::fmtflags flags = out.flags();
    const std::streamsize precision = out.precision();
    if (!summary.rows.empty())
        print_rows(out, summary.rows, width);
    print_peers(out, summary.against_peers, width);
    print_axis(out, summary.across_destinations, width);
    print_batches(out, summary.across_destinations, width);
    out.flags(flags);
    out.precision(precision);
}
