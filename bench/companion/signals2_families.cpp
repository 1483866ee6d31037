// Boost.Signals2 as users would set it up to route: the listed slots in
// one group, the default's in a later one. Twice: the library's default
// signal, mutex included, what one gets without tuning, and the signal a
// single-threaded user picks, with boost::signals2::dummy_mutex. The
// default signal also routes from many threads at once.
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal_type.hpp>

#include "peer_family.hpp"
#include "thread_runs.hpp"

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

using default_mutex_peer = signals2_peer<boost::signals2::mutex>;

// Shared by the routing threads; a change connects a slot that refuses
// every value and disconnects it.
class shared_signal : public peer_setup<default_mutex_peer> {
public:
    using peer_setup::peer_setup;

    void add_and_remove_one()
    {
        signal.connect(0, [](const int&) { return false; }).disconnect();
    }
};

} // namespace

std::vector<routing_family> signals2_families()
{
    return {peer_family<default_mutex_peer>("signals2_first_taker"),
            peer_family<signals2_peer<boost::signals2::dummy_mutex>>("signals2_dummy_mutex_first_taker")};
}

thread_family signals2_thread_family()
{
    using shared = through_shared<shared_signal>;
    return {"signals2_first_taker_threads", run_threads_standard<shared>, run_threads_across<shared>};
}
