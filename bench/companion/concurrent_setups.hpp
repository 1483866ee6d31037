// The concurrent router as the threaded families share it: built from a
// work's destination classes as router_distribute's router is, passed
// through per value, and changed by adding and removing one destination
// that refuses every value, so that routing's outcome is the same whether
// it is listed or not.
#ifndef VESSA_BENCH_CONCURRENT_SETUPS_HPP
#define VESSA_BENCH_CONCURRENT_SETUPS_HPP

#include <vessa/concurrent_router.hpp>

#include "routing_setups.hpp"

class shared_concurrent_router : public router_setup<held_as::classes, vessa::concurrent_router<int>> {
public:
    using router_setup::router_setup;

    vessa::destination_id add_one() { return router.add_destination(refuse_all(), 1); }
    void remove(vessa::destination_id id) { router.remove_destination(id); }
    void remove_and_wait(vessa::destination_id id) { router.remove_destination_and_wait(id); }
    void add_and_remove_one() { remove(add_one()); }
};

#endif
