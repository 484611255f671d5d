#ifndef HostTests_ToyFilter_INCLUDED
#define HostTests_ToyFilter_INCLUDED

#include "Quillmesh/Core/CommandProperty.h"
#include "Quillmesh/Core/DefaultPlugin.h"
#include "Quillmesh/Core/EnumProperty.h"
#include "Quillmesh/Core/FilterFactory.h"
#include "Quillmesh/Core/Filter.h"
#include "Quillmesh/Core/OutputPin.h"
#include "Quillmesh/Core/RangeProperty.h"
#include "Quillmesh/Core/StringProperty.h"
#include "Quillmesh/Core/ValueProperty.h"

#include <atomic>
#include <thread>

namespace HostTests {

using namespace Quillmesh::Core;

/// A filter with one property of each kind and two outputs. Handlers and process() note
/// when they run inside one another.
class ToyFilter : public Filter
{
public:
    static constexpr const char* TYPE_NAME = "ToyFilter";

    explicit ToyFilter(const std::string& name)
        : Filter(name, true),
          running("Running", &getPropertyBag()),
          gain("Gain", &getPropertyBag(), 1, 10, 1),
          mode("Mode", &getPropertyBag()),
          label("Label", &getPropertyBag()),
          reset("Reset", &getPropertyBag()),
          samples("Samples", this),
          count("Count", this)
    {
        running.setIsPersistent(false);
        running.notifyAttributeChanged();
        mode.addEntry("slow");
        mode.addEntry("fast");
        running.bind(this, &ToyFilter::onRunning);
        gain.bind(this, &ToyFilter::onGain);
        mode.bind(this, &ToyFilter::onMode);
        reset.bind(this, &ToyFilter::onReset);
        samples.getData().resize(3, 1);
        count.getData().resize(1, 1);
    }

    void process() override
    {
        enter();
        ++processed;
        samples.getData() << gain.get(), mode.get(), running.get() ? 1.0 : 0.0;
        count.getData()(0, 0) = processed;
        samples.push(processed);
        count.push(processed);
        leave();
    }

    std::string getTypeName() const override { return TYPE_NAME; }

    ValueProperty<bool> running;
    RangeProperty<int> gain;
    EnumProperty<std::string> mode;
    StringProperty label;
    CommandProperty reset;
    OutputPin<RowMatrixXd> samples;
    OutputPin<RowMatrixXd> count;

    std::atomic<int> processed{0};
    std::atomic<int> handlerCalls{0};
    std::atomic<int> overlaps{0};

private:
    // Yields inside the critical part so that a missing lock shows up as an overlap.
    void enter()
    {
        if (_busy.exchange(true)) ++overlaps;
        for (int i = 0; i < 20; ++i) std::this_thread::yield();
    }
    void leave() { _busy = false; }
    void handler()
    {
        enter();
        ++handlerCalls;
        leave();
    }

    void onRunning(const bool&) { handler(); }
    void onGain(const int&) { handler(); }
    void onMode() { handler(); }
    void onReset() { handler(); }

    std::atomic<bool> _busy{false};
};

/// A plug-in named "Local" offering the given filter kinds.
template <typename... Filters>
class LocalPlugin : public DefaultPlugin
{
public:
    LocalPlugin() : DefaultPlugin("Local", "0.2.0")
    {
        (addFilterFactory(new FilterFactory<Filters>(getName(), ComponentVersion(getVersion()))), ...);
    }
};

} // namespace HostTests

#endif
