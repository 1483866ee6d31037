// Boost.Signals2 as users would set it up to route: the listed slots in
// one group, the default's in a later one. The signal is the library's
// default, mutex included: what one gets without tuning.
#include <boost/signals2/signal.hpp>

#include "peer_family.hpp"

namespace {

struct signals2_peer {
    using signal = boost::signals2::signal<bool(const int&), first_taker, int>;

    template <typename Slot>
    static void connect(signal& s, bool is_default, Slot slot)
    {
        s.connect(is_default ? 1 : 0, std::move(slot));
    }
};

} // namespace

routing_family signals2_family() { return peer_family<signals2_peer>("signals2_first_taker"); }
