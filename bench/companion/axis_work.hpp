// The work of the destination axis and the connect experiment: K listed
// destinations, the i-th taking only the value i, and a default that takes
// the rest. What the values are decides who takes them:
//   taker::none    no value is a listed index, so all K refuse and the
//                  default takes every value: timed_test1c's pattern;
//   taker::random  each value is drawn uniformly from 0 ... K, K standing
//                  for the default, from one fixed seed, so every family
//                  routes the very same sequence and no predictor of
//                  branches or call targets can learn it.
#ifndef VESSA_BENCH_AXIS_WORK_HPP
#define VESSA_BENCH_AXIS_WORK_HPP

#include <memory>
#include <vector>

#include <vessa/router.hpp>

#include "destinations.hpp"

enum class taker { none, random };

constexpr int axis_values_per_pass = 4096;
// The points of the destination axis: powers of two, and timed_test1c's 3.
constexpr int axis_listed_counts[] = {1, 2, 3, 4, 8, 16, 32, 64};

// The values of one pass for K = listed destinations.
std::vector<int> axis_values(int listed, taker pattern);

// Heap destinations for the families that hold them by pointer: the K
// listed ones in order, then the default.
struct axis_destinations {
    std::vector<std::shared_ptr<vessa::destination<int>>> listed;
    std::shared_ptr<vessa::destination<int>> fallback;
};
axis_destinations make_axis_destinations(int listed);

#endif
