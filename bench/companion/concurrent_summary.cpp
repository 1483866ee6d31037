#include "concurrent_summary.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>
#include <tuple>
#include <utility>

#include "name_parts.hpp"

namespace {

const std::string concurrent_family = "concurrent_router_threads";
const std::string floor_family = "floor_virtual_calls_threads";
const std::string one_thread_floor = "floor_virtual_calls";
// Each concurrent call beside the router's same call.
const std::pair<std::string, std::string> one_thread_counterparts[] = {
    {"concurrent_router_distribute", "router_distribute"},
    {"concurrent_router_distribute_range", "router_distribute_range"},
};

std::vector<double> figures_of(const by_repeat& figures)
{
    std::vector<double> made;
    for (const auto& figure : figures)
        made.push_back(figure.second);
    return made;
}

// changed[r] / plain[r] at each repeat both have.
by_repeat kept_share(const by_repeat& changed, const by_repeat& plain)
{
    by_repeat made;
    for (const auto& [repeat, figure] : changed) {
        const auto beside = plain.find(repeat);
        if (beside != plain.end())
            made[repeat] = figure / beside->second;
    }
    return made;
}

const ratio_estimate no_ratio{std::nan(""), std::nan(""), std::nan("")};

// A family's figures at one point of timed_test1c's work or of the axis.
struct one_thread_point {
    std::string family;
    std::string work;
    std::vector<double> figures;
};

std::vector<one_thread_point> one_thread_points(const run_summary& placed)
{
    std::vector<one_thread_point> made;
    for (const placement_summary_row& row : placed.rows)
        made.push_back({row.family, "N = " + std::to_string(row.size), row.placements.figures});
    for (const axis_comparison& point : placed.across_destinations)
        made.push_back({point.family, "K = " + std::to_string(point.destinations) + ", taker:" + point.taker,
                        point.figures.figures});
    return made;
}

ratio_estimate
ratio_to(const std::vector<one_thread_point>& points, const one_thread_point& point, const std::string& family)
{
    const auto other = std::find_if(points.begin(), points.end(), [&](const one_thread_point& p) {
        return p.family == family && p.work == point.work;
    });
    return other == points.end() ? no_ratio : median_ratio(point.figures, other->figures);
}

std::vector<one_thread_comparison> compare_on_one_thread(const run_summary& placed)
{
    const std::vector<one_thread_point> points = one_thread_points(placed);
    std::vector<one_thread_comparison> made;
    for (const auto& [family, counterpart] : one_thread_counterparts) {
        for (const one_thread_point& point : points) {
            if (point.family == family)
                made.push_back({family, point.work, median_of(point.figures), ratio_to(points, point, one_thread_floor),
                                counterpart, ratio_to(points, point, counterpart)});
        }
    }
    return made;
}

// family, work, churn, threads.
using thread_point = std::tuple<std::string, std::string, unsigned, unsigned>;
using thread_figures = std::map<thread_point, by_repeat>;

throughput_ratio
row_of(const thread_point& point, const by_repeat& figures, const std::string& against, const ratio_estimate& ratio)
{
    const auto& [family, work, churn, threads] = point;
    return {family, work, churn, threads, median_of(figures_of(figures)), against, ratio};
}

// The figures of family on the work of point, at churn and threads; null
// where it did not run.
const by_repeat* figures_at(const thread_figures& figures, const std::string& family, const thread_point& point,
                            unsigned churn, unsigned threads)
{
    const auto found = figures.find({family, std::get<1>(point), churn, threads});
    return found == figures.end() ? nullptr : &found->second;
}

void add_kept(const thread_figures& figures, const thread_point& point, const by_repeat& changed,
              concurrent_summary& summary)
{
    const auto& [family, work, churn, threads] = point;
    const by_repeat* const plain = figures_at(figures, family, point, 0, threads);
    if (!plain)
        return;
    summary.kept.push_back(row_of(point, changed, "no changes", paired_ratio(changed, *plain)));
    const by_repeat* const floor_changed = figures_at(figures, floor_family, point, churn, threads);
    const by_repeat* const floor_plain = figures_at(figures, floor_family, point, 0, threads);
    if (family == concurrent_family && floor_changed && floor_plain)
        summary.kept_against_floor.push_back(
            row_of(point, changed, floor_family,
                   paired_ratio(kept_share(changed, *plain), kept_share(*floor_changed, *floor_plain))));
}

void compare_threads(const thread_figures& figures, concurrent_summary& summary)
{
    for (const auto& [point, by_round] : figures) {
        const auto& [family, work, churn, threads] = point;
        if (churn > 0) {
            add_kept(figures, point, by_round, summary);
            continue;
        }
        const by_repeat* const one_thread = figures_at(figures, family, point, 0, 1);
        if (threads > 1 && one_thread)
            summary.scaling.push_back(row_of(point, by_round, "1 thread", paired_ratio(by_round, *one_thread)));
        const thread_point concurrent{concurrent_family, work, 0, threads};
        const by_repeat* const concurrent_figures = figures_at(figures, concurrent_family, point, 0, threads);
        if (family != concurrent_family && concurrent_figures)
            summary.against_families.push_back(
                row_of(concurrent, *concurrent_figures, family, paired_ratio(*concurrent_figures, by_round)));
    }
}

std::vector<change_cost> compare_changes(const std::vector<change_sample>& samples)
{
    std::map<std::pair<std::string, unsigned>, by_repeat> figures;
    for (const change_sample& sample : samples)
        figures[{sample.change, sample.routing_threads}][sample.repeat] = sample.ns_per_change;
    std::vector<change_cost> made;
    for (const auto& [key, by_round] : figures) {
        const auto alone = figures.find({key.first, 0});
        const bool compared = key.second > 0 && alone != figures.end();
        made.push_back({key.first, key.second, figure_spread{figures_of(by_round)},
                        compared ? paired_ratio(by_round, alone->second) : no_ratio});
    }
    return made;
}

std::string fixed(double figure, int decimals)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << figure;
    return text.str();
}

void print_one_thread(std::ostream& out, const std::vector<one_thread_comparison>& rows)
{
    if (rows.empty())
        return;
    out << "\nThe concurrent router on one thread, ns of CPU time per value; ratio = median / the other's median"
           " [95% CI]\n"
        << std::left << std::setw(36) << "family" << std::setw(22) << "work" << std::right << std::setw(9) << "median"
        << "  to " << one_thread_floor << ", to the router's same call\n";
    for (const one_thread_comparison& row : rows)
        out << std::left << std::setw(36) << row.family << std::setw(22) << row.work << std::right << std::setw(9)
            << fixed(row.median_ns_per_value, 2) << "  " << with_interval(row.to_floor) << " "
            << ratio_words(row.to_floor) << "; " << row.counterpart << " " << with_interval(row.to_counterpart) << " "
            << ratio_words(row.to_counterpart) << '\n';
}

void print_throughputs(std::ostream& out, const std::string& title, const std::vector<throughput_ratio>& rows)
{
    if (rows.empty())
        return;
    out << '\n'
        << title << '\n'
        << std::left << std::setw(30) << "family" << std::setw(27) << "work" << std::right << std::setw(7) << "churn"
        << std::setw(9) << "threads" << std::setw(10) << "median"
        << "  " << std::left << std::setw(30) << "over"
        << "ratio [95% CI]\n";
    for (const throughput_ratio& row : rows)
        out << std::left << std::setw(30) << row.family << std::setw(27) << row.work << std::right << std::setw(7)
            << row.churn << std::setw(9) << row.threads << std::setw(10) << fixed(row.median_values_per_second / 1e6, 2)
            << "  " << std::left << std::setw(30) << row.against << with_interval(row.ratio) << '\n';
}

void print_changes(std::ostream& out, const std::vector<change_cost>& rows)
{
    if (rows.empty())
        return;
    out << "\nOne change of the concurrent router holding timed_test1c's destinations, ns; ratio = median / its"
           " median with no thread routing [95% CI]\n"
        << std::left << std::setw(36) << "change" << std::right << std::setw(16) << "routing threads" << std::setw(8)
        << "runs" << std::setw(10) << "median" << std::setw(10) << "fastest" << std::setw(10) << "slowest"
        << "  ratio [95% CI]\n";
    for (const change_cost& row : rows)
        out << std::left << std::setw(36) << row.change << std::right << std::setw(16) << row.routing_threads
            << std::setw(8) << row.ns_per_change.figures.size() << std::setw(10) << fixed(row.ns_per_change.median(), 0)
            << std::setw(10) << fixed(row.ns_per_change.fastest(), 0) << std::setw(10)
            << fixed(row.ns_per_change.slowest(), 0) << "  " << with_interval(row.to_alone) << "  "
            << ratio_words(row.to_alone) << '\n';
}

} // namespace

std::optional<thread_sample> thread_sample_named(const std::string& benchmark_name, double values_per_second)
{
    const auto name = split_name(benchmark_name, {"threads", "repeat", "churn"}, "real_time");
    if (!name || !name->numbers.count("threads") || !name->numbers.count("repeat") || name->others.empty())
        return std::nullopt;
    std::string work = name->others.front();
    for (std::size_t i = 1; i < name->others.size(); ++i)
        work += "/" + name->others[i];
    const auto churn = name->numbers.find("churn");
    return thread_sample{name->family,
                         work,
                         churn == name->numbers.end() ? 0 : churn->second,
                         name->numbers.at("threads"),
                         name->numbers.at("repeat"),
                         values_per_second};
}

std::optional<change_sample> change_sample_named(const std::string& benchmark_name, double ns_per_change)
{
    const auto name = split_name(benchmark_name, {"routing_threads", "repeat"}, "manual_time");
    if (!name || name->numbers.size() != 2 || !name->others.empty())
        return std::nullopt;
    return change_sample{name->family, name->numbers.at("routing_threads"), name->numbers.at("repeat"), ns_per_change};
}

concurrent_summary summarize_concurrent(const run_summary& placed, const std::vector<thread_sample>& threaded,
                                        const std::vector<change_sample>& changes)
{
    concurrent_summary summary;
    summary.one_thread = compare_on_one_thread(placed);
    thread_figures figures;
    for (const thread_sample& sample : threaded)
        figures[{sample.family, sample.work, sample.churn, sample.threads}][sample.repeat] = sample.values_per_second;
    compare_threads(figures, summary);
    summary.changes = compare_changes(changes);
    return summary;
}

void print_concurrent_summary(std::ostream& out, const concurrent_summary& summary)
{
    print_one_thread(out, summary.one_thread);
    print_throughputs(out,
                      "From many threads, millions of values per second of wall time, all threads together;"
                      " ratio = median / the same family's median at one thread [95% CI]",
                      summary.scaling);
    print_throughputs(out,
                      "From many threads, " + concurrent_family
                          + " over each other family, ratio = median / the"
                            " other's median [95% CI]",
                      summary.against_families);
    print_throughputs(out,
                      "With one more thread making churn changes a second, the share of each family's values"
                      " per second kept: median / its median without changes [95% CI]",
                      summary.kept);
    print_throughputs(out,
                      "The share " + concurrent_family + " keeps over the share " + floor_family
                          + " keeps, its writer making the same changes to a router nobody routes through [95% CI]",
                      summary.kept_against_floor);
    print_changes(out, summary.changes);
}
