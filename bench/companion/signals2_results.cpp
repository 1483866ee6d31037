// Boost.Signals2 saying which slot took a value, in the form its docs give
// single-threaded code: boost::signals2::dummy_mutex, no locking. The
// listed slots in one group, the default's in a later one, as
// signals2_families.cpp connects them.
#include <utility>

#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal_type.hpp>

#include "result_peers.hpp"

namespace {

struct signals2_index_peer {
    using signal
        = boost::signals2::signal_type<bool(const int&), boost::signals2::keywords::combiner_type<first_taker_index>,
                                       boost::signals2::keywords::group_type<int>,
                                       boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type;

    template <typename Slot>
    static void connect(signal& s, bool is_default, Slot slot)
    {
        s.connect(is_default ? 1 : 0, std::move(slot));
    }
};

} // namespace

result_peer signals2_result_peer()
{
    return {"signals2_dummy_mutex_first_taker_index", "signals2", run_result_peer<signals2_index_peer>};
}
