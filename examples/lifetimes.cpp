// Destinations that end with the objects they call into. A window keeps
// its handler's scoped_destination as a member, so the handler goes with
// the window. A tally is tracked: once its last owner lets it go, the
// router no longer calls it, and unlists it at its next change.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <vessa/router.hpp>

class window {
public:
    explicit window(vessa::router<std::string>& router)
        : subscription(router.add_scoped_destination([this](const std::string& s) { return take(s); }, 2))
    {
    }
    int taken = 0;

private:
    bool take(const std::string& text) { return text.rfind("window:", 0) == 0 && (++taken, true); }

    // Last, so that it is destroyed first: no call can reach a window
    // whose other members are gone.
    vessa::scoped_destination subscription;
};

struct tally {
    int counted = 0;
    bool take(const std::string& text) { return text.rfind("count:", 0) == 0 && (++counted, true); }
};

int main()
{
    vessa::router<std::string> router;
    std::vector<std::string> unclaimed;
    router.set_default_destination([&unclaimed](const std::string& s) { return unclaimed.push_back(s), true; });

    auto shared_tally = std::make_shared<tally>();
    const std::weak_ptr<tally> watched = shared_tally;
    tally* const t = shared_tally.get();
    router.add_destination(vessa::tracking(watched, [t](const std::string& s) { return t->take(s); }));
    int window_took = 0;
    {
        window w(router);
        router.distribute("window: open"); // the window takes it
        router.distribute("count: one");   // the tally takes it
        window_took = w.taken;
    }                                    // the window and its handler go
    router.distribute("window: closed"); // to the default
    const int tally_took = shared_tally->counted;
    shared_tally.reset();            // the tally goes
    router.distribute("count: two"); // refused without a call: to the default

    // A scoped destination may outlive its router: it then removes nothing.
    vessa::scoped_destination outliving;
    {
        vessa::router<std::string> short_lived;
        outliving = short_lived.add_scoped_destination([](const std::string&) { return true; });
    }

    std::cout << "the window took " << window_took << ", the tally " << tally_took << ", the default "
              << unclaimed.size() << '\n';
    const std::vector<std::string> expected_unclaimed{"window: closed", "count: two"};
    return window_took == 1 && tally_took == 1 && unclaimed == expected_unclaimed ? 0 : 1;
}
