// Preloaded in place of the C library's time() so that timed_test1c runs
// its whole sweep in a moment and prints the same text on every machine.
//
// The clock counts calls, not seconds: second s lasts 46 - s / 10 calls
// (at least two). A timed run spans about ten seconds, so seconds shorten
// by about one call from run to run: every measured run sees fewer
// iterations per second than the baseline before it and the net figures
// come out positive, as on a real machine, while the largest inputs, timed
// last, take only a few passes each.
#include <ctime>

namespace {

const std::time_t epoch = 1700000000;
std::time_t elapsed_seconds = 0;
long calls_this_second = 0;

long second_length(std::time_t second)
{
    const long length = 46 - static_cast<long>(second / 10);
    return length > 2 ? length : 2;
}

} // namespace

extern "C" std::time_t time(std::time_t* out)
{
    if (++calls_this_second > second_length(elapsed_seconds)) {
        ++elapsed_seconds;
        calls_this_second = 1;
    }
    const std::time_t now = epoch + elapsed_seconds;
    if (out)
        *out = now;
    return now;
}
