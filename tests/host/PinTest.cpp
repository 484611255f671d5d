#include "Quillmesh/Core/LayoutManager.h"
#include "Quillmesh/Core/OutputPin.h"
#include "Quillmesh/Core/PinManager.h"

#include <Poco/Exception.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Quillmesh::Core;

namespace {

typedef TimeStampedData<int> Data;

struct Owner : PinManager
{
    explicit Owner(LayoutManager* layout = nullptr) : PinManager("owner"), layout(layout) {}
    LayoutManager* getLayoutManager() const override { return layout; }
    LayoutManager* layout;
};

enum class Kind
{
    None,
    Simple,
    ThreadSafe,
    Synchronized
};

template <typename T>
Kind kindOf(const InputPinBase<T>& pin)
{
    typedef TimeStampedData<T> D;
    auto* strategy = pin.getBufferStrategy();
    if (!strategy) return Kind::None;
    if (dynamic_cast<SynchronizedBufferStrategy<D, SingleValueBuffer<D>>*>(strategy) ||
        dynamic_cast<SynchronizedBufferStrategy<D, LifoBuffer<D>>*>(strategy) ||
        dynamic_cast<SynchronizedBufferStrategy<D, FifoBuffer<D>>*>(strategy))
        return Kind::Synchronized;
    if (dynamic_cast<ThreadSafeBufferStrategy<D, SingleValueBuffer<D>>*>(strategy) ||
        dynamic_cast<ThreadSafeBufferStrategy<D, LifoBuffer<D>>*>(strategy) ||
        dynamic_cast<ThreadSafeBufferStrategy<D, FifoBuffer<D>>*>(strategy))
        return Kind::ThreadSafe;
    return Kind::Simple;
}

std::vector<int> drain(AbstractBufferStrategy<Data>& strategy)
{
    std::vector<int> values;
    const Data* out = nullptr;
    while (strategy.pop(out)) values.push_back(out->data);
    return values;
}

} // namespace

TEST(BufferStrategy, SingleValueGivesTheLatestValueOnce)
{
    Data a{1, 0.5};
    Data b{2, 1.0};
    SimpleBufferStrategy<Data, SingleValuePtrBuffer<Data>> simple;
    ThreadSafeBufferStrategy<Data, SingleValueBuffer<Data>> safe;
    for (AbstractBufferStrategy<Data>* strategy : std::vector<AbstractBufferStrategy<Data>*>{&simple, &safe})
    {
        const Data* out = nullptr;
        EXPECT_FALSE(strategy->pop(out));
        strategy->push(a);
        strategy->push(b);
        EXPECT_TRUE(strategy->hasData());
        ASSERT_TRUE(strategy->pop(out));
        EXPECT_EQ(2, out->data);
        EXPECT_EQ(1.0, out->time);
        EXPECT_FALSE(strategy->pop(out)) << "a value is given once";
        EXPECT_TRUE(strategy->isEmpty());
        EXPECT_EQ(1u, strategy->getCapacity());
    }
    // The simple strategy hands out the source's own value; the thread-safe one a copy.
    const Data* out = nullptr;
    simple.push(a);
    safe.push(a);
    a.data = 7;
    simple.pop(out);
    EXPECT_EQ(7, out->data);
    safe.pop(out);
    EXPECT_EQ(1, out->data);
}

TEST(BufferStrategy, QueuesKeepTheirCapacityAndDropTheOldest)
{
    ThreadSafeBufferStrategy<Data, FifoBuffer<Data>> fifo(3);
    SimpleBufferStrategy<Data, LifoBuffer<Data>> lifo(3);
    for (int i = 1; i <= 5; ++i)
    {
        fifo.push(Data{i, 0.0});
        lifo.push(Data{i, 0.0});
    }
    EXPECT_EQ(3u, fifo.getCapacity());
    EXPECT_EQ(3u, lifo.getCapacity());
    EXPECT_EQ((std::vector<int>{3, 4, 5}), drain(fifo));
    EXPECT_EQ((std::vector<int>{5, 4, 3}), drain(lifo));

    lifo.push(Data{1, 0.0});
    lifo.clear();
    EXPECT_TRUE(lifo.isEmpty());
    EXPECT_FALSE(lifo.hasData());
}

TEST(Pins, AttachingAConnectedInputIsRefusedAndPublishReachesEveryInputInOrder)
{
    Owner producer;
    Owner consumer;
    OutputPin<int> first("first", &producer);
    OutputPin<int> second("second", &producer);
    InputPin<int> input("in", &consumer);
    first.attach(input);
    EXPECT_THROW(first.attach(input), Poco::ExistsException);
    EXPECT_THROW(second.attach(input), Poco::ExistsException);
    EXPECT_EQ(1u, first.getAttachedCount());
    EXPECT_EQ(0u, second.getAttachedCount());

    InputPin<double> other("other", &consumer);
    EXPECT_THROW(first.attach(other), Poco::InvalidArgumentException);
    EXPECT_EQ(nullptr, other.getSource());

    first.detach(input);
    EXPECT_EQ(nullptr, input.getSource());
    second.attach(input);
    EXPECT_EQ(&second, input.getSource());
    second.detach(input);

    // Publishing reaches every input in attach order; detaching stops it.
    OutputPin<int> output("out", &producer);
    InputPin<int> a("a", &consumer);
    InputPin<int> b("b", &consumer);
    output.attach(a);
    output.attach(b);
    output.getData() = 5;
    output.push(2.5);
    for (InputPin<int>* pin : {&a, &b})
    {
        ASSERT_TRUE(pin->hasData());
        const Data* data = pin->getData();
        ASSERT_NE(nullptr, data);
        EXPECT_EQ(5, data->data);
        EXPECT_EQ(2.5, data->time);
        EXPECT_EQ(data, pin->getData()) << "data is held until released";
        pin->release();
        EXPECT_EQ(nullptr, pin->getData());
    }
    output.detach(a);
    output.push(3.0);
    EXPECT_FALSE(a.hasData());
    EXPECT_TRUE(b.hasData());

    {
        InputPin<int> shortLived("c", &consumer);
        output.attach(shortLived);
        EXPECT_EQ(2u, output.getAttachedCount());
    }
    EXPECT_EQ(1u, output.getAttachedCount()) << "a destroyed input leaves its source";
    {
        OutputPin<int> shortLived("gone", &producer);
        shortLived.attach(a);
    }
    EXPECT_EQ(nullptr, a.getSource()) << "a destroyed output lets its inputs go";
    EXPECT_EQ(nullptr, producer.findOutputPin("gone"));
}

TEST(Pins, StrategyFollowsSourceLayoutsAndOptions)
{
    LayoutManager layoutA("A");
    LayoutManager layoutB("B");
    struct Case
    {
        bool hasSource;
        LayoutManager* own;
        LayoutManager* source;
        bool synchronous;
        bool blocking;
        Kind expected;
    };
    const Case cases[] = {
        {false, &layoutA, &layoutB, false, true, Kind::Simple},
        {false, nullptr, nullptr, false, false, Kind::Simple},
        {true, &layoutA, &layoutA, false, true, Kind::Simple},
        {true, &layoutA, &layoutA, true, false, Kind::Simple},
        {true, nullptr, nullptr, true, true, Kind::Simple},
        {true, nullptr, nullptr, false, true, Kind::ThreadSafe},
        {true, &layoutA, &layoutB, false, true, Kind::Synchronized},
        {true, &layoutA, nullptr, true, true, Kind::Synchronized},
        {true, &layoutA, &layoutB, false, false, Kind::ThreadSafe},
        {true, nullptr, &layoutB, false, true, Kind::ThreadSafe},
        {true, nullptr, &layoutB, true, true, Kind::ThreadSafe},
    };
    int row = 0;
    for (const Case& c : cases)
    {
        Owner producer(c.source);
        Owner consumer(c.own);
        OutputPin<int> output("out", &producer);
        InputPin<int> input("in", &consumer);
        input.setIsSynchronous(c.synchronous);
        input.setIsBlocking(c.blocking);
        if (c.hasSource) output.attach(input);
        EXPECT_EQ(c.expected, kindOf(input)) << "case " << row;
        ++row;
    }

    Owner producer(&layoutA);
    Owner consumer(&layoutB);
    OutputPin<int> output("out", &producer);
    InputPin<int> input("in", &consumer);
    output.attach(input);
    input.setBufferSize(4);
    input.setIsLifo(false);
    EXPECT_EQ(Kind::Synchronized, kindOf(input));
    EXPECT_EQ(4u, input.getBufferStrategy()->getCapacity());
    for (int i = 1; i <= 5; ++i)
    {
        output.getData() = i;
        output.push(i);
    }
    std::vector<int> got;
    while (input.hasData())
    {
        got.push_back(input.getData()->data);
        input.release();
    }
    EXPECT_EQ((std::vector<int>{2, 3, 4, 5}), got);

    input.setBufferSize(0);
    EXPECT_EQ(Kind::None, kindOf(input));
    output.push(9);
    EXPECT_EQ(nullptr, input.getData());

    input.setBufferSize(1);
    consumer.layout = &layoutA;
    output.refresh();
    EXPECT_EQ(Kind::Simple, kindOf(input)) << "refresh sees the new layout";
    output.detach(input);
    EXPECT_EQ(Kind::Simple, kindOf(input));
}

TEST(Pins, SynchronousInputsAreReportedToTheLayout)
{
    LayoutManager layout("A");
    Owner producer(&layout);
    Owner consumer(&layout);
    OutputPin<int> output("out", &producer);
    InputPin<int> plain("plain", &consumer);
    InputPin<int> synchronous("sync", &consumer);
    synchronous.setIsSynchronous(true);
    output.attach(plain);
    output.attach(synchronous);
    ASSERT_EQ(1u, layout.getSynchronousLinks().size());
    EXPECT_EQ(&synchronous, layout.getSynchronousLinks()[0].second);

    output.detachAll();
    EXPECT_TRUE(layout.getSynchronousLinks().empty());
    output.attach(plain);
    output.attach(synchronous, false);
    EXPECT_TRUE(layout.getSynchronousLinks().empty()) << "notify false skips the host";

    output.detach(plain, true);
    EXPECT_EQ(&output, plain.getSource()) << "a synchronous-only detach leaves other inputs";
    output.detach(synchronous, true);
    EXPECT_EQ(nullptr, synchronous.getSource());
}
