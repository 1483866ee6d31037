// Batch routing: distribute_batch offers each destination, in one call,
// the values of a chunk that no destination before it took. take_if
// declares a decision free of side effects, which a batch evaluates over
// the whole chunk so that the compiler can vectorize it.
#include <iostream>
#include <numeric>
#include <vector>

#include <vessa/router.hpp>

int main()
{
    std::vector<int> values(1000);
    std::iota(values.begin(), values.end(), 0);

    vessa::router<int> router;
    std::vector<int> small;
    router.add_destination(
        vessa::take_if([](const int& v) { return v < 10; }, [&small](const int& v) { small.push_back(v); }));
    int even = 0;
    router.add_destination([&even](const int& v) { return v % 2 == 0 && (++even, true); });
    int rest = 0;
    router.set_default_destination([&rest](const int&) { return ++rest, true; });

    router.distribute_batch(values); // or any contiguous range: (first, last) pointers

    std::cout << small.size() << " small, " << even << " even, " << rest << " to the default\n";
    return small.size() == 10 && even == 495 && rest == 495 ? 0 : 1;
}
