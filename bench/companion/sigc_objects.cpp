// libsigc++ 3 in the objects that come and go, on one thread, as the
// library is meant to be used. Its users end a connection by keeping the
// sigc::connection that connect returns and disconnecting it when their
// object dies: libsigc++ 3.4, Debian's, has no scoped connection of its
// own.
#include <utility>

#include <sigc++/sigc++.h>

#include "come_and_go.hpp"

namespace {

class ending_connection {
public:
    explicit ending_connection(const sigc::connection& made) : connection(made) {}
    ending_connection(ending_connection&& other) noexcept : connection(std::exchange(other.connection, {})) {}
    ending_connection& operator=(ending_connection&&) = delete;
    ~ending_connection() { connection.disconnect(); }

private:
    sigc::connection connection;
};

struct sigc_subject {
    using shared = sigc::signal<void(const int&)>;
    using scope = ending_connection;

    // A void signal's slot: libsigc++ keeps no answer it could drop.
    static scope connect(shared& signal, refuses_every_value d)
    {
        return scope(signal.connect([d](const int& value) { d(value); }));
    }
    static void emit(shared& signal, int value) { signal.emit(value); }
};

} // namespace

come_and_go_family sigc_come_and_go_family() { return come_and_go<sigc_subject>("sigc_objects", 1); }
