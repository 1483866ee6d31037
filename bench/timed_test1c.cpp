// Times router::distribute on integers: every value is refused by three
// listed destinations and taken by the default. For N = 1, 2, 4 ... 2^20
// it prints the net milliseconds of one pass over 0 ... N - 1 and the
// ratio to the figure for N / 2.
//
// The destinations only decide; they never store a value, so the figures
// show the cost of the routing decisions without insertion. The tests
// build a second program from this file with VESSA_TALLY_OFFERS defined,
// whose destinations tally what they are offered and print the tallies on
// standard error; the program itself reads no environment.
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <vessa/router.hpp>

#include "timer.hpp"

template <typename OutIt>
class my_default : public vessa::destination<int> {
public:
    explicit my_default(OutIt output) : out(output) {}
    bool distribute(const int&) override { return true; }

private:
    OutIt out;
};

template <typename OutIt>
class less_than_n : public vessa::destination<int> {
public:
    less_than_n(OutIt output, std::int32_t limit) : out(output), n(limit) {}
    // Refuses everything: n is kept but not consulted.
    bool distribute(const int&) override { return false; }

private:
    OutIt out;
    std::int32_t n;
};

namespace {

using outputs_type = std::array<std::vector<int>, 4>;
using inserter = std::back_insert_iterator<std::vector<int>>;

constexpr unsigned int largest_size = 1048576;
constexpr unsigned int samples_per_run = 10;

// Seven minutes of figures nobody can read must not end in success, so
// the run stops at the first line standard output does not take.
class output_failure : public std::runtime_error {
public:
    explicit output_failure(int error) : std::runtime_error(error != 0 ? std::strerror(error) : "write failed") {}
};

void require_written()
{
    if (!std::cout)
        throw output_failure(errno);
}

void clear_outputs(outputs_type& outputs)
{
    for (std::vector<int>& output : outputs)
        output.clear();
}

// What one destination was offered: how many passes over 0, 1 ... N - 1
// it saw, by N, and how many values it took.
struct offer_tally {
    std::map<unsigned int, unsigned long> passes;
    unsigned int pass_length = 0;
    bool in_order = true;
    unsigned long taken = 0;
};

// Tallies what Destination is offered, then lets it decide. A measured
// run lists the destinations themselves.
template <typename Destination>
class tallied : public Destination {
public:
    tallied(const Destination& d, offer_tally& kept) : Destination(d), tally(&kept) {}
    bool distribute(const int& value) override
    {
        if (value == 0 && tally->pass_length != 0)
            ++tally->passes[std::exchange(tally->pass_length, 0)];
        tally->in_order = tally->in_order && value == static_cast<int>(tally->pass_length++);
        const bool took = Destination::distribute(value);
        tally->taken += took;
        return took;
    }

private:
    offer_tally* tally;
};

// Hands add the destination d, tallied or not.
template <typename Destination, typename Add>
void add_tallied_if(bool tallying, const Destination& d, offer_tally& tally, Add add)
{
    if (tallying)
        add(tallied<Destination>(d, tally));
    else
        add(d);
}

// One line each: "listed 1: 1x449 2x429 ..., took 0", or "listed 1: ... out of order".
void report_tallies(std::array<offer_tally, 4>& tallies)
{
    for (std::size_t i = 0; i < tallies.size(); ++i) {
        offer_tally& tally = tallies[i];
        std::cerr << (i < 3 ? "listed " + std::to_string(i + 1) : std::string("default")) << ':';
        if (tally.pass_length != 0)
            ++tally.passes[tally.pass_length];
        for (const auto& [length, count] : tally.passes)
            std::cerr << ' ' << length << 'x' << count;
        std::cerr << (tally.in_order ? ", took " + std::to_string(tally.taken) : std::string(" out of order")) << '\n';
    }
}

} // namespace

void test()
{
    std::cout << "Test 1c\nTesting N\nTiming distribute on integers.\n"
              << "Time Decision Making only.  \nFactor out insertion." << std::endl;
    require_written();

    // The router lives until the process ends; holding it here keeps it
    // reachable, and a second call starts from a fresh one.
    static std::unique_ptr<vessa::router<int>> router;
    router.reset(new vessa::router<int>);

    outputs_type outputs;
#ifdef VESSA_TALLY_OFFERS
    constexpr bool tallying = true;
#else
    constexpr bool tallying = false;
#endif
    std::array<offer_tally, 4> tallies;
    for (std::size_t i = 0; i < 3; ++i)
        add_tallied_if(tallying, less_than_n<inserter>(std::back_inserter(outputs[i]), largest_size), tallies[i],
                       [&](auto&& listed) { router->add_destination(std::forward<decltype(listed)>(listed), 1); });
    add_tallied_if(tallying, my_default<inserter>(std::back_inserter(outputs[3])), tallies[3],
                   [&](auto&& taker) { router->set_default_destination(std::forward<decltype(taker)>(taker)); });

    timer clock;
    std::vector<int> input;
    for (unsigned int n = 1; n <= largest_size; n *= 2) {
        input.clear();
        input.reserve(n);
        for (unsigned int value = 0; value < n; ++value)
            input.push_back(static_cast<int>(value));

        clock.start_baseline(samples_per_run);
        do {
            clear_outputs(outputs);
        } while (clock.check());
        clock.report(false);
        require_written();

        clock.start(samples_per_run, n);
        do {
            clear_outputs(outputs);
            for (auto it = input.begin(); it != input.end(); ++it)
                router->distribute(it);
        } while (clock.check());
        clock.report(false);
        require_written();
    }
    if (tallying)
        report_tallies(tallies);
}

int main()
{
    try {
        test();
    } catch (const output_failure& failure) {
        std::cerr << "timed_test1c: cannot write to standard output: " << failure.what() << std::endl;
        return 1;
    }
    return 0;
}
