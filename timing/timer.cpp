#include "timer.hpp"

#include <algorithm>
#include <iomanip>
#include <stdexcept>
#include <string>

timer::timer(std::ostream& stream, clock_function clock_source) : out(stream), clock(clock_source) {}

void timer::start(unsigned int samples, unsigned long label)
{
    sample_target = samples;
    iterations = 0;
    size_label = static_cast<unsigned int>(label);
    counts.clear();
    // Closing a sample must never reallocate while the loop is timed.
    counts.reserve(samples);
    second_mark = clock(nullptr);
}

void timer::start_baseline(unsigned int samples)
{
    baseline_pending = true;
    start(samples, 0);
}

bool timer::check()
{
    ++iterations;
    second_now = clock(nullptr);
    // The sample that closes counts the iteration that saw the new second,
    // and the next one starts from the second just read.
    if (second_mark < second_now) {
        counts.push_back(iterations);
        iterations = 0;
        second_mark = second_now;
    }
    return counts.size() < sample_target;
}

void timer::report(bool verbose)
{
    if (sample_target == 0)
        throw std::logic_error("timer::report: the run was started with a target of 0 samples");
    const std::size_t needed = sample_target / 2 + 1;
    if (counts.size() < needed)
        throw std::logic_error("timer::report: the run has " + std::to_string(counts.size())
                               + " samples, the median needs at least " + std::to_string(needed));

    if (verbose)
        print_counts();
    std::sort(counts.begin(), counts.end());
    if (verbose) {
        out << "Sorted counts:" << std::endl;
        print_counts();
    }
    // With an even target this is the upper of the two middle samples.
    const std::int64_t selected_count = counts[sample_target / 2];
    if (verbose)
        out << "Selected count: " << selected_count << std::endl;

    if (baseline_pending) {
        baseline_ms = 1000.0 / static_cast<double>(selected_count);
        out << "Baseline time: " << baseline_ms << std::endl;
        baseline_pending = false;
        return;
    }
    const double net = 1000.0 / static_cast<double>(selected_count) - baseline_ms;
    result_table[size_label] = net;
    print_result_line(net);
}

const std::map<unsigned int, double>& timer::results() const { return result_table; }

void timer::print_counts() const
{
    for (std::size_t i = 0; i < counts.size(); ++i) {
        out << counts[i] << ' ';
        if ((i + 1) % 10 == 0)
            out << std::endl;
    }
    out << std::endl;
}

// Leaves the stream fixed with 4 decimals: later baseline lines print so.
void timer::print_result_line(double net)
{
    out.setf(std::ios::fixed);
    out.precision(4);
    out << std::setw(35) << size_label << std::setw(12) << net << " ms ";
    const auto half = result_table.find(size_label / 2);
    if (half != result_table.end()) {
        out.setf(std::ios::fixed);
        out.precision(4);
        out << std::setw(8) << net / half->second;
    }
    out << std::endl;
}
