#include "PodFilter.h"

#include "Quillmesh/Core/HostedFilter.h"
#include "Quillmesh/Core/LayoutManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

using namespace Quillmesh::Core;
using namespace HostTests;

// A device thread drives the producer; the consumer runs in another layout and reads through
// a blocking FIFO pin; two threads set properties (rebuilding the pod pins) and run commands;
// one re-plugs links and reads taps; one moves a third filter between the two layouts.
TEST(HostStress, SixThreadsOnLinkedFiltersInTwoLayouts)
{
    PluginManager manager;
    LocalPlugin<PodFilter> plugin;
    manager.installPlugin(plugin);
    LayoutManager device("device");
    LayoutManager display("display");
    HostedFilter hosted("PodFilter", "producer", manager);
    auto& producer = static_cast<PodFilter&>(hosted.getFilter());
    PodFilter consumer("consumer");
    PodFilter spare("spare");
    hosted.setProperty("serial", "1A 2B");
    InputPin<Samples>& podTap = hosted.tap<Samples>("Acc#0x1A", 8, false);
    InputPin<Samples>& countTap = hosted.tap<Samples>("Count", 8, false);
    consumer.in.setBufferSize(16);
    consumer.in.setIsLifo(false);
    device.addFilter(producer);
    display.addFilter(consumer);
    producer.count.attach(consumer.in);
    producer.count.attach(spare.in);

    std::atomic<bool> stop{false};
    std::atomic<bool> consumerDone{false};
    std::atomic<int> tapSamples{0};
    std::atomic<int> tornTaps{0};
    std::atomic<int> tapOrder{0};
    std::atomic<int> failures{0};
    auto guarded = [&](std::function<void()> step) {
        return [&failures, &stop, step] {
            while (!stop)
            {
                try
                {
                    step();
                }
                catch (...)
                {
                    ++failures;
                }
            }
        };
    };

    withinSeconds(60, "six-thread stress", [&] {
        std::vector<std::thread> threads;
        threads.emplace_back(guarded([&] { device.processAll(); }));
        threads.emplace_back([&] {
            guarded([&] { display.processAll(); })();
            consumerDone = true;
        });
        threads.emplace_back(guarded([&, i = 0]() mutable {
            hosted.setProperty("serial", ++i % 2 ? "2B" : "1A 2B 3C");
            hosted.setProperty("Flush", "");
        }));
        threads.emplace_back(guarded([&, i = 0]() mutable {
            ++i;
            consumer.rate.set(1 + i % 100);
            producer.rate.set(1 + (i * 7) % 100);
            consumer.flush.execute();
            consumer.in.setBufferSize(i % 2 ? 16 : 8);
        }));
        threads.emplace_back(guarded([&, last = 0.0]() mutable {
            producer.count.detach(consumer.in);
            producer.count.attach(consumer.in);
            for (InputPin<Samples>* tap : {&podTap, &countTap})
            {
                while (const SampleData* data = tap->getData())
                {
                    if (tap == &podTap && !isWhole(*data)) ++tornTaps;
                    if (tap == &countTap)
                    {
                        if (data->data(0, 0) != data->time) ++tornTaps;
                        if (data->time <= last) ++tapOrder;
                        last = data->time;
                    }
                    ++tapSamples;
                    tap->release();
                }
            }
        }));
        threads.emplace_back(guarded([&, i = 0]() mutable {
            (++i % 2 ? device : display).addFilter(spare);
            std::this_thread::yield();
        }));

        std::this_thread::sleep_for(std::chrono::seconds(2));
        stop = true;
        // The consumer or the spare may be waiting for a sample nobody sends any more.
        while (!consumerDone)
        {
            consumer.getSynchronizer().wakeWaiters();
            spare.getSynchronizer().wakeWaiters();
            std::this_thread::yield();
        }
        for (std::thread& thread : threads) thread.join();
    });

    EXPECT_EQ(0, failures.load());
    EXPECT_GT(producer.rounds.load(), 0);
    EXPECT_GT(consumer.received.load(), 0);
    EXPECT_EQ(0, consumer.torn.load()) << "a sample changed while the consumer read it";
    EXPECT_EQ(0, consumer.outOfOrder.load()) << "the FIFO gave samples out of order";
    EXPECT_GT(tapSamples.load(), 0);
    EXPECT_EQ(0, tornTaps.load());
    EXPECT_EQ(0, tapOrder.load());
    EXPECT_GT(consumer.flushes.load(), 0);
}
