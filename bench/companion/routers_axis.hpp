// The routers axis: one thread routing one value each through R live
// routers in turn, R = 1, 10 ... 10,000, as a program with a router per
// object does. Each router holds a default alone, which takes every value:
// router_distribute, concurrent_router_distribute, and floor_virtual_calls,
// the same virtual call without a router. In seven rounds, each round every
// family at a point one after the other: FAMILY/routers:R/repeat:K, ns per
// value by the "values" counter.
#ifndef VESSA_BENCH_ROUTERS_AXIS_HPP
#define VESSA_BENCH_ROUTERS_AXIS_HPP

void register_routers_experiments();

#endif
