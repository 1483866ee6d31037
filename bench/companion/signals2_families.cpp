// Boost.Signals2 as users would set it up to route: the listed slots in
// one group, the default's in a later one. Twice: the library's default
// signal, mutex included, what one gets without tuning, and the signal a
// single-threaded user picks, with boost::signals2::dummy_mutex.
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal_type.hpp>

#include "peer_family.hpp"

namespace {

template <typename Mutex>
struct signals2_peer {
    using signal =
        typename boost::signals2::signal_type<bool(const int&), boost::signals2::keywords::combiner_type<first_taker>,
                                              boost::signals2::keywords::group_type<int>,
                                              boost::signals2::keywords::mutex_type<Mutex>>::type;

    template <typename Slot>
    static void connect(signal& s, bool is_default, Slot slot)
    {
        s.connect(is_default ? 1 : 0, std::move(slot));
    }
};

} // namespace

std::vector<routing_family> signals2_families()
{
    return {peer_family<signals2_peer<boost::signals2::mutex>>("signals2_first_taker"),
            peer_family<signals2_peer<boost::signals2::dummy_mutex>>("signals2_dummy_mutex_first_taker")};
}
