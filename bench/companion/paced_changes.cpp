#include "paced_changes.hpp"

#include <utility>

paced_changes::paced_changes(int changes_per_second, std::function<void()> add_and_remove_one, pace_clock kept_to)
    : add_and_remove(std::move(add_and_remove_one)),
      period(std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::seconds(2))
             / changes_per_second),
      clock(std::move(kept_to)), start(clock.now()), writer([this] { make_changes(); })
{
}

paced_changes::~paced_changes()
{
    stopping = true;
    writer.join();
}

double paced_changes::changes_per_second() const
{
    const std::chrono::duration<double> elapsed = clock.now() - start;
    return static_cast<double>(changes_made()) / elapsed.count();
}

void paced_changes::make_changes()
{
    for (auto due = start; !stopping; due += period) {
        clock.wait_until(due);
        add_and_remove();
        ++calls_made;
    }
}
