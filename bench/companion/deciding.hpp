// What each destination of an experiment decides, in the two forms the
// families take it: a destination class, called through one virtual call
// (router_distribute, router_distribute_range, floor_virtual_calls), or
// the deciding callable itself, called through the family's own type
// erasure (every other family). The two forms decide alike, and every
// family's default takes every value, so the families differ only in how
// they dispatch.
//
// A work gives listed(), the number of listed destinations, and for the
// i-th of them destination(i) and decider(i).
#ifndef VESSA_BENCH_DECIDING_HPP
#define VESSA_BENCH_DECIDING_HPP

#include "destinations.hpp"

// The default of every experiment.
inline auto takes_every_value()
{
    return [](const int&) { return true; };
}

// timed_test1c's work: three listed destinations refuse every value and
// the default takes it, four calls per value.
struct standard_work {
    static int listed() { return 3; }
    static refuse_all destination(int) { return refuse_all(); }
    static auto decider(int)
    {
        return [](const int&) { return false; };
    }
};

// The destination axis: K listed destinations, the i-th taking only the
// value i.
struct destination_axis_work {
    int listed_count;

    int listed() const { return listed_count; }
    static takes_its_index destination(int i) { return takes_its_index(i); }
    static auto decider(int i)
    {
        return [i](const int& value) { return value == i; };
    }
};

#endif
