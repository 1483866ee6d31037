// Counts how often a loop body runs per second of the C library's
// one-second clock.
//
// A run collects a fixed number of samples; a sample is the number of loop
// iterations between two changes of the clock's second. The caller runs the
// body, then calls check(), and repeats while check() returns true:
//
//     t.start(10, n);
//     do { body(); } while (t.check());
//     t.report(false);
//
// report() takes the upper median sample as milliseconds per iteration and
// either keeps it as the baseline (after start_baseline) or prints the net
// time (less the baseline) for the run's label, with its ratio to the net
// time stored for half that label.
#ifndef VESSA_TIMER_HPP
#define VESSA_TIMER_HPP

#include <cstdint>
#include <ctime>
#include <iostream>
#include <map>
#include <vector>

class timer {
public:
    // The clock's signature is that of the C library's time().
    using clock_function = std::time_t (*)(std::time_t*);

    explicit timer(std::ostream& stream = std::cout, clock_function clock_source = std::time);

    // Begins a run of `samples` samples whose result is stored under `label`.
    void start(unsigned int samples, unsigned long label);
    // Begins a run whose report sets the baseline instead.
    void start_baseline(unsigned int samples);
    // Counts one iteration; false once the run has all its samples.
    bool check();
    // Throws std::logic_error, having printed and changed nothing, when the
    // run has a target of 0 samples or fewer than target / 2 + 1 samples.
    void report(bool verbose);

    // Net milliseconds per iteration, by label.
    const std::map<unsigned int, double>& results() const;

private:
    void print_counts() const;
    void print_result_line(double net);

    std::ostream& out;
    clock_function clock;

    unsigned int sample_target = 0;
    // 64 bits: a sample that spans a suspended machine or a clock step
    // outgrows 32 bits within seconds.
    std::vector<std::int64_t> counts;
    std::time_t second_mark = 0;
    std::time_t second_now = 0;
    std::int64_t iterations = 0;
    unsigned int size_label = 0;
    std::map<unsigned int, double> result_table;
    bool baseline_pending = false;
    double baseline_ms = 0.0;
};

#endif
