// Turns a hang into a fast failure that says what hung: a test names what
// it waits for, and if it is still waiting when the watchdog's time runs
// out, the process stops with that name instead of meeting CTest's
// timeout with no message. The time is generous, never a bound the test
// asserts: a run that passes never reaches it.
#ifndef VESSA_TESTS_WATCHDOG_HPP
#define VESSA_TESTS_WATCHDOG_HPP

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

class watchdog {
public:
    explicit watchdog(std::string waiting_for, std::chrono::seconds limit = std::chrono::seconds(20))
        : what(std::move(waiting_for)), guard([this, limit] { watch(limit); })
    {
    }
    watchdog(const watchdog&) = delete;
    watchdog& operator=(const watchdog&) = delete;
    ~watchdog()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        ended.notify_one();
        guard.join();
    }

    // Names the next thing the test waits for.
    void now_waiting_for(std::string waiting_for)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        what = std::move(waiting_for);
    }

private:
    void watch(std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!ended.wait_for(lock, limit, [this] { return done; })) {
            std::fprintf(stderr, "watchdog: hung waiting for %s\n", what.c_str());
            std::fflush(stderr);
            std::_Exit(EXIT_FAILURE);
        }
    }

    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::string what;
    std::thread guard;
};

#endif
