// The bounded queue from the streaming thread to the publishing thread.
#include <Drfn3/Dds/SampleQueue.h>

#include <gtest/gtest.h>

#include <thread>

using Drfn3::Sample;
using Drfn3::Dds::SampleQueue;

namespace {

std::vector<Sample> frames(std::int64_t first, std::int64_t count)
{
    std::vector<Sample> batch(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) batch[static_cast<std::size_t>(i)].frame = first + i;
    return batch;
}

} // namespace

TEST(SampleQueue, PastItsCapacityTheOldestGoAndAreCountedAndAWakeEndsAWait)
{
    SampleQueue queue(4);
    queue.push(frames(0, 3));
    queue.push(frames(3, 3));
    std::vector<Sample> out;
    ASSERT_TRUE(queue.take(out, std::chrono::milliseconds(0)));
    ASSERT_EQ(4u, out.size());
    EXPECT_EQ(2, out.front().frame);
    EXPECT_EQ(5, out.back().frame);
    EXPECT_EQ(2u, queue.dropped());

    // Empty: a wake, given before or during the wait, ends it with nothing.
    queue.wake();
    EXPECT_FALSE(queue.take(out, std::chrono::hours(1)));
    EXPECT_TRUE(out.empty());
}

TEST(SampleQueue, AConsumerOnAnotherThreadGetsEverySampleNotDroppedInOrder)
{
    SampleQueue queue(64);
    constexpr std::int64_t TOTAL = 20000;
    std::thread producer([&] {
        for (std::int64_t i = 0; i < TOTAL; i += 10) queue.push(frames(i, 10));
        queue.wake();
    });
    std::int64_t taken = 0, last = -1;
    std::vector<Sample> out;
    while (last < TOTAL - 1)
    {
        queue.take(out, std::chrono::seconds(10));
        for (const Sample& s : out)
        {
            ASSERT_GT(s.frame, last);
            last = s.frame;
        }
        taken += static_cast<std::int64_t>(out.size());
        if (out.empty()) break;
    }
    producer.join();
    queue.take(out, std::chrono::milliseconds(0));
    taken += static_cast<std::int64_t>(out.size());
    EXPECT_EQ(TOTAL - 1, last);
    EXPECT_EQ(TOTAL, taken + static_cast<std::int64_t>(queue.dropped()));
}
