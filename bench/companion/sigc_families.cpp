// libsigc++ 3 as users would set it up to route: slots are called in the
// order they were connected, so the default's comes last.
#include <sigc++/sigc++.h>

#include "peer_family.hpp"

namespace {

struct sigc_peer {
    using signal = sigc::signal<bool(const int&)>::accumulated<first_taker>;

    template <typename Slot>
    static void connect(signal& s, bool, Slot slot)
    {
        s.connect(std::move(slot));
    }
};

} // namespace

routing_family sigc_family() { return peer_family<sigc_peer>("sigc_first_taker"); }
