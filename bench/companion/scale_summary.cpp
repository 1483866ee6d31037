#include "scale_summary.hpp"

#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>
#include <tuple>

#include "name_parts.hpp"

namespace {

const std::string routers_subject = "concurrent_router_distribute";
const std::string objects_subject = "concurrent_router_objects";

// Each family's figures by round, at each point.
template <typename Point>
using figures_by_point = std::map<Point, std::map<std::string, by_repeat>>;

std::vector<double> figures_of(const by_repeat& figures)
{
    std::vector<double> made;
    for (const auto& figure : figures)
        made.push_back(figure.second);
    return made;
}

// The subject over every other family at every point where both ran.
template <typename Point, typename Row>
std::vector<Row> subject_over_others(const figures_by_point<Point>& figures, const std::string& subject,
                                     Row (*row)(const Point&, const family_ratio&))
{
    std::vector<Row> made;
    for (const auto& [point, families] : figures) {
        const auto own = families.find(subject);
        if (own == families.end())
            continue;
        for (const auto& [family, by_round] : families) {
            if (family != subject)
                made.push_back(row(point, {subject, median_of(figures_of(own->second)), family,
                                           median_of(figures_of(by_round)), paired_ratio(own->second, by_round)}));
        }
    }
    return made;
}

routers_ratio routers_row(const unsigned& routers, const family_ratio& ratio) { return {routers, ratio}; }

using objects_point = std::tuple<objects_measure, unsigned, unsigned>;

objects_ratio objects_row(const objects_point& point, const family_ratio& ratio)
{
    const auto& [measure, threads, destinations] = point;
    return {measure, threads, destinations, ratio};
}

const char* measure_name(objects_measure measure)
{
    switch (measure) {
    case objects_measure::connects:
        return "connects";
    case objects_measure::disconnects:
        return "disconnects";
    case objects_measure::cycles:
        return "cycles";
    }
    return "";
}

std::string fixed(double figure, int decimals)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << figure;
    return text.str();
}

void print_routers(std::ostream& out, const std::vector<routers_ratio>& rows)
{
    if (rows.empty())
        return;
    out << "\nOne thread routing one value each through many routers in turn, a default alone in each, ns of CPU"
           " time per value; ratio = "
        << routers_subject << "'s median / the other's median [95% CI]\n"
        << std::right << std::setw(8) << "routers" << std::setw(10) << "median"
        << "  " << std::left << std::setw(22) << "over" << std::right << std::setw(10) << "its median"
        << "  ratio [95% CI]\n";
    for (const routers_ratio& row : rows)
        out << std::right << std::setw(8) << row.routers << std::setw(10) << fixed(row.ratio.median, 2) << "  "
            << std::left << std::setw(22) << row.ratio.against << std::right << std::setw(10)
            << fixed(row.ratio.against_median, 2) << "  " << with_interval(row.ratio.ratio) << "  "
            << ratio_words(row.ratio.ratio) << '\n';
}

void print_objects(std::ostream& out, const std::vector<objects_ratio>& rows)
{
    if (rows.empty())
        return;
    out << "\nObjects that come and go: each connects N scoped destinations to one shared router, emits once and"
           " ends them; thousands per second, all threads together; ratio = "
        << objects_subject << "' median / the other's median [95% CI], above 1 when it is faster\n"
        << std::left << std::setw(13) << "measure" << std::right << std::setw(13) << "destinations" << std::setw(9)
        << "threads" << std::setw(10) << "median"
        << "  " << std::left << std::setw(18) << "over" << std::right << std::setw(10) << "its median"
        << "  ratio [95% CI]\n";
    for (const objects_ratio& row : rows)
        out << std::left << std::setw(13) << measure_name(row.measure) << std::right << std::setw(13)
            << row.destinations << std::setw(9) << row.threads << std::setw(10) << fixed(row.ratio.median / 1e3, 2)
            << "  " << std::left << std::setw(18) << row.ratio.against << std::right << std::setw(10)
            << fixed(row.ratio.against_median / 1e3, 2) << "  " << with_interval(row.ratio.ratio) << '\n';
}

} // namespace

std::optional<routers_sample> routers_sample_named(const std::string& benchmark_name, double ns_per_value)
{
    const auto name = split_name(benchmark_name, {"routers", "repeat"}, "");
    if (!name || name->numbers.size() != 2 || !name->others.empty())
        return std::nullopt;
    return routers_sample{name->family, name->numbers.at("routers"), name->numbers.at("repeat"), ns_per_value};
}

std::optional<objects_run> objects_run_named(const std::string& benchmark_name)
{
    const auto name = split_name(benchmark_name, {"destinations", "repeat", "threads"}, "");
    if (!name || name->numbers.size() != 3 || name->others.size() != 2)
        return std::nullopt;
    const bool cycles = name->others == std::vector<std::string>{"cycles", "real_time"};
    if (!cycles && name->others != std::vector<std::string>{"changes", "manual_time"})
        return std::nullopt;
    return objects_run{name->family, cycles, name->numbers.at("destinations"), name->numbers.at("threads"),
                       name->numbers.at("repeat")};
}

scale_summary summarize_scale(const std::vector<routers_sample>& routers, const std::vector<objects_sample>& objects)
{
    figures_by_point<unsigned> across_routers;
    for (const routers_sample& sample : routers)
        across_routers[sample.routers][sample.family][sample.repeat] = sample.ns_per_value;
    figures_by_point<objects_point> coming_and_going;
    for (const objects_sample& sample : objects) {
        const objects_run& run = sample.run;
        coming_and_going[{sample.measure, run.threads, run.destinations}][run.family][run.repeat] = sample.per_second;
    }
    return {subject_over_others(across_routers, routers_subject, routers_row),
            subject_over_others(coming_and_going, objects_subject, objects_row)};
}

void print_scale_summary(std::ostream& out, const scale_summary& summary)
{
    print_routers(out, summary.routers);
    print_objects(out, summary.objects);
}
