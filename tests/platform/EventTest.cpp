#include "platform/Event.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

TEST(Event, ContendingThreadsNeverHoldTheLockTogether) {
    platform::Event lock("event_bufor");
    std::atomic<int> inside{0}, maxInside{0}, entries{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                ASSERT_EQ(lock.take(), platform::Event::TakeResult::Taken);
                const int now = ++inside;
                maxInside = std::max(maxInside.load(), now);
                ++entries;
                --inside;
                lock.release();
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(maxInside.load(), 1);
    EXPECT_EQ(entries.load(), 8000);
}

TEST(Event, NestedTakeOnTheOwnerThreadFailsAtOnce) {
    platform::Event lock("event_obslugi");
    ASSERT_EQ(lock.take(), platform::Event::TakeResult::Taken);
    EXPECT_EQ(lock.take(), platform::Event::TakeResult::NestedOnOwnerThread);
    EXPECT_TRUE(lock.heldByCurrentThread());
    lock.release();
    lock.release(); // releasing a free lock leaves it free
    EXPECT_FALSE(lock.isHeld());
}

TEST(Event, AWaiterPastItsPatienceNotesItAndKeepsWaiting) {
    platform::Event lock("event_kolejka");
    lock.take();
    std::atomic<int> notes{0};
    std::atomic<bool> entered{false};
    std::thread waiter([&] {
        lock.take([&] { ++notes; }, 5ms);
        entered = true;
        lock.release();
    });
    while (notes < 3)
        std::this_thread::yield();
    EXPECT_FALSE(entered.load()); // never enters while the other holds it
    lock.release();
    waiter.join();
    EXPECT_TRUE(entered.load());
}
