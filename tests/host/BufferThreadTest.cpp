#include "Quillmesh/Core/BufferStrategy.h"
#include "Quillmesh/Core/TimeStampedData.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace Quillmesh::Core;

namespace {

typedef TimeStampedData<int> Data;
typedef SynchronizedBufferStrategy<Data, SingleValueBuffer<Data>> Synchronized;

// Bounded hand-off: lets a reader thread reach its wait.
template <typename Condition>
bool eventually(Condition condition)
{
    for (int i = 0; i < 2000 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
}

} // namespace

TEST(SynchronizedBuffer, ReaderWaitsForAWriterOnAnotherThread)
{
    Synchronizer synchronizer;
    Synchronized strategy(synchronizer);
    std::atomic<int> got{-1};
    std::thread reader([&] {
        const Data* out = nullptr;
        got = strategy.pop(out) ? out->data : 0;
    });
    ASSERT_TRUE(eventually([&] { return strategy.getWaitingReaders() == 1; }));
    EXPECT_EQ(-1, got) << "the reader returned before anything was pushed";
    strategy.push(Data{42, 1.0});
    reader.join();
    EXPECT_EQ(42, got);
    EXPECT_EQ(0u, strategy.getWaitingReaders());
}

TEST(SynchronizedBuffer, DestroyingTheStrategyWakesItsReadersWhichGetNothing)
{
    Synchronizer synchronizer;
    auto strategy = std::make_unique<Synchronized>(synchronizer);
    std::atomic<int> falses{0};
    auto read = [&] {
        const Data* out = nullptr;
        if (!strategy->pop(out)) ++falses;
    };
    std::thread first(read);
    std::thread second(read);
    ASSERT_TRUE(eventually([&] { return strategy->getWaitingReaders() == 2; }));
    // The destructor returns only once both readers have left the mutex and the events:
    // under ASan a reader touching them afterwards is a use after free.
    auto* raw = strategy.get();
    std::thread destroyer([&] { delete raw; });
    destroyer.join();
    strategy.release();
    first.join();
    second.join();
    EXPECT_EQ(2, falses);
}

TEST(SynchronizedBuffer, AThreadWantingTheSynchronizerEndsTheWait)
{
    Synchronizer synchronizer;
    Synchronized strategy(synchronizer);
    std::atomic<bool> popped{true};
    std::atomic<bool> readerDone{false};
    std::thread reader([&] {
        // The reader works under the synchronizer, as a filter's process() does.
        Synchronizer::DisablerLocker lock(&synchronizer);
        const Data* out = nullptr;
        popped = strategy.pop(out);
        readerDone = true;
    });
    ASSERT_TRUE(eventually([&] { return strategy.getWaitingReaders() == 1; }));
    {
        Synchronizer::DisablerLocker lock(&synchronizer);
        EXPECT_TRUE(readerDone) << "the lock was granted while the reader still held it";
    }
    reader.join();
    EXPECT_FALSE(popped);

    // With nothing waiting, a push is still there for the next reader.
    strategy.push(Data{7, 0.0});
    const Data* out = nullptr;
    ASSERT_TRUE(strategy.pop(out));
    EXPECT_EQ(7, out->data);
}
