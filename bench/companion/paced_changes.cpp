#include "paced_changes.hpp"

#include <utility>

paced_changes::paced_changes(int changes_per_second, std::function<void()> add_and_remove_one)
    : add_and_remove(std::move(add_and_remove_one)),
      period(std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::seconds(2))
             / changes_per_second),
      start(std::chrono::steady_clock::now()), writer([this] { make_changes(); })
{
}

paced_changes::~paced_changes()
{
    stopping = true;
    writer.join();
}

double paced_changes::changes_per_second() const
{
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return static_cast<double>(changes_made()) / elapsed.count();
}

void paced_changes::make_changes()
{
    for (auto due = start; !stopping; due += period) {
        std::this_thread::sleep_until(due);
        add_and_remove();
        ++calls_made;
    }
}
