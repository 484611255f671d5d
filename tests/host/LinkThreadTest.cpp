#include "PodFilter.h"

#include "Quillmesh/Core/HostedFilter.h"
#include "Quillmesh/Core/LayoutManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

using namespace Quillmesh::Core;
using namespace HostTests;

namespace {

/// Two filters, a's "Count" linked to b's "In". b's synchronizer lies below a's, so a thread
/// taking the pair in address order takes b first.
struct LinkedPair
{
    LinkedPair()
    {
        auto first = std::make_unique<PodFilter>("first");
        auto second = std::make_unique<PodFilter>("second");
        if (&first->getSynchronizer() < &second->getSynchronizer()) std::swap(first, second);
        a = std::move(first);
        b = std::move(second);
        a->count.attach(b->in);
    }
    std::unique_ptr<PodFilter> a;
    std::unique_ptr<PodFilter> b;
};

// Each side runs its own loop on its own thread; both must finish.
template <typename Left, typename Right>
void racePair(const char* what, int iterations, Left left, Right right)
{
    withinSeconds(20, what, [&] {
        std::thread one([&] {
            for (int i = 0; i < iterations; ++i) left(i);
        });
        std::thread two([&] {
            for (int i = 0; i < iterations; ++i) right(i);
        });
        one.join();
        two.join();
    });
}

} // namespace

TEST(LinkedFilters, RefreshingAnOutputWhileTheLinkedInputChangesItsOptions)
{
    LinkedPair pair;
    racePair(
        "refresh against setBufferSize", 3000, [&](int) { pair.a->count.refresh(); },
        [&](int i) { pair.b->in.setBufferSize(1 + i % 3); });
    EXPECT_EQ(&pair.a->count, pair.b->in.getSource());
}

TEST(LinkedFilters, MovingBothEndsOfALinkBetweenLayouts)
{
    LinkedPair pair;
    LayoutManager one("one");
    LayoutManager two("two");
    racePair(
        "addFilter/removeFilter on two layouts", 2000,
        [&](int) {
            one.addFilter(*pair.a);
            one.removeFilter(*pair.a);
        },
        [&](int) {
            two.addFilter(*pair.b);
            two.removeFilter(*pair.b);
        });
    EXPECT_EQ(nullptr, pair.a->getLayoutManager());
    EXPECT_EQ(nullptr, pair.b->getLayoutManager());
}

TEST(LinkedFilters, DetachingUnderTheOwnLockWhileTheLinkedInputChangesItsOptions)
{
    LinkedPair pair;
    racePair(
        "detachAll under a's lock against input options", 3000,
        [&](int) {
            Synchronizer::DisablerLocker lock(&pair.a->getSynchronizer());
            pair.a->count.detachAll();
            pair.a->count.attach(pair.b->in);
        },
        [&](int i) { pair.b->in.setIsLifo(i % 2 == 0); });
    EXPECT_EQ(1u, pair.a->count.getAttachedCount());
}

TEST(LinkedFilters, AHandlerDroppingALinkedPinWhileAnotherThreadReplugs)
{
    LinkedPair pair;
    PodFilter& a = *pair.a;
    PodFilter& b = *pair.b;
    InputPin<Samples> second("second", &b);
    // The handler recreates a's pod pins under a's lock; each new pin is linked to b's input.
    a.serial.setHandler(new ValueProperty<std::string>::Handler([&](const std::string&) {
        a.count.detach(b.in);
        std::unique_ptr<OutputPin<Samples>> pod(new OutputPin<Samples>("Acc#0x1A", &a));
        pod->attach(b.in);
        pod.reset(); // its destructor detaches b's input
        a.count.attach(b.in);
    }));
    racePair(
        "pin destroyed in a handler against a lock-free replug", 3000,
        [&](int i) { a.serial.set(i % 2 ? "1A" : "2B"); },
        [&](int) {
            a.count.detach(second);
            a.count.attach(second);
        });
    EXPECT_EQ(&a.count, b.in.getSource());
    EXPECT_EQ(&a.count, second.getSource());
}

// A host thread drives and reads a tap while a user rebuilds the tapped pin by setting the
// property whose handler makes the pod pins again.
TEST(HostedTaps, ReadingATapWhileItsPinIsRebuiltIsSafeAndTheTapFollowsThePin)
{
    PluginManager manager;
    LocalPlugin<PodFilter> plugin;
    manager.installPlugin(plugin);
    HostedFilter hosted("PodFilter", "pods", manager);
    hosted.setProperty("serial", "1A 2B");
    InputPin<Samples>& tap = hosted.tap<Samples>("Acc#0x1A", 4, false);

    std::atomic<bool> stop{false};
    std::atomic<int> seen{0};
    std::atomic<int> broken{0};
    withinSeconds(20, "tap read during pin rebuild", [&] {
        std::thread host([&] {
            while (!stop)
            {
                hosted.process();
                while (const SampleData* data = tap.getData())
                {
                    if (!isWhole(*data)) ++broken;
                    ++seen;
                    tap.release();
                }
            }
        });
        const auto& pods = static_cast<const PodFilter&>(hosted.getFilter());
        for (int i = 0; i < 400; ++i)
        {
            hosted.setProperty("serial", i % 2 ? "2B" : "1A 2B");
            // Leave the host a round or two, so reads and rebuilds interleave both ways.
            const int round = pods.rounds;
            while (pods.rounds < round + 2) std::this_thread::yield();
        }
        stop = true;
        host.join();
    });
    EXPECT_EQ(0, broken.load());
    EXPECT_GT(seen.load(), 0);

    hosted.setProperty("serial", "2B");
    EXPECT_EQ(nullptr, tap.getSource()) << "a tap whose pin is gone says so";
    hosted.setProperty("serial", "1A");
    ASSERT_NE(nullptr, tap.getSource()) << "the tap follows a pin made again under its name";
    hosted.process();
    const SampleData* data = tap.getData();
    ASSERT_NE(nullptr, data);
    EXPECT_TRUE(isWhole(*data));
    tap.release();
}

TEST(Layouts, ARemovedFilterIsNeverRunAgainAndLeavesBeforeItIsDestroyed)
{
    LayoutManager layout("device");
    PodFilter filter("f");
    std::atomic<int> lateCalls{0};
    std::atomic<bool> stop{false};
    withinSeconds(60, "removeFilter against a running round", [&] {
        std::thread device([&] {
            while (!stop) layout.processAll();
        });
        for (int i = 0; i < 500; ++i)
        {
            layout.addFilter(filter);
            std::this_thread::yield();
            layout.removeFilter(filter);
            const int after = filter.rounds;
            for (int k = 0; k < 5; ++k) std::this_thread::yield();
            if (filter.rounds != after) ++lateCalls;
        }
        stop = true;
        device.join();
    });
    EXPECT_EQ(0, lateCalls.load()) << "process() ran after removeFilter returned";

    PluginManager manager;
    LocalPlugin<PodFilter> plugin;
    manager.installPlugin(plugin);
    for (bool byUninstall : {false, true})
    {
        Filter* made = manager.createFilter("PodFilter", "made");
        layout.addFilter(*made);
        PodFilter::layoutAtDestruction = &layout;
        if (byUninstall)
            manager.uninstallPlugin(plugin);
        else
            manager.destroyFilter(made);
        EXPECT_EQ(nullptr, PodFilter::layoutAtDestruction.load()) << "uninstall " << byUninstall;
        EXPECT_TRUE(layout.getFilters().empty());
    }
}
