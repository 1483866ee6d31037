// The same with libsigc++ 3: one signal, one lambda connected, one
// emission (bench/compile_time/measure).
#include <sigc++/sigc++.h>

int main(int argc, char**)
{
    int small = 0;
    sigc::signal<void(int)> signal;
    signal.connect([&small](int v) { small += v < 10; });
    signal.emit(argc);
    return small == 1 ? 0 : 1;
}
