// One router<int>, two lambdas, one value posted to an inbox and routed
// from it: what a file that routes from an inbox costs to compile
// (bench/compile_time/measure).
#include <vessa/inbox.hpp>
#include <vessa/router.hpp>

int main(int argc, char**)
{
    int small = 0;
    int rest = 0;
    vessa::router<int> router;
    router.add_destination([&small](const int& v) { return v < 10 && (++small, true); });
    router.set_default_destination([&rest](const int&) { return ++rest, true; });
    vessa::inbox<int> inbox;
    inbox.post(argc);
    inbox.close();
    while (inbox.wait())
        inbox.route(router);
    return small + rest == 1 ? 0 : 1;
}
