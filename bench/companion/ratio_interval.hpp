// Ratios of medians with a 95 % confidence interval that assumes no
// distribution: a percentile bootstrap, from a fixed seed so that a run's
// summary can be recomputed to the digit.
#ifndef VESSA_BENCH_RATIO_INTERVAL_HPP
#define VESSA_BENCH_RATIO_INTERVAL_HPP

#include <map>
#include <string>
#include <vector>

// Of an even count, the mean of the two middle figures. Not a number for
// none.
double median_of(std::vector<double> figures);

struct ratio_estimate {
    double ratio;
    // Not a number when either side has fewer than two figures.
    double low;
    double high;
};

// median(numerator) / median(denominator), and the 2.5th and 97.5th
// percentiles of that ratio over 10000 resamples. Figures of equal counts
// are taken as pairs, the i-th of each measured side by side, and
// resampled together, so that a drift of the machine that moves both
// cancels out; figures of unequal counts are resampled apart.
ratio_estimate median_ratio(const std::vector<double>& numerator, const std::vector<double>& denominator);

// Figures by the round (repeat) that measured them.
using by_repeat = std::map<unsigned, double>;

// median_ratio of the figures of both at the rounds both have: measured
// side by side, and so taken as pairs.
ratio_estimate paired_ratio(const by_repeat& numerator, const by_repeat& denominator);

// "1.234 [1.100, 1.300]": the ratio and its interval, to three decimals;
// the ratio alone without an interval, "-" without a ratio.
std::string with_interval(const ratio_estimate& estimate);

// "level" when the interval holds 1, else "faster by A to B %" or "slower
// by A to B %" (a ratio of times below or above 1), or "slower, A to B
// times" when the interval reaches twice as slow; "-" without an interval.
std::string ratio_words(const ratio_estimate& estimate);

#endif
