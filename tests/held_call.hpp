// A destination call that a test holds inside until it lets it go, and a
// check that a wait does not return while such a call is still running.
#ifndef VESSA_TESTS_HELD_CALL_HPP
#define VESSA_TESTS_HELD_CALL_HPP

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include <vessa/read_sections.hpp>

#include "watchdog.hpp"

// Shut until opened once; then every wait returns.
class gate {
public:
    void open()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            opened = true;
        }
        changed.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return opened; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool opened = false;
};

struct held_call {
    gate entered;
    gate release;
    std::atomic<bool> inside{false};

    // From the destination: stays inside until released.
    void hold()
    {
        inside = true;
        entered.open();
        release.wait();
        inside = false;
    }
};

// How many times a waiter of this copy of vessa's code has found a reader
// it must wait for.
inline std::uint64_t readers_waited_for() { return vessa::detail::read_domain::of_process().readers_waited_for.load(); }

// Runs wait on a thread of its own while call is held, and returns whether
// wait returned with the call still inside. The call is let go only once
// the wait has returned or has been seen waiting for a reader (waits_seen
// counts those), so that a wait that does not wait is caught however the
// threads run.
template <typename Wait, typename WaitsSeen = decltype(&readers_waited_for)>
bool returns_while_inside(held_call& call, Wait wait, WaitsSeen waits_seen = &readers_waited_for)
{
    watchdog w("the held call to start");
    call.entered.wait();
    const std::uint64_t waits_before = waits_seen();
    std::atomic<bool> returned{false}, early{false};
    std::thread waiter([&] {
        wait();
        early = call.inside.load();
        returned = true;
    });
    w.now_waiting_for("the wait to return or to wait for the held call");
    while (!returned && waits_seen() == waits_before)
        std::this_thread::yield();
    call.release.open();
    w.now_waiting_for("the wait to return once the held call was let go");
    waiter.join();
    return early;
}

#endif
