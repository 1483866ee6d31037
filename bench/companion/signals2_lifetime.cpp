// Boost.Signals2 in the signals that come and go: the thread-safe signal,
// its mutex included, each connection ended with the signal.
#include <boost/signals2/signal.hpp>

#include "signal_lifetime.hpp"

namespace {

struct signals2_subject {
    using signal = boost::signals2::signal<void(const int&)>;

    static void connect(signal& made, refuses_every_value slot) { made.connect(slot); }
};

} // namespace

signal_lifetime_family signals2_signal_lifetime_family()
{
    return signal_lifetime<signals2_subject>("signals2_lifetime");
}
