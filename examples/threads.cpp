// Routing from several threads: one concurrent_router that every thread
// routes through at once, without a lock. Its destinations are called from
// many threads at once, so their own state is theirs to protect: here,
// atomic counts.
#include <atomic>
#include <iostream>
#include <numeric>
#include <thread>
#include <vector>

#include <vessa/concurrent_router.hpp>

int main()
{
    std::atomic<int> small_taken{0};
    std::atomic<int> rest_taken{0};
    std::vector<int> values(100);
    std::iota(values.begin(), values.end(), 0);

    vessa::concurrent_router<int> router;
    const vessa::destination_id small
        = router.add_destination([&small_taken](const int& v) { return v < 10 && (++small_taken, true); }, 2);
    router.set_default_destination([&rest_taken](const int&) { return ++rest_taken, true; });

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&router, &values] {
            // From any number of threads at once:
            router.distribute(42);
            router.distribute(values.begin(), values.end());
            router.distribute_batch(values);
        });
    }
    for (std::thread& t : threads)
        t.join();

    // From any thread, when the destination's state is about to go:
    // returns once no call of it runs or can start, and its copy is
    // destroyed. remove_destination returns at once instead: a call of it
    // already running in another thread may still run.
    router.remove_destination_and_wait(small);
    router.distribute(3); // to the default

    std::cout << small_taken << " small, " << rest_taken << " to the default\n";
    return small_taken == 4 * 20 && rest_taken == 4 * 181 + 1 ? 0 : 1;
}
