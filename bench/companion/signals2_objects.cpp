// Boost.Signals2 in the objects that come and go: the thread-safe signal,
// its mutex included, each connection ended by a scoped_connection.
#include <boost/signals2/signal.hpp>

#include "come_and_go.hpp"

namespace {

struct signals2_subject {
    using shared = boost::signals2::signal<void(const int&)>;
    using scope = boost::signals2::scoped_connection;

    static scope connect(shared& signal, refuses_every_value slot) { return signal.connect(slot); }
    static void emit(shared& signal, int value) { signal(value); }
};

} // namespace

come_and_go_family signals2_come_and_go_family()
{
    return come_and_go<signals2_subject>("signals2_objects", machine_cores());
}
