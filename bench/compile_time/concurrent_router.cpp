// One concurrent_router<int>, two lambdas, one value: what a file that routes costs
// to compile (bench/compile_time/measure).
#include <vessa/concurrent_router.hpp>

int main(int argc, char**)
{
    int small = 0;
    int rest = 0;
    vessa::concurrent_router<int> router;
    router.add_destination([&small](const int& v) { return v < 10 && (++small, true); });
    router.set_default_destination([&rest](const int&) { return ++rest, true; });
    router.distribute(argc);
    return small + rest == 1 ? 0 : 1;
}
