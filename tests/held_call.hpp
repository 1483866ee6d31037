// A destination call that a test holds inside until it lets it go, and a
// check that a wait does not return while such a call is still running.
#ifndef VESSA_TESTS_HELD_CALL_HPP
#define VESSA_TESTS_HELD_CALL_HPP

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

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

// Runs wait on a thread of its own while call is held, and returns whether
// wait returned with the call still inside. The call is let go after a
// while, so that a wait that does wait for it returns too: however late,
// it then finds the call gone.
template <typename Wait>
bool returns_while_inside(held_call& call, Wait wait)
{
    call.entered.wait();
    std::atomic<bool> early{false};
    std::thread waiter([&] {
        wait();
        early = call.inside.load();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    call.release.open();
    waiter.join();
    return early;
}

#endif
