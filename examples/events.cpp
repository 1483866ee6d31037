// Events routed to lambdas: each event goes to the first destination that
// takes it, higher priorities first, and to the default when none does;
// each call says who took its value. A blocked destination is passed over
// until it is unblocked; a removed one takes nothing more.
#include <iostream>
#include <string>
#include <vector>

#include <vessa/router.hpp>

struct event {
    std::string kind;
    int key;
};

// A destination class: counts what nobody else took.
class count_the_rest : public vessa::destination<event> {
public:
    explicit count_the_rest(int& counted) : count(&counted) {}
    bool distribute(const event&) override { return ++*count, true; }

private:
    int* count;
};

int main()
{
    std::vector<int> keys;
    int rest = 0;
    vessa::router<event> router;
    const vessa::destination_id keyboard = router.add_destination( // the router keeps one copy
        [&keys](const event& e) { return e.kind == "key" && (keys.push_back(e.key), true); }, 2);
    router.add_destination([](const event& e) { return e.kind == "tick"; }); // priority 1: drops ticks
    router.set_default_destination(count_the_rest(rest));

    const vessa::distribution first = router.distribute(event{"key", 1}); // one value
    const bool keyboard_took_it = first.result == vessa::outcome::taken && first.taker == keyboard;
    const std::vector<event> events{{"tick", 0}, {"key", 2}, {"mouse", 3}};
    router.distribute(events.begin());               // *it, by reference to the element
    router.distribute(events.begin(), events.end()); // every element, in order
    router.block(keyboard);                          // passed over from now on
    router.distribute(event{"key", 3});              // to the default
    router.unblock(keyboard);                        // blocks nest: one unblock each
    router.remove_destination(keyboard);             // true; false once it is gone
    router.distribute(event{"key", 4});              // to the default

    std::cout << "keys taken:";
    for (const int key : keys)
        std::cout << ' ' << key;
    std::cout << "; the default took " << rest << '\n';
    return keyboard_took_it && keys == std::vector<int>{1, 2} && rest == 3 ? 0 : 1;
}
