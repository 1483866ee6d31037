// libsigc++ 3 saying which slot took a value: slots are called in the
// order they were connected, so the default's comes last.
#include <utility>

#include <sigc++/sigc++.h>

#include "result_peers.hpp"

namespace {

struct sigc_index_peer {
    using signal = sigc::signal<bool(const int&)>::accumulated<first_taker_index>;

    template <typename Slot>
    static void connect(signal& s, bool, Slot slot)
    {
        s.connect(std::move(slot));
    }
};

} // namespace

result_peer sigc_result_peer() { return {"sigc_first_taker_index", "sigc", run_result_peer<sigc_index_peer>}; }
