#include "ToyFilter.h"

#include "Quillmesh/Core/HostedFilter.h"
#include "Quillmesh/Core/LayoutManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace Quillmesh::Core;
using HostTests::ToyFilter;

TEST(ToyFilterThreads, PropertyHandlersNeverInterleaveWithProcess)
{
    PluginManager manager;
    HostTests::LocalPlugin<ToyFilter> plugin;
    manager.installPlugin(plugin);
    HostedFilter hosted("ToyFilter", "toy", manager);
    auto& toy = static_cast<ToyFilter&>(hosted.getFilter());
    InputPin<RowMatrixXd>& samples = hosted.tap<RowMatrixXd>("Samples");
    InputPin<RowMatrixXd>& counts = hosted.tap<RowMatrixXd>("Count", 8, false);

    const int rounds = 400;
    std::atomic<bool> stop{false};
    std::thread driver([&] {
        while (!stop) hosted.process();
    });

    int sets = 0;
    double lastCount = 0.0;
    bool countsInOrder = true;
    for (int i = 0; i < rounds; ++i)
    {
        hosted.setProperty("Gain", std::to_string(1 + i % 10));
        hosted.setProperty("Mode", std::to_string(i % 2));
        hosted.setProperty("Running", i % 2 ? "1" : "0");
        hosted.setProperty("Reset", "");
        sets += 4;
        if (const TimeStampedData<RowMatrixXd>* sample = samples.getData())
        {
            EXPECT_EQ(3, sample->data.rows());
            samples.release();
        }
        while (const TimeStampedData<RowMatrixXd>* count = counts.getData())
        {
            countsInOrder = countsInOrder && count->data(0, 0) > lastCount && count->time == count->data(0, 0);
            lastCount = count->data(0, 0);
            counts.release();
        }
    }
    stop = true;
    driver.join();

    EXPECT_EQ(0, toy.overlaps.load());
    EXPECT_EQ(sets, toy.handlerCalls.load());
    EXPECT_GT(toy.processed.load(), 0);
    EXPECT_TRUE(countsInOrder);
}

TEST(ToyFilterThreads, FiltersInTwoLayoutsHandDataOverBlockingPins)
{
    LayoutManager upstream("up");
    LayoutManager downstream("down");
    ToyFilter producer("producer");
    ToyFilter consumer("consumer");
    InputPin<RowMatrixXd> input("in", &consumer);
    upstream.addFilter(producer);
    downstream.addFilter(consumer);
    producer.count.attach(input);
    typedef TimeStampedData<RowMatrixXd> Data;
    typedef SynchronizedBufferStrategy<Data, SingleValueBuffer<Data>> Blocking;
    ASSERT_NE(nullptr, dynamic_cast<Blocking*>(input.getBufferStrategy()));

    std::atomic<double> received{0.0};
    std::thread reader([&] {
        Synchronizer::DisablerLocker lock(&consumer.getSynchronizer());
        if (const TimeStampedData<RowMatrixXd>* data = input.getData()) received = data->data(0, 0);
        input.release();
    });
    // The reader blocks inside its own layout's lock until the producer's layout publishes.
    std::thread writer([&] { upstream.processAll(); });
    writer.join();
    reader.join();
    EXPECT_EQ(1.0, received.load());
    EXPECT_EQ(1, producer.processed.load());
}
