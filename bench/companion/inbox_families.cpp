// The producers axis: values posted from 1 or 2 threads and routed on one
// owning thread into the same vessa::router, through vessa::inbox and
// through the queues users would pick instead. Every family hands the
// owner's router contiguous runs through distribute_batch, the same K
// refusing destinations and taking default, so they differ only in their
// queue. What each pays besides the routing:
//
//   inbox                   a post finds its thread's lane through a
//       thread_local cache; allocates per lane and while blocks warm up;
//       the owner routes in place, straight from the lane's blocks.
//   moodycamel_queue        enqueue without a token: each post looks its
//       thread's implicit sub-queue up in a hash; allocates blocks while
//       warming up; the owner copies up to 256 values out with
//       try_dequeue_bulk, then routes the copies.
//   moodycamel_token_queue  moodycamel's fastest documented form: each
//       posting thread holds a ProducerToken (an explicit sub-queue, no
//       lookup), the owner dequeues with a ConsumerToken; allocates blocks
//       while warming up; copies out and routes as above.
//   lockfree_queue          Boost's lock-free queue popped in a loop into a
//       buffer of 256: a compare-and-swap per push and per pop.
//   mutex_deque             a std::deque behind a std::mutex, a condition
//       variable notified per value; the owner copies the deque out.
//
//   FAMILY/producers:P/destinations:K/value:V   values routed per second of
//       wall time (items_per_second), P threads posting 2^14 values each
//       per iteration while the owner routes them all;
//   FAMILY_latency/destinations:K/value:V       from a post to its
//       delivery by the router, for an owner that was asleep: the median
//       and the 99th percentile in µs (median_us, p99_us).
//
// K listed destinations refuse every value and the default takes it:
// timed_test1c's work at K = 3. V is int, or a struct of 64 bytes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <vessa/inbox.hpp>
#include <vessa/router.hpp>

#ifdef VESSA_WITH_CONCURRENTQUEUE
#include <concurrentqueue/blockingconcurrentqueue.h>
#include <concurrentqueue/concurrentqueue.h>
#endif
#ifdef VESSA_WITH_BOOST_LOCKFREE
#include <boost/lockfree/queue.hpp>
#endif

#include "inbox_families.hpp"

namespace {

struct bytes64 {
    int key;
    char rest[60];
};

int key_of(const int& v) { return v; }
int key_of(const bytes64& v) { return v.key; }
template <typename V>
V with_key(int key);
template <>
int with_key<int>(int key)
{
    return key;
}
template <>
bytes64 with_key<bytes64>(int key)
{
    return {key, {}};
}

const char* value_name(const int*) { return "int"; }
const char* value_name(const bytes64*) { return "bytes64"; }

// The peers' owners route what they dequeue from a buffer of this many.
constexpr std::size_t owner_buffer = 256;

// Routes the count values a queue's drain left at the front of buffer,
// yielding when there were none.
template <typename V>
std::size_t route_drained(vessa::router<V>& router, const std::vector<V>& buffer, std::size_t count)
{
    if (count == 0)
        std::this_thread::yield();
    router.distribute_batch(buffer.data(), buffer.data() + count);
    return count;
}

template <typename V>
class inbox_queue {
public:
    void post(const V& v) { box.post(v); }
    // Routes what is there, sleeping first until something is.
    std::size_t route(vessa::router<V>& router) { return box.wait() ? box.route(router) : 0; }

private:
    vessa::inbox<V> box;
};

#ifdef VESSA_WITH_CONCURRENTQUEUE
// Polls: ConcurrentQueue has no way to sleep.
template <typename V>
class moodycamel_queue {
public:
    void post(const V& v) { queue.enqueue(v); }
    std::size_t route(vessa::router<V>& router)
    {
        return route_drained(router, buffer, queue.try_dequeue_bulk(buffer.begin(), buffer.size()));
    }

private:
    moodycamel::ConcurrentQueue<V> queue;
    std::vector<V> buffer = std::vector<V>(owner_buffer);
};

// The form moodycamel's documentation gives for speed: a producer token
// per posting thread, a consumer token for the one owner.
template <typename V>
class moodycamel_token_queue {
public:
    // What a posting thread holds.
    class poster {
    public:
        explicit poster(moodycamel_token_queue& owner) : queue(owner.queue), token(owner.queue) {}
        void post(const V& v) { queue.enqueue(token, v); }

    private:
        moodycamel::ConcurrentQueue<V>& queue;
        moodycamel::ProducerToken token;
    };

    std::size_t route(vessa::router<V>& router)
    {
        return route_drained(router, buffer, queue.try_dequeue_bulk(consumer, buffer.begin(), buffer.size()));
    }

private:
    moodycamel::ConcurrentQueue<V> queue;
    moodycamel::ConsumerToken consumer{queue};
    std::vector<V> buffer = std::vector<V>(owner_buffer);
};

// The form that sleeps, for the latency.
template <typename V>
class moodycamel_blocking_queue {
public:
    void post(const V& v) { queue.enqueue(v); }
    std::size_t route(vessa::router<V>& router)
    {
        const std::size_t count = queue.wait_dequeue_bulk(buffer.begin(), buffer.size());
        router.distribute_batch(buffer.data(), buffer.data() + count);
        return count;
    }

private:
    moodycamel::BlockingConcurrentQueue<V> queue;
    std::vector<V> buffer = std::vector<V>(owner_buffer);
};
#endif

#ifdef VESSA_WITH_BOOST_LOCKFREE
// Polls: the queue has no way to sleep. Grows its nodes when full.
template <typename V>
class lockfree_queue {
public:
    void post(const V& v) { queue.push(v); }
    std::size_t route(vessa::router<V>& router)
    {
        std::size_t count = 0;
        while (count < buffer.size() && queue.pop(buffer[count]))
            ++count;
        return route_drained(router, buffer, count);
    }

private:
    boost::lockfree::queue<V> queue{1024};
    std::vector<V> buffer = std::vector<V>(owner_buffer);
};
#endif

template <typename V>
class mutex_deque {
public:
    void post(const V& v)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(v);
        }
        nonempty.notify_one();
    }
    std::size_t route(vessa::router<V>& router)
    {
        {
            std::unique_lock<std::mutex> lock(mutex);
            nonempty.wait(lock, [this] { return !queue.empty(); });
            buffer.assign(queue.begin(), queue.end());
            queue.clear();
        }
        router.distribute_batch(buffer);
        return buffer.size();
    }

private:
    std::mutex mutex;
    std::condition_variable nonempty;
    std::deque<V> queue;
    std::vector<V> buffer;
};

// What a posting thread posts through: the queue itself, or what the
// queue gives each thread of its own.
template <typename Queue>
Queue& poster_for(Queue& queue)
{
    return queue;
}
#ifdef VESSA_WITH_CONCURRENTQUEUE
template <typename V>
typename moodycamel_token_queue<V>::poster poster_for(moodycamel_token_queue<V>& queue)
{
    return typename moodycamel_token_queue<V>::poster(queue);
}
#endif

// No key is below it.
constexpr int lowest_key = -2;

// K destinations that refuse every value, and a default that takes it
// and passes its key to delivered.
template <typename V, typename Delivered>
void build(vessa::router<V>& router, int listed, Delivered delivered)
{
    for (int i = 0; i < listed; ++i)
        router.add_destination([](const V& v) { return key_of(v) < lowest_key; });
    router.set_default_destination([delivered](const V& v) { return delivered(key_of(v)), true; });
    benchmark::DoNotOptimize(router);
}

constexpr int values_per_producer = 1 << 14;

template <template <typename> class Queue, typename V>
void run_throughput(benchmark::State& state, int producers, int listed)
{
    vessa::router<V> router;
    build(router, listed, [](int) {});
    Queue<V> queue;
    std::atomic<unsigned> rounds{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&queue, &rounds, &stop] {
            auto&& poster = poster_for(queue);
            for (unsigned done = 0;; ++done) {
                while (rounds.load(std::memory_order_acquire) == done && !stop.load(std::memory_order_acquire))
                    std::this_thread::yield();
                if (stop.load(std::memory_order_acquire))
                    return;
                for (int i = 0; i < values_per_producer; ++i)
                    poster.post(with_key<V>(i));
            }
        });
    }
    const std::size_t per_round = static_cast<std::size_t>(producers) * values_per_producer;
    for (auto _ : state) {
        rounds.fetch_add(1, std::memory_order_release);
        for (std::size_t routed = 0; routed < per_round;)
            routed += queue.route(router);
    }
    stop.store(true, std::memory_order_release);
    for (std::thread& t : threads)
        t.join();
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(per_round));
}

// The owner routes on a thread of its own and sleeps between posts: the
// poster leaves it a pause long enough to fall asleep before each.
template <template <typename> class Queue, typename V>
void run_latency(benchmark::State& state, int listed)
{
    using clock = std::chrono::steady_clock;
    std::vector<clock::time_point> posted;
    std::vector<double> waited_us;
    std::atomic<int> delivered{-1};
    vessa::router<V> router;
    build(router, listed, [&](int key) {
        if (key >= 0)
            waited_us.push_back(std::chrono::duration<double, std::micro>(clock::now() - posted[key]).count());
        delivered.store(key, std::memory_order_release);
    });
    Queue<V> queue;
    std::thread owner([&queue, &router, &delivered] {
        while (delivered.load(std::memory_order_acquire) != lowest_key)
            queue.route(router);
    });
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        const int key = static_cast<int>(posted.size());
        posted.push_back(clock::now());
        queue.post(with_key<V>(key));
        while (delivered.load(std::memory_order_acquire) != key)
            std::this_thread::yield();
    }
    queue.post(with_key<V>(lowest_key));
    owner.join();
    std::sort(waited_us.begin(), waited_us.end());
    if (!waited_us.empty()) {
        state.counters["median_us"] = waited_us[waited_us.size() / 2];
        state.counters["p99_us"] = waited_us[waited_us.size() * 99 / 100];
    }
}

template <template <typename> class Queue, typename V>
void register_throughput(const char* family)
{
    for (const int producers : {1, 2}) {
        for (const int listed : {3, 64}) {
            const std::string name = std::string(family) + "/producers:" + std::to_string(producers) + "/destinations:"
                                     + std::to_string(listed) + "/value:" + value_name(static_cast<const V*>(nullptr));
            benchmark::RegisterBenchmark(name.c_str(), run_throughput<Queue, V>, producers, listed)->UseRealTime();
        }
    }
}

template <template <typename> class Queue, typename V>
void register_latency(const char* family)
{
    for (const int listed : {3, 64}) {
        const std::string name = std::string(family) + "_latency/destinations:" + std::to_string(listed)
                                 + "/value:" + value_name(static_cast<const V*>(nullptr));
        benchmark::RegisterBenchmark(name.c_str(), run_latency<Queue, V>, listed)->UseRealTime()->Iterations(400);
    }
}

template <typename V>
void register_value()
{
    register_throughput<inbox_queue, V>("inbox");
#ifdef VESSA_WITH_CONCURRENTQUEUE
    register_throughput<moodycamel_queue, V>("moodycamel_queue");
    register_throughput<moodycamel_token_queue, V>("moodycamel_token_queue");
#endif
#ifdef VESSA_WITH_BOOST_LOCKFREE
    register_throughput<lockfree_queue, V>("lockfree_queue");
#endif
    register_throughput<mutex_deque, V>("mutex_deque");
    register_latency<inbox_queue, V>("inbox");
#ifdef VESSA_WITH_CONCURRENTQUEUE
    register_latency<moodycamel_blocking_queue, V>("moodycamel_queue");
#endif
    register_latency<mutex_deque, V>("mutex_deque");
}

} // namespace

void register_producer_experiments()
{
    register_value<int>();
    register_value<bytes64>();
}
