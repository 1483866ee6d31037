// The same with Boost.Signals2: one signal, one lambda connected, one
// emission (bench/compile_time/measure).
#include <boost/signals2/signal.hpp>

int main(int argc, char**)
{
    int small = 0;
    boost::signals2::signal<void(int)> signal;
    signal.connect([&small](int v) { small += v < 10; });
    signal(argc);
    return small == 1 ? 0 : 1;
}
