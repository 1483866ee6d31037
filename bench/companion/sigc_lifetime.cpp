// libsigc++ 3 in the signals that come and go, each connection ended with
// the signal.
#include <sigc++/sigc++.h>

#include "signal_lifetime.hpp"

namespace {

struct sigc_subject {
    using signal = sigc::signal<void(const int&)>;

    // A void signal's slot: libsigc++ keeps no answer it could drop.
    static void connect(signal& made, refuses_every_value d)
    {
        made.connect([d](const int& value) { d(value); });
    }
};

} // namespace

signal_lifetime_family sigc_signal_lifetime_family() { return signal_lifetime<sigc_subject>("sigc_lifetime"); }
