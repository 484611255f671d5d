#ifndef HostTests_PodFilter_INCLUDED
#define HostTests_PodFilter_INCLUDED

#include "ToyFilter.h"

#include "Quillmesh/Core/CommandProperty.h"
#include "Quillmesh/Core/Filter.h"
#include "Quillmesh/Core/InputPin.h"
#include "Quillmesh/Core/OutputPin.h"
#include "Quillmesh/Core/RangeProperty.h"
#include "Quillmesh/Core/StringProperty.h"

#include <Eigen/Core>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

namespace HostTests {

using namespace Quillmesh::Core;
typedef Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> Samples;
typedef TimeStampedData<Samples> SampleData;

/// Like a controller filter: its "serial" handler destroys every per-pod output pin and
/// makes new ones ("Acc#0x" and the serial). process() publishes round n as a 3x1 of n with
/// time n on every pod pin and on "Count", and reads "In" once (a blocking input may wait).
class PodFilter : public Filter
{
public:
    static constexpr const char* TYPE_NAME = "PodFilter";

    explicit PodFilter(const std::string& name)
        : Filter(name, true),
          serial("serial", &getPropertyBag()),
          rate("Rate", &getPropertyBag(), 1, 100, 1),
          flush("Flush", &getPropertyBag()),
          count("Count", this),
          in("In", this)
    {
        serial.bind(this, &PodFilter::onSerial);
        flush.bind(this, &PodFilter::onFlush);
        count.getData().resize(1, 1);
    }

    ~PodFilter() override { layoutAtDestruction = getLayoutManager(); }

    void process() override
    {
        ++rounds;
        const double n = rounds;
        for (const auto& pod : _pods)
        {
            pod->getData().setConstant(3, 1, n);
            pod->push(n);
        }
        count.getData()(0, 0) = n;
        count.push(n);
        if (const SampleData* data = in.getData())
        {
            if (data->data(0, 0) != data->time) ++torn;
            if (data->time <= lastReceived) ++outOfOrder;
            lastReceived = data->time;
            ++received;
            in.release();
        }
    }

    std::string getTypeName() const override { return TYPE_NAME; }

    StringProperty serial;
    RangeProperty<int> rate;
    CommandProperty flush;
    OutputPin<Samples> count;
    InputPin<Samples> in;

    std::atomic<int> rounds{0};
    std::atomic<int> received{0};
    std::atomic<int> torn{0};
    std::atomic<int> outOfOrder{0};
    std::atomic<int> flushes{0};
    double lastReceived = 0.0;
    // Where the derived part still was when it began to be destroyed.
    static inline std::atomic<LayoutManager*> layoutAtDestruction{nullptr};

private:
    void onSerial(const std::string& text)
    {
        _pods.clear();
        std::istringstream tokens(text);
        std::string token;
        while (tokens >> token) _pods.push_back(std::make_unique<OutputPin<Samples>>("Acc#0x" + token, this));
    }
    void onFlush() { ++flushes; }

    std::vector<std::unique_ptr<OutputPin<Samples>>> _pods;
};

/// True when a tap's sample is whole: three equal values that match its time.
inline bool isWhole(const SampleData& data)
{
    return data.data.rows() == 3 && data.data(0, 0) == data.time && data.data(1, 0) == data.time &&
           data.data(2, 0) == data.time;
}

/// Runs body; if it has not finished within the time, the process ends with a failure, so a
/// deadlock fails the test instead of hanging the run.
template <typename Body>
void withinSeconds(int seconds, const char* what, Body body)
{
    std::packaged_task<void()> task(body);
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready)
    {
        std::fprintf(stderr, "%s: still running after %d s, deadlocked\n", what, seconds);
        std::fflush(stderr);
        std::_Exit(1);
    }
    runner.join();
    done.get();
}

} // namespace HostTests

#endif
