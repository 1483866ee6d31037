// concurrent_router on a process's and a thread's way out, and where the
// process is not what it was: routing from destructors that run at exit,
// membarrier refused by a sandbox's filter, and a child forked while
// another thread was inside a routing call.
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

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
