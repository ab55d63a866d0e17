#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

#include "serial/io_queue.h"
#include "wait.h"

using namespace tessaryn::testing;
using tessaryn::IoQueue;

TEST(IoQueue, BlocksFromManyThreadsRunOneAtATimeInFifoOrderPerThread) {
    std::vector<std::pair<int, int>> seen;  // touched only on the queue
    std::atomic<int> inside{0};
    bool overlapped = false;
    {
        IoQueue q("test");
        std::vector<std::jthread> producers;  // joined before the queue goes
        for (int t = 0; t < 4; ++t) {
            producers.emplace_back([&, t] {
                for (int i = 0; i < 2000; ++i) {
                    q.async([&, t, i] {
                        if (inside.fetch_add(1) != 0) overlapped = true;
                        seen.emplace_back(t, i);
                        inside.fetch_sub(1);
                    });
                }
            });
        }
    }  // the destructor runs what was posted
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(seen.size(), 8000u);
    int last[4] = {-1, -1, -1, -1};
    for (auto [t, i] : seen) {
        EXPECT_EQ(i, last[t] + 1);
        last[t] = i;
    }
}

// Delayed blocks run in deadline order; a read source fires until cancelled, then runs its cancel
// handler; and the queue can be destroyed on itself.
TEST(IoQueue, DelayedBlocksReadSourcesAndDestructionOnTheQueue) {
    auto q = std::make_shared<IoQueue>("test");
    Shared shared;
    std::vector<int> order;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration firstAt{};
    auto record = [&](int n) {
        return [&, n] {
            EXPECT_TRUE(q->isCurrent());
            shared.change([&] {
                if (n == 1) firstAt = std::chrono::steady_clock::now() - start;
                order.push_back(n);
            });
        };
    };
    q->asyncAfter(30ms, record(3));
    q->asyncAfter(320us, record(1));
    q->asyncAfter(30ms, record(4));  // same deadline class: posting order
    q->asyncAfter(5ms, record(2));
    ASSERT_TRUE(shared.waitUntil([&] { return order.size() == 4; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_GE(firstAt, 320us);
    EXPECT_FALSE(q->isCurrent());

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string got;
    bool cancelled = false;
    auto source = q->addReadSource(
        fds[0],
        [&] {
            char buf[16];
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n > 0) shared.change([&] { got.append(buf, static_cast<std::size_t>(n)); });
        },
        [&] {
            EXPECT_TRUE(q->isCurrent());
            ::close(fds[0]);
            shared.change([&] { cancelled = true; });
        });
    ASSERT_EQ(::write(fds[1], "abc", 3), 3);
    ASSERT_TRUE(shared.waitUntil([&] { return got == "abc"; }));
    source->cancel();
    source->cancel();
    ::signal(SIGPIPE, SIG_IGN);  // the reader may already be closed
    [[maybe_unused]] ssize_t n = ::write(fds[1], "d", 1);
    ASSERT_TRUE(shared.waitUntil([&] { return cancelled; }));
    q->sync([] {});
    EXPECT_EQ(got, "abc");
    ::close(fds[1]);
    source.reset();

    bool gone = false;
    auto* raw = q.get();
    raw->async([q = std::move(q), &shared, &gone]() mutable {
        q.reset();  // last reference goes away on the queue itself
        shared.change([&] { gone = true; });
    });
    EXPECT_TRUE(shared.waitUntil([&] { return gone; }));
}
