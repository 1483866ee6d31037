// concurrent_router on a process's and a thread's way out, and where the
// process is not what it was: routing from destructors that run at exit,
// membarrier refused by a sandbox's filter, memory refused to a removal,
// and a child forked while another thread was inside a routing call.
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <linux/filter.h>
#include <linux/membarrier.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vessa/concurrent_router.hpp>

#include "held_call.hpp"
#include "watchdog.hpp"

namespace {

// Allocations this thread may still make before one fails; negative means
// never.
thread_local long allocations_until_failure = -1;

void* allocate(std::size_t size)
{
    if (allocations_until_failure == 0)
        throw std::bad_alloc();
    if (allocations_until_failure > 0)
        --allocations_until_failure;
    void* const memory = std::malloc(size == 0 ? 1 : size);
    if (!memory)
        throw std::bad_alloc();
    return memory;
}

// Out of line: inlined into a delete, GCC takes free for a mismatch.
[[gnu::noinline]] void release(void* memory) { std::free(memory); }

} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { release(memory); }
void operator delete(void* memory, std::size_t) noexcept { release(memory); }

namespace {

using router = vessa::concurrent_router<int>;

constexpr int exit_undelivered = 3;
std::atomic<bool> delivered{false};

// Static, so destroyed after the thread's own thread_local objects.
struct routes_when_destroyed {
    router& through;
    ~routes_when_destroyed()
    {
        through.distribute(1);
        if (!delivered)
            std::_Exit(exit_undelivered);
    }
};

void route_from_a_static_destructor()
{
    static router first;
    static router last;
    first.set_default_destination([](const int&) {
        delivered = true;
        return true;
    });
    static const routes_when_destroyed at_exit{first};
    // The destructor's router is not the last this thread routed through.
    first.distribute(0);
    last.distribute(0);
    delivered = false;
    std::exit(0);
}

TEST(concurrent_router_exits, static_destructor_routes_through_another_router_than_the_last)
{
    // A process of its own, in which nothing has routed yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(route_from_a_static_destructor(), testing::ExitedWithCode(0), "");
}

// Built before its thread first routes, so destroyed after what the
// thread's routing set up for itself.
struct flusher {
    router* through = nullptr;
    ~flusher()
    {
        if (through)
            through->distribute(flushed);
    }
    static constexpr int flushed = 1;
};

void flush_at_thread_exit(router& through)
{
    static thread_local flusher on_this_thread;
    on_this_thread.through = &through;
}

// The flush holds its call until another thread is inside a call of the
// destination being removed.
TEST(concurrent_router_exits, thread_local_destructor_routing_at_exit_keeps_waits_waiting)
{
    const watchdog w("the exiting thread's flush");
    constexpr int plain = 0, held = 2;
    router r;
    held_call call;
    gate flushing;
    r.add_destination([&](const int& v) {
        if (v != flusher::flushed)
            return false;
        flushing.open();
        call.entered.wait();
        return true;
    });
    const vessa::destination_id removed = r.add_destination([&call](const int& v) {
        if (v != held)
            return false;
        call.hold();
        return true;
    });
    std::thread exiting([&] {
        flush_at_thread_exit(r);
        r.distribute(plain); // this thread's first routing call
    });
    std::thread inside([&] {
        flushing.wait();
        r.distribute(held);
    });
    call.entered.wait();
    exiting.join();
    EXPECT_FALSE(returns_while_inside(call, [&] { r.remove_destination_and_wait(removed); }));
    inside.join();
}

// As a sandbox does: membarrier fails with EPERM on this thread and on the
// threads it starts from now on.
void refuse_membarrier()
{
    sock_filter rules[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_membarrier, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{sizeof rules / sizeof rules[0], rules};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::perror("installing the seccomp filter");
        std::_Exit(2);
    }
}

bool membarrier_expedited()
{
    const long commands = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
    return commands >= 0 && (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0;
}

// Another thread routes while this one adds and removes, waiting; exits 0
// if no destination was offered a value once its removal returned.
void route_and_change_without_membarrier()
{
    refuse_membarrier();
    router r;
    std::atomic<bool> stop{false};
    std::atomic<int> late{0};
    std::thread routing([&] {
        while (!stop)
            r.distribute(1);
    });
    for (int round = 0; round < 200; ++round) {
        std::atomic<bool> removed{false};
        const vessa::destination_id id = r.add_destination([&](const int&) {
            late += removed;
            return false;
        });
        r.remove_destination_and_wait(id);
        removed = true;
    }
    r.synchronize();
    stop = true;
    routing.join();
    std::exit(late == 0 ? 0 : exit_undelivered);
}

TEST(concurrent_router_exits, routers_work_where_membarrier_is_refused_from_the_start)
{
    // A process of its own, in which nothing has routed yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(route_and_change_without_membarrier(), testing::ExitedWithCode(0), "");
}

// Another thread has routed and lives on, so a grace period needs the
// barrier that is now refused.
void synchronize_once_membarrier_is_refused()
{
    router r;
    gate routed, finish;
    std::thread other([&] {
        r.distribute(1);
        routed.open();
        finish.wait();
    });
    routed.wait();
    refuse_membarrier();
    r.remove_destination(r.add_destination([](const int&) { return false; }));
    r.synchronize();
    finish.open();
    other.join();
}

TEST(concurrent_router_exits, synchronize_stops_with_the_reason_once_membarrier_is_refused)
{
    // A process of its own, in which nothing has routed yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    if (!membarrier_expedited())
        GTEST_SKIP() << "this kernel offers no expedited membarrier to refuse";
    EXPECT_DEATH(synchronize_once_membarrier_is_refused(), "vessa: membarrier.*Operation not permitted");
}

// Offers to each destination, and refuses, each value it is offered.
struct logging {
    bool operator()(const int&) const
    {
        log->push_back(name);
        return false;
    }
    int name;
    std::vector<int>* log;
    std::shared_ptr<int> token;
};

std::vector<int> offered(router& r, std::vector<int>& log)
{
    log.clear();
    r.distribute(0);
    return log;
}

// Each allocation of one change fails in turn, until the change succeeds:
// a removal in place, by the rebuild that stand-ins reaching an eighth of
// the listed make, and by a rebuild for the order; a new priority; a
// clear; blocked or not; with the router read by this thread alone or
// not. A failed change leaves the offers as they were and the copy alive
// and removable, and AddressSanitizer finds nothing leaked.
TEST(concurrent_router_exits, removal_refused_memory_leaves_the_router_as_it_was)
{
    // Names are the order of adding; after: the names offered once the
    // removal succeeded, unblocked.
    enum class change { remove, reprioritize, clear };
    struct shape {
        std::vector<unsigned> priorities;
        int removed;
        std::vector<int> after;
        change made = change::remove;
    };
    const shape shapes[] = {{{1, 1, 1, 1, 1, 1, 1, 1, 1}, 4, {0, 1, 2, 3, 5, 6, 7, 8}},
                            {{1, 1, 1, 1, 1, 1, 1, 1}, 3, {0, 1, 2, 4, 5, 6, 7}},
                            {{1, 2, 3}, 2, {1, 0}},
                            {{1, 2, 3}, 0, {0, 1, 2}, change::reprioritize},
                            {{1, 2, 3}, 0, {}, change::clear}};
    for (const shape& s : shapes) {
        for (const bool blocked : {false, true}) {
            for (const bool shared : {false, true}) {
                SCOPED_TRACE(std::to_string(s.priorities.size()) + (blocked ? " blocked" : "")
                             + (shared ? " shared" : ""));
                for (long countdown = 0;; ++countdown) {
                    router r;
                    std::vector<int> log;
                    auto token = std::make_shared<int>();
                    const std::weak_ptr<int> copy = token;
                    std::vector<vessa::destination_id> ids;
                    for (int name = 0; name < static_cast<int>(s.priorities.size()); ++name)
                        ids.push_back(r.add_destination(
                            logging{name, &log, name == s.removed ? std::move(token) : nullptr}, s.priorities[name]));
                    if (blocked)
                        r.block(ids[s.removed]);
                    if (shared)
                        std::thread([&r] { r.distribute(0); }).join();
                    const std::vector<int> before = offered(r, log);
                    allocations_until_failure = countdown;
                    bool failed = false;
                    try {
                        if (s.made == change::remove)
                            r.remove_destination(ids[s.removed]);
                        else if (s.made == change::reprioritize)
                            r.set_priority(ids[s.removed], 4);
                        else
                            r.clear();
                    } catch (const std::bad_alloc&) {
                        failed = true;
                    }
                    allocations_until_failure = -1;
                    if (!failed) {
                        r.unblock(ids[s.removed]);
                        EXPECT_EQ(offered(r, log), s.after);
                        EXPECT_EQ(copy.expired(), !shared && s.made != change::reprioritize);
                        break;
                    }
                    EXPECT_EQ(offered(r, log), before) << "allocation " << countdown;
                    EXPECT_FALSE(copy.expired()) << "allocation " << countdown;
                    EXPECT_EQ(r.priority(ids[s.removed]), s.priorities[s.removed]) << "allocation " << countdown;
                    EXPECT_TRUE(r.remove_destination(ids[s.removed])) << "allocation " << countdown;
                    r.synchronize();
                    EXPECT_TRUE(copy.expired()) << "allocation " << countdown;
                }
            }
        }
    }
}

// The child's exit status: 0 when waiting, routing and changing work.
int use_in_forked_child(router& r)
{
    r.synchronize();
    int taken = 0;
    // Ahead of the held destination, which the child must not reach.
    const vessa::destination_id first = r.add_destination(
        [&taken](const int&) {
            ++taken;
            return true;
        },
        2);
    r.distribute(2);
    return r.remove_destination_and_wait(first) && taken == 1 ? 0 : exit_undelivered;
}

TEST(concurrent_router_exits, child_forked_while_another_thread_routes_can_wait_and_change)
{
    const watchdog w("the forked child");
    router r;
    held_call call;
    r.add_destination([&call](const int&) {
        call.hold();
        return true;
    });
    std::thread routing([&] { r.distribute(1); });
    call.entered.wait();
    const pid_t child = fork();
    if (child == 0) {
        alarm(10);
        _exit(use_in_forked_child(r));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    call.release.open();
    routing.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "child killed by signal " + std::to_string(WTERMSIG(status))
                                : "child exited " + std::to_string(WEXITSTATUS(status)));
}

} // namespace
