// One more thread that changes what routing threads route through, at a
// steady rate, while a threaded run is timed: it adds a destination and
// removes it at once (two changes), at deadlines drawn from a steady clock.
// A call made late is followed at once by the next that is due, so the
// rate holds on average however late the thread is woken, and never runs
// ahead of the schedule.
#ifndef VESSA_BENCH_PACED_CHANGES_HPP
#define VESSA_BENCH_PACED_CHANGES_HPP

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

// The clock a paced_changes keeps to: the steady clock, or one a test
// keeps.
struct pace_clock {
    std::function<std::chrono::steady_clock::time_point()> now = std::chrono::steady_clock::now;
    std::function<void(std::chrono::steady_clock::time_point)> wait_until
        = [](std::chrono::steady_clock::time_point due) { std::this_thread::sleep_until(due); };
};

class paced_changes {
public:
    // Calls add_and_remove changes_per_second / 2 times a second, the
    // first at once, until destroyed.
    paced_changes(int changes_per_second, std::function<void()> add_and_remove, pace_clock kept_to = {});
    // Returns once the thread has stopped: nothing is changed after.
    ~paced_changes();

    paced_changes(const paced_changes&) = delete;
    paced_changes& operator=(const paced_changes&) = delete;

    // Changes made so far, two per call.
    std::int64_t changes_made() const { return 2 * calls_made.load(); }
    // Changes made so far per second since the start.
    double changes_per_second() const;

private:
    void make_changes();

    const std::function<void()> add_and_remove;
    const std::chrono::steady_clock::duration period;
    const pace_clock clock;
    const std::chrono::steady_clock::time_point start;
    std::atomic<bool> stopping{false};
    std::atomic<std::int64_t> calls_made{0};
    std::thread writer;
};

#endif
