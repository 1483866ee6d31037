// Routing across threads: threads post values into an inbox, and the
// thread that owns the router routes them, a chunk at a time. The
// destinations run on that thread alone, so their state needs no lock.
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include <vessa/inbox.hpp>
#include <vessa/router.hpp>

int main()
{
    int small = 0;
    int rest = 0;
    vessa::router<int> router;
    router.add_destination([&small](const int& v) { return v < 10 && (++small, true); });
    router.set_default_destination([&rest](const int&) { return ++rest, true; });

    vessa::inbox<int> inbox; // vessa::inbox<int> inbox(1024) holds at most 1024
    std::vector<std::thread> producers;
    for (int p = 0; p < 3; ++p) {
        producers.emplace_back([&inbox] {
            // From any thread: never waits for the owner.
            for (int v = 0; v < 100; ++v)
                inbox.post(v);
            const std::vector<int> more{1, 2, 300};
            inbox.post(more.begin(), more.end());
        });
    }
    std::thread closer([&inbox, &producers] {
        for (std::thread& t : producers)
            t.join();
        inbox.close(); // later posts return false; what came before is routed
    });

    // On the owning thread: sleeps until something is posted, and ends once
    // the inbox is closed and empty.
    std::size_t routed = 0;
    while (inbox.wait())
        routed += inbox.route(router);
    closer.join();

    // Move-only values travel too; what is never routed is destroyed with
    // the inbox.
    vessa::inbox<std::unique_ptr<int>> owned;
    owned.post(std::make_unique<int>(7));

    std::cout << routed << " routed: " << small << " small, " << rest << " to the default\n";
    return routed == 3 * 103 && small == 3 * 12 && rest == 3 * 91 ? 0 : 1;
}
