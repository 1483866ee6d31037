// The values of the destination axis, whose K listed destinations take
// only their index (deciding.hpp). What the values are decides who takes
// them:
//   taker::none    no value is a listed index, so all K refuse and the
//                  default takes every value: timed_test1c's pattern;
//   taker::random  each value is drawn uniformly from 0 ... K, K standing
//                  for the default, from one fixed seed, so every family
//                  routes the very same sequence and no predictor of
//                  branches or call targets can learn it.
#ifndef VESSA_BENCH_AXIS_WORK_HPP
#define VESSA_BENCH_AXIS_WORK_HPP

#include <vector>

enum class taker { none, random };

constexpr int axis_values_per_pass = 4096;
// The points of the destination axis: powers of two, and timed_test1c's 3.
constexpr int axis_listed_counts[] = {1, 2, 3, 4, 8, 16, 32, 64};
// The points measured again, round after round, so that the families'
// ratios there come with an interval: timed_test1c's 3 and the largest.
constexpr int axis_repeated_counts[] = {3, 64};
constexpr unsigned axis_repeats = 7;

// The values of one pass for K = listed destinations.
std::vector<int> axis_values(int listed, taker pattern);

// As the experiments' names give it: taker:none, taker:random.
inline const char* pattern_name(taker pattern) { return pattern == taker::none ? "none" : "random"; }

#endif
